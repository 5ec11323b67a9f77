// The whole system: a label submitted over HTTP to the native print gateway
// (printserve) for "Kitchen 2" is printed by printer.exe under Wine, which
// greets the gateway under that name, through CUPS into a PDF; a label for
// a printer that is offline waits and prints once it comes.
//
//   node gateway_e2e.js --printserve EXE --printer-exe EXE --wine-run W --prefix P --cups CUPS_SH
'use strict';
const assert = require('assert');
const { spawn } = require('child_process');
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');
const { encodePng } = require('../../../tools/labelgen/png');
const rig = require('./rig');

const opts = rig.parseOptions(process.argv, ['printserve', 'printer-exe', 'wine-run', 'prefix', 'cups']);
if (!fs.existsSync(opts.printserve)) {
  console.log(`SKIP the native printserve is not built (${opts.printserve})`);
  process.exit(77);
}
const freePort = () => new Promise((r) => { const s = net.createServer().listen(0, '127.0.0.1', () => { const p = s.address().port; s.close(() => r(p)); }); });

(async () => {
  const run = rig.scenarios();
  const pdfs = new rig.Pdfs(opts.cups);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zp-gw-e2e-'));
  const [wsPort, httpPort] = [await freePort(), await freePort()];
  const gateway = spawn(opts.printserve, ['--port', String(wsPort), '--http', String(httpPort), '--db', path.join(dir, 'jobs.db')],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  const log = [];
  gateway.stdout.on('data', (d) => log.push(...String(d).split('\n').filter(Boolean)));
  await rig.waitFor(() => log.some((l) => l.includes('event=started')), 10000, 'the gateway');
  const submit = async (printer, png) => {
    const res = await fetch(`http://127.0.0.1:${httpPort}/api/jobs?printer=${encodeURIComponent(printer)}`, { method: 'POST', body: png });
    assert.strictEqual(res.status, 201);
    return (await res.json()).id;
  };
  const RED = [255, 0, 0], BLUE = [0, 0, 255];
  let printer = null;
  try {
    await run('a label queued while the printer is offline prints once it connects', async () => {
      const before = pdfs.list();
      const id = await submit('Kitchen 2', encodePng(100, 50, () => [...RED, 255]));
      printer = new rig.Printer(opts, ['-p', pdfs.queue, '-n', 'Kitchen 2', '-u', `ws://127.0.0.1:${wsPort}/`]);
      const [pdf] = await pdfs.fresh(before, 1, 60000);
      rig.expectColor(rig.render(pdf.file, 300), 50, 25, RED, 'the queued label');
      await rig.waitFor(() => log.some((l) => l.includes(`event=job_sent id=${id} `)), 10000, 'job_sent in the log');
    });

    await run('a label submitted while it is connected prints at once', async () => {
      const before = pdfs.list();
      const id = await submit('Kitchen 2', encodePng(80, 40, () => [...BLUE, 255]));
      const [pdf] = await pdfs.fresh(before, 1, 60000);
      rig.expectColor(rig.render(pdf.file, 300), 40, 20, BLUE, 'the label');
      const job = await (await fetch(`http://127.0.0.1:${httpPort}/api/jobs/${id}`)).json();
      assert.strictEqual(job.state, 'sent');
    });
  } finally {
    if (printer) await printer.kill();
    gateway.kill('SIGTERM');
    pdfs.cleanup();
    fs.rmSync(dir, { recursive: true, force: true });
  }
  process.exit(run.summary() ? 1 : 0);
})();
