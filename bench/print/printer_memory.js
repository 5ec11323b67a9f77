// Memory of the real printer.exe under Wine while it prints a label: a `ws`
// server plays the print server, sends the label COUNT times (one at a time:
// the next once the previous job's PDF is written) and reads the Linux
// process that runs printer.exe in /proc: VmHWM (the peak resident set, which
// Wine also reports as the process's PeakWorkingSetSize), VmRSS sampled every
// 10 ms, and the split of the resident set. A baseline is taken once the
// program has connected and greeted, before the first request.
//
// Each request is followed by a message that is not JSON; printer.exe answers
// it with an "ERR: " line only after the print request before it has been
// handled, which gives the end-to-end time of the real program as well.
//
//   node printer_memory.js --wine-run W --prefix P --printer-exe EXE --queue Q --pdf-dir D
//                          --label FILE.png --count N --out RESULT.json
'use strict';
const { spawn } = require('child_process');
const fs = require('fs');
const path = require('path');
const { WebSocketServer } = require('ws');
const { parseOptions, processStatus: status, findProgram, sleep, waitFor } = require('../../tests/app/e2e/rig');

const opts = parseOptions(process.argv, ['wine-run', 'prefix', 'printer-exe', 'pdf-dir', 'label', 'out']);
const count = Number(opts.count || 5);

const pdfs = () => new Map(fs.readdirSync(opts['pdf-dir']).filter((f) => f.endsWith('.pdf'))
  .map((f) => [f, fs.statSync(path.join(opts['pdf-dir'], f)).size]));
async function nextPdf(known) {
  let fresh = null, last = -1, steady = 0;
  await waitFor(() => {
    const now = pdfs();
    if (!fresh) fresh = [...now.keys()].find((f) => !known.has(f)) || null;
    if (!fresh) return false;
    const size = now.get(fresh) || 0;
    steady = size > 0 && size === last ? steady + 1 : 0;
    last = size;
    return steady >= 15;   // 300 ms unchanged
  }, 120000, 'the PDF of the job');
  await sleep(200);
}

function percentile(values, p) {
  const s = [...values].sort((a, b) => a - b);
  return s[Math.min(s.length, Math.max(1, Math.ceil((p / 100) * s.length))) - 1];
}

// For scale: the resident set of a small console program of Wine's own
// (ping.exe, waiting between two echoes) in the same prefix.
async function wineReference() {
  const proc = spawn(opts['wine-run'], [opts.prefix, 'ping.exe', '-n', '4', '127.0.0.1'],
    { cwd: path.join(opts.prefix, 'drive_c'), stdio: 'ignore' });
  const exited = new Promise((r) => proc.on('exit', r));
  let pid = 0;
  try {
    // Wine starts a program named without a path through start.exe, as a
    // process of its own: look for it among all processes.
    pid = await waitFor(() => findProgram(1, 'ping.exe'), 30000, 'the ping.exe process');
    await sleep(2000);
    return status(pid);
  } finally {
    if (pid) {
      try { process.kill(pid, 'SIGKILL'); } catch (e) { /* gone */ }
    }
    proc.kill('SIGKILL');
    await exited;
  }
}

(async () => {
  const png = fs.readFileSync(opts.label);
  const wss = new WebSocketServer({ host: '127.0.0.1', port: 0, maxPayload: 64 << 20 });
  await new Promise((r) => wss.on('listening', r));
  let client = null;
  let greeted = false;
  wss.on('connection', (ws) => {
    client = ws;
    ws.on('message', () => { greeted = true; });
  });

  const out = [];
  const proc = spawn(opts['wine-run'], [opts.prefix, opts['printer-exe'], '-p', opts.queue, '-n', 'bench-memory',
    '-u', `ws://127.0.0.1:${wss.address().port}/`], { cwd: path.join(opts.prefix, 'drive_c'), stdio: ['ignore', 'pipe', 'pipe'] });
  let rest = '';
  proc.stdout.on('data', (d) => {
    rest += d.toString('latin1');
    const parts = rest.split(/\r?\n/);
    rest = parts.pop();
    out.push(...parts);
  });
  let stderr = '';
  proc.stderr.on('data', (d) => { stderr += d.toString('latin1'); });
  const exited = new Promise((r) => proc.on('exit', r));

  let sampler = null;
  let code = 0;
  let pid = 0;
  try {
    pid = await waitFor(() => findProgram(proc.pid, 'printer.exe'), 30000, 'the printer.exe process');
    await waitFor(() => greeted && client, 60000, 'the greeting of printer.exe');
    await sleep(2000);
    const idle = status(pid);

    let maxRss = idle.VmRSS;
    sampler = setInterval(() => {
      try { maxRss = Math.max(maxRss, status(pid).VmRSS); } catch (e) { /* ending */ }
    }, 10);

    const e2e = [];
    const perPrint = [];   // after each job
    let known = pdfs();
    const message = JSON.stringify({ _DATA: { Data: png.toString('base64') }, _ID: 0, _MAGIC: 'SERVER_MSG', _TYPE: 'Print' });
    for (let i = 1; i <= count; i++) {
      const tag = `bench-sentinel-${i}`;
      const start = process.hrtime.bigint();
      client.send(message.replace('"_ID":0', `"_ID":${i}`));
      client.send(tag);
      await waitFor(() => out.includes('ERR: ' + tag), 120000, `"ERR: ${tag}"`);
      e2e.push(Number(process.hrtime.bigint() - start) / 1e6);
      await nextPdf(known);
      known = pdfs();
      const now = status(pid);
      perPrint.push({ VmHWM: now.VmHWM, VmRSS: now.VmRSS });
    }
    await sleep(500);
    clearInterval(sampler);
    sampler = null;
    const after = status(pid);
    const unexpected = out.filter((l) => !/^(send greetings|Remote Connected|ERR: bench-sentinel-\d+)$/.test(l));
    if (unexpected.length || stderr.trim()) throw new Error(`printer.exe said ${JSON.stringify(unexpected)} ${stderr.trim()}`);
    const reference = await wineReference();
    const result = {
      label_bytes: png.length, count, idle_KiB: idle, after_KiB: after, max_sampled_rss_KiB: maxRss,
      wine_ping_KiB: reference, after_each_KiB: perPrint,
      e2e_ms: e2e, e2e_p50_ms: percentile(e2e, 50), e2e_p90_ms: percentile(e2e, 90),
    };
    fs.writeFileSync(opts.out, JSON.stringify(result, null, 2) + '\n');
    console.log(`printer.exe (pid ${pid}): idle VmRSS ${idle.VmRSS} KiB, VmHWM ${idle.VmHWM} KiB; ` +
      `after ${count} prints VmHWM ${after.VmHWM} KiB, max sampled VmRSS ${maxRss} KiB, VmRSS ${after.VmRSS} KiB; ` +
      `send to done median ${result.e2e_p50_ms.toFixed(1)} ms; Wine's ping.exe: VmRSS ${reference.VmRSS} KiB`);
  } catch (e) {
    console.error('printer_memory: ' + (e.stack || e));
    code = 1;
  } finally {
    if (sampler) clearInterval(sampler);
    if (pid && pid !== proc.pid) {
      try { process.kill(pid, 'SIGKILL'); } catch (e) { /* gone */ }
    }
    proc.kill('SIGKILL');
    await exited;
    for (const c of wss.clients) c.terminate();
    await new Promise((r) => wss.close(r));
  }
  process.exit(code);
})();
