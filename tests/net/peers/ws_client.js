// Independent WebSocket client for the interoperability tests: drives an echo
// listener through every case and prints "OK name" or "FAIL name: detail".
// Usage: node ws_client.js ws://127.0.0.1:PORT/   (exit status 0 when all pass)
// For wss:// URLs, ZP_TLS_CA names the PEM file of the CA to trust.
'use strict';
const WebSocket = require('ws');

const url = process.argv[2];
let failures = 0;

function open() {
  return new Promise((resolve, reject) => {
    const tls = process.env.ZP_TLS_CA ? { ca: require('fs').readFileSync(process.env.ZP_TLS_CA) } : {};
    const ws = new WebSocket(url, { maxPayload: 200 * 1024 * 1024, perMessageDeflate: false, ...tls });
    ws.once('open', () => resolve(ws));
    ws.once('error', reject);
  });
}

function nextMessage(ws) {
  return new Promise((resolve) => ws.once('message', (data, isBinary) => resolve({ data, isBinary })));
}

function pattern(size) {
  const buf = Buffer.alloc(size);
  for (let i = 0; i < size; i++) buf[i] = (i * 7) & 0xff;
  return buf;
}

async function check(name, fn) {
  try {
    await fn();
    console.log('OK ' + name);
  } catch (e) {
    failures++;
    console.log('FAIL ' + name + ': ' + (e && e.message ? e.message : e));
  }
}

function expect(cond, detail) {
  if (!cond) throw new Error(detail);
}

async function echo(ws, payload, binary) {
  const reply = nextMessage(ws);
  ws.send(payload, { binary });
  const got = await reply;
  expect(got.isBinary === binary, 'opcode changed');
  expect(Buffer.compare(Buffer.from(got.data), Buffer.from(payload)) === 0, 'payload changed (' + got.data.length + ' bytes)');
}

(async () => {
  const ws = await open();
  await check('text', () => echo(ws, 'hello', false));
  await check('binary', () => echo(ws, Buffer.from([0, 1, 255]), true));
  await check('empty text', () => echo(ws, '', false));
  await check('empty binary', () => echo(ws, Buffer.alloc(0), true));
  await check('1 MiB text', () => echo(ws, pattern(1 << 20).toString('latin1').replace(/[^a-z]/g, 'x'), false));
  await check('20 MiB binary', () => echo(ws, pattern(20 << 20), true));
  await check('fragmented', async () => {
    const reply = nextMessage(ws);
    ws.send('frag', { fin: false });
    ws.send('ment', { fin: false });
    ws.send('ed', { fin: true });
    const got = await reply;
    expect(got.data.toString() === 'fragmented', 'got ' + got.data.toString());
  });
  await check('ping/pong', () => new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('no pong')), 5000);
    ws.once('pong', (data) => { clearTimeout(timer); data.toString() === 'p1' ? resolve() : reject(new Error('pong payload')); });
    ws.ping('p1');
  }));
  await check('server-initiated close', () => new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('no close')), 5000);
    ws.once('close', (code, reason) => {
      clearTimeout(timer);
      code === 1000 && reason.toString() === 'Normal closure' ? resolve() : reject(new Error('close ' + code + ' ' + reason));
    });
    ws.send('!disconnect');
  }));
  await check('abrupt reset', async () => {
    const ws2 = await open();
    await echo(ws2, 'before reset', false);
    ws2._socket.destroy();
  });
  process.exit(failures === 0 ? 0 : 1);
})().catch((e) => {
  console.log('FAIL setup: ' + e.message);
  process.exit(1);
});
