// The `ws` package's side of the WebSocket benchmarks (run by bench_websocket
// as a child process, with NODE_PATH pointing at the installed package).
//
//   node ws_bench.js server
//       Echo server on 127.0.0.1, free port; prints "PORT n". Each stdin line
//       "rss" is answered with "RSS <bytes> CLIENTS <n>" (after a garbage
//       collection when node runs with --expose-gc). Ends with its stdin.
//   node ws_bench.js clients URL N
//       Opens N idle connections one after the other; prints "OPEN N", or
//       "FAIL reason". Closes them and ends with its stdin.
//   node ws_bench.js echo SIZE RTT_COUNT RATE_COUNT WINDOW
//       Starts "server" in a second node process, then, from this one,
//       measures round trips of SIZE-byte binary messages (one at a time) and
//       messages per second (at most WINDOW in flight), exactly as the C++
//       side measures its own client and listener. Prints
//       "RESULT {json}" and ends.
// With ZP_BENCH_TLS_CERT, ZP_BENCH_TLS_KEY and ZP_BENCH_TLS_CA (PEM files)
// the echo runs over wss://: the server with the certificate, the client
// trusting the CA.
'use strict';
const fs = require('fs');
const https = require('https');
const { spawn } = require('child_process');
const readline = require('readline');
const WebSocket = require('ws');
const { WebSocketServer } = WebSocket;

const MAX_PAYLOAD = 200 * 1024 * 1024;

function pattern(size) {
  const buf = Buffer.alloc(size);
  for (let i = 0; i < size; i++) buf[i] = (i * 7 + 3) & 0xff;
  return buf;
}

// Nearest-rank percentile, as on the C++ side.
function percentile(sorted, p) {
  if (sorted.length === 0) return 0;
  const rank = Math.min(sorted.length, Math.max(1, Math.ceil((p / 100) * sorted.length)));
  return sorted[rank - 1];
}

function onStdinLines(handler) {
  const rl = readline.createInterface({ input: process.stdin });
  rl.on('line', handler);
  rl.on('close', () => process.exit(0));
}

const TLS = process.env.ZP_BENCH_TLS_CERT
  ? { cert: fs.readFileSync(process.env.ZP_BENCH_TLS_CERT), key: fs.readFileSync(process.env.ZP_BENCH_TLS_KEY),
      ca: fs.readFileSync(process.env.ZP_BENCH_TLS_CA) }
  : null;

function server() {
  let wss;
  if (TLS) {
    const web = https.createServer({ cert: TLS.cert, key: TLS.key });
    wss = new WebSocketServer({ server: web, perMessageDeflate: false, maxPayload: MAX_PAYLOAD });
    web.listen(0, '127.0.0.1', () => console.log('PORT ' + web.address().port));
  } else {
    wss = new WebSocketServer({ port: 0, host: '127.0.0.1', perMessageDeflate: false, maxPayload: MAX_PAYLOAD });
    wss.on('listening', () => console.log('PORT ' + wss.address().port));
  }
  wss.on('connection', (ws) => {
    ws.on('message', (data, isBinary) => ws.send(data, { binary: isBinary }));
    ws.on('error', () => {});
  });
  onStdinLines((line) => {
    if (line.trim() !== 'rss') return;
    if (global.gc) global.gc();
    console.log('RSS ' + process.memoryUsage().rss + ' CLIENTS ' + wss.clients.size);
  });
}

async function clients(url, n) {
  const open = [];
  try {
    for (let i = 0; i < n; i++) {
      const ws = new WebSocket(url, { perMessageDeflate: false });
      await new Promise((resolve, reject) => {
        ws.once('open', resolve);
        ws.once('error', reject);
      });
      ws.on('error', () => {});
      open.push(ws);
    }
    console.log('OPEN ' + open.length);
  } catch (e) {
    console.log('FAIL ' + (e && e.message ? e.message : e));
  }
  onStdinLines(() => {});
}

function startServerProcess() {
  return new Promise((resolve, reject) => {
    const child = spawn(process.execPath, [__filename, 'server'], { stdio: ['pipe', 'pipe', 'inherit'] });
    const rl = readline.createInterface({ input: child.stdout });
    rl.on('line', (line) => {
      if (line.startsWith('PORT ')) resolve({ child, port: Number(line.slice(5)) });
    });
    child.on('exit', () => reject(new Error('server process ended')));
  });
}

async function echo(size, rttCount, rateCount, window) {
  const { child, port } = await startServerProcess();
  const url = (TLS ? 'wss' : 'ws') + '://127.0.0.1:' + port + '/';
  const ws = new WebSocket(url, { perMessageDeflate: false, maxPayload: MAX_PAYLOAD, ...(TLS ? { ca: TLS.ca } : {}) });
  await new Promise((resolve, reject) => {
    ws.once('open', resolve);
    ws.once('error', reject);
  });
  const payload = pattern(size);
  let onReply = null;
  ws.on('message', (data, isBinary) => onReply(data, isBinary));

  // Round trips, one message at a time; the first few warm up and check
  // the echoed bytes.
  const warmup = Math.max(5, Math.min(50, rttCount / 10));
  const samples = [];
  await new Promise((resolve, reject) => {
    let left = warmup + rttCount;
    let sent = 0n;
    onReply = (data, isBinary) => {
      const now = process.hrtime.bigint();
      if (data.length !== size || !isBinary) return reject(new Error('echo changed the message'));
      if (samples.length === 0 && left > rttCount && !Buffer.from(data).equals(payload))
        return reject(new Error('echo changed the bytes'));
      if (left <= rttCount) samples.push(Number(now - sent) / 1000);
      if (--left === 0) return resolve();
      sent = process.hrtime.bigint();
      ws.send(payload, { binary: true });
    };
    sent = process.hrtime.bigint();
    ws.send(payload, { binary: true });
  });

  // Messages per second with at most `window` in flight.
  const seconds = await new Promise((resolve, reject) => {
    let sent = 0;
    let received = 0;
    const start = process.hrtime.bigint();
    onReply = (data) => {
      if (data.length !== size) return reject(new Error('echo changed the message'));
      if (++received === rateCount) return resolve(Number(process.hrtime.bigint() - start) / 1e9);
      if (sent < rateCount) {
        sent++;
        ws.send(payload, { binary: true });
      }
    };
    while (sent < Math.min(window, rateCount)) {
      sent++;
      ws.send(payload, { binary: true });
    }
  });

  samples.sort((a, b) => a - b);
  const mean = samples.reduce((a, b) => a + b, 0) / samples.length;
  console.log('RESULT ' + JSON.stringify({
    size,
    rtt_samples: samples.length,
    rtt_p50_us: percentile(samples, 50),
    rtt_p99_us: percentile(samples, 99),
    rtt_mean_us: mean,
    msgs: rateCount,
    msgs_per_s: rateCount / seconds,
  }));
  ws.terminate();
  child.kill();
}

const [mode, ...args] = process.argv.slice(2);
const main = {
  server: () => server(),
  clients: () => clients(args[0], Number(args[1])),
  echo: () => echo(Number(args[0]), Number(args[1]), Number(args[2]), Number(args[3])),
}[mode];
if (!main) {
  console.error('usage: ws_bench.js server | clients URL N | echo SIZE RTT_COUNT RATE_COUNT WINDOW');
  process.exit(2);
}
Promise.resolve(main()).catch((e) => {
  console.log('FAIL ' + (e && e.message ? e.message : e));
  process.exit(1);
});
