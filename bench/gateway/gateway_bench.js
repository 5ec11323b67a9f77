// The print gateway under load, measured from outside as applications and
// print clients see it:
//   accept   jobs accepted per second over HTTP (a small PNG), with 1 and
//            16 submitters on kept-alive connections;
//   latency  from the start of a POST to the "Print" message at a
//            connected `ws` client, one job at a time;
//   memory   printserve's peak resident set (VmHWM) with 10,000 jobs queued.
//
//   node gateway_bench.js PRINTSERVE RESULT.json [ACCEPT_JOBS]
'use strict';
const { spawn } = require('child_process');
const fs = require('fs');
const http = require('http');
const net = require('net');
const os = require('os');
const path = require('path');
const WebSocket = require('ws');
const { encodePng } = require('../../tools/labelgen/png');

const [printserve, out] = process.argv.slice(2, 4).map((p) => path.resolve(p));
const ACCEPT_JOBS = Number(process.argv[4] || 2000);
const freePort = () => new Promise((r) => { const s = net.createServer().listen(0, '127.0.0.1', () => { const p = s.address().port; s.close(() => r(p)); }); });
const percentile = (v, p) => { const s = [...v].sort((a, b) => a - b); return s[Math.min(s.length, Math.max(1, Math.ceil(p / 100 * s.length))) - 1]; };
const status = (pid) => {
  const o = {};
  for (const l of fs.readFileSync(`/proc/${pid}/status`, 'latin1').split('\n')) {
    const m = l.match(/^(VmHWM|VmRSS):\s+(\d+)/);
    if (m) o[m[1]] = Number(m[2]);
  }
  return o;
};

async function startGateway(dir) {
  const [ws, httpPort] = [await freePort(), await freePort()];
  const proc = spawn(printserve, ['--port', String(ws), '--http', String(httpPort), '--db', path.join(dir, 'jobs.db')],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  await new Promise((resolve, reject) => {
    proc.stdout.on('data', (d) => { if (String(d).includes('event=started')) resolve(); });
    proc.on('exit', () => reject(new Error('printserve ended')));
  });
  proc.stdout.resume();
  return { proc, ws, http: httpPort };
}

const agent = new http.Agent({ keepAlive: true, maxSockets: 64 });
function post(port, printer, body) {
  return new Promise((resolve, reject) => {
    const req = http.request({ port, host: '127.0.0.1', method: 'POST', agent, path: `/api/jobs?printer=${encodeURIComponent(printer)}`,
      headers: { 'Content-Type': 'image/png', 'Content-Length': body.length } }, (res) => {
      res.resume();
      res.on('end', () => (res.statusCode === 201 ? resolve() : reject(new Error('status ' + res.statusCode))));
    });
    req.on('error', reject);
    req.end(body);
  });
}

async function acceptRate(g, png, submitters, jobs) {
  let next = 0;
  const start = process.hrtime.bigint();
  await Promise.all(Array.from({ length: submitters }, async () => {
    while (next < jobs) {
      next++;
      await post(g.http, 'Accept', png);
    }
  }));
  return jobs / (Number(process.hrtime.bigint() - start) / 1e9);
}

(async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zp-gwbench-'));
  const png = encodePng(64, 32, (x, y) => [(x * 4) & 255, (y * 8) & 255, 90, 255]);
  const result = { png_bytes: png.length, accept_jobs: ACCEPT_JOBS };
  let g;
  try {
    g = await startGateway(dir);
    await acceptRate(g, png, 4, 100);   // warm-up
    result.accept_1_per_s = await acceptRate(g, png, 1, ACCEPT_JOBS);
    result.accept_16_per_s = await acceptRate(g, png, 16, ACCEPT_JOBS);

    // Submit to sent, with a client connected.
    const client = new WebSocket(`ws://127.0.0.1:${g.ws}/`);
    let received = null;
    client.on('message', (d) => { if (String(d).includes('"_TYPE":"Print"') && received) received(); });
    await new Promise((r) => client.on('open', r));
    client.send(JSON.stringify({ _CMD: 'Initialize', Name: 'Latency' }));
    await new Promise((r) => setTimeout(r, 300));
    const latency = [];
    for (let i = 0; i < 200; i++) {
      const start = process.hrtime.bigint();
      const arrived = new Promise((r) => { received = r; });
      await post(g.http, 'Latency', png);
      await arrived;
      latency.push(Number(process.hrtime.bigint() - start) / 1e6);
    }
    client.terminate();
    result.latency_p50_ms = percentile(latency, 50);
    result.latency_p90_ms = percentile(latency, 90);
    g.proc.kill('SIGTERM');
    await new Promise((r) => g.proc.on('exit', r));

    // 10,000 jobs waiting for a printer that never comes, in a fresh gateway.
    fs.rmSync(path.join(dir, 'jobs.db'), { force: true });
    g = await startGateway(dir);
    const idle = status(g.proc.pid);
    let next = 0;
    await Promise.all(Array.from({ length: 16 }, async () => {
      while (next < 10000) { next++; await post(g.http, 'Away', png); }
    }));
    const queued = status(g.proc.pid);
    result.memory_idle_KiB = idle.VmHWM;
    result.memory_10000_queued_VmHWM_KiB = queued.VmHWM;
    result.memory_10000_queued_VmRSS_KiB = queued.VmRSS;
    result.database_bytes = fs.statSync(path.join(dir, 'jobs.db')).size +
      (fs.existsSync(path.join(dir, 'jobs.db-wal')) ? fs.statSync(path.join(dir, 'jobs.db-wal')).size : 0);
    fs.writeFileSync(out, JSON.stringify(result, null, 2) + '\n');
    console.log(JSON.stringify(result));
  } finally {
    if (g) g.proc.kill('SIGTERM');
    agent.destroy();
    fs.rmSync(dir, { recursive: true, force: true });
  }
})().catch((e) => { console.error('gateway_bench: ' + (e.stack || e)); process.exit(1); });
