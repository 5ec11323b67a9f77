// Independent WebSocket peer for the interoperability tests: an echo server
// built on the `ws` package, steered by control messages that start with "!".
// Usage: node ws_server.js PORT   (0 picks a free port; prints "PORT n")
// Over TLS (wss://) when ZP_TLS_CERT and ZP_TLS_KEY name PEM files;
// ZP_TLS_ONLY=TLSv1 makes it a server that speaks TLS 1.0 and nothing newer.
'use strict';
const fs = require('fs');
const https = require('https');
const { WebSocketServer } = require('ws');

const port = Number(process.argv[2] || 0);
const lifetimeMs = Number(process.env.ZP_PEER_LIFETIME_MS || 120000);
let server = null;
let httpsServer = null;
let boundPort = port;
let lastCloseCode = 0;
let pingsReceived = 0;

function pattern(size) {
  const buf = Buffer.alloc(size);
  for (let i = 0; i < size; i++) buf[i] = 97 + (i % 26);
  return buf;
}

function control(ws, text) {
  const [cmd, ...args] = text.slice(1).split(' ');
  switch (cmd) {
    case 'restart':
      for (const client of server.clients) client.close(1001, 'restart');
      server.close(() => {
        const again = () => setTimeout(() => listen(boundPort), Number(args[0] || 200));
        if (httpsServer) httpsServer.close(again);
        else again();
      });
      return;
    case 'close':
      ws.close(Number(args[0]), args.slice(1).join(' '));
      return;
    case 'reset':
      ws._socket.destroy();
      return;
    case 'fragmented': {
      const n = Number(args[0]);
      const data = pattern(Number(args[1])).toString();
      const step = Math.ceil(data.length / n);
      for (let i = 0; i < n; i++)
        ws.send(data.slice(i * step, (i + 1) * step), { binary: false, fin: i === n - 1 });
      return;
    }
    case 'big':
      ws.send(pattern(Number(args[0])), { binary: args[1] === 'binary' });
      return;
    case 'flood':
      for (let i = 0; i < Number(args[0]); i++) ws.send(String(i));
      return;
    case 'ping':
      ws.once('pong', () => ws.send('pong-received'));
      ws.ping();
      return;
    case 'mute':
      ws.muted = true;
      return;
    case 'stats':
      ws.send(JSON.stringify({ lastCloseCode, pingsReceived }));
      return;
    default:
      ws.send('unknown control ' + cmd);
  }
}

function tlsOptions() {
  const options = { cert: fs.readFileSync(process.env.ZP_TLS_CERT), key: fs.readFileSync(process.env.ZP_TLS_KEY) };
  if (process.env.ZP_TLS_ONLY) {
    options.minVersion = options.maxVersion = process.env.ZP_TLS_ONLY;
    options.ciphers = 'DEFAULT:@SECLEVEL=0';
  }
  return options;
}

function listen(p) {
  const settings = { autoPong: false, maxPayload: 200 * 1024 * 1024 };
  const listening = () => {
    boundPort = (httpsServer || server).address().port;
    console.log('PORT ' + boundPort);
  };
  if (process.env.ZP_TLS_CERT) {
    httpsServer = https.createServer(tlsOptions());
    server = new WebSocketServer({ server: httpsServer, ...settings });
    httpsServer.listen(p, '127.0.0.1', listening);
  } else {
    server = new WebSocketServer({ port: p, host: '127.0.0.1', ...settings });
    server.on('listening', listening);
  }
  server.on('connection', (ws) => {
    ws.on('ping', (data) => {
      pingsReceived++;
      if (!ws.muted) ws.pong(data);
    });
    ws.on('message', (data, isBinary) => {
      if (!isBinary && data.length > 0 && data[0] === 0x21 /* ! */) control(ws, data.toString());
      else ws.send(data, { binary: isBinary });
    });
    ws.on('close', (code) => { lastCloseCode = code; });
    ws.on('error', () => {});
  });
}

listen(port);
// Never outlive the test that started it.
setTimeout(() => process.exit(0), lifetimeMs).unref();
process.stdin.on('end', () => process.exit(0));
process.stdin.resume();
