// printer.exe under Wine over wss://, trusted the Windows way: a `ws` server
// over TLS whose certificate a throw-away CA signed. Before the CA is in the
// machine's trusted roots, the one verification line and no job; once an
// administrator imports it (import_root.exe, CertAddEncodedCertificateToStore
// into the local machine's ROOT store), printer.exe connects without a
// restart, greets, and a label prints through CUPS.
//
//   node tls_e2e.js --printer-exe EXE --import-root EXE --pki SH --wine-run W --prefix P --cups CUPS_SH
'use strict';
const assert = require('assert');
const { execFileSync, spawnSync } = require('child_process');
const fs = require('fs');
const https = require('https');
const os = require('os');
const path = require('path');
const { encodePng } = require('../../../tools/labelgen/png');
const rig = require('./rig');

const opts = rig.parseOptions(process.argv, ['printer-exe', 'import-root', 'pki', 'wine-run', 'prefix', 'cups']);

function importRoot(verb, pem) {
  const r = spawnSync(opts['wine-run'], [opts.prefix, opts['import-root'], verb, pem], { encoding: 'latin1' });
  assert.strictEqual(r.status, 0, `import_root ${verb}: ${r.stderr}`);
}

(async () => {
  const run = rig.scenarios();
  const pki = fs.mkdtempSync(path.join(os.tmpdir(), 'zp-tls-e2e-'));
  execFileSync('sh', [opts.pki, pki]);
  const ca = path.join(pki, 'ca.pem');
  importRoot('remove', ca);   // left by an interrupted run
  const pdfs = new rig.Pdfs(opts.cups);
  // The server's certificate alone, as many servers send it: without the CA
  // in the trusted roots there is no issuer to be found.
  const server = new rig.Server({
    server: https.createServer({ cert: fs.readFileSync(path.join(pki, 'server.pem')), key: fs.readFileSync(path.join(pki, 'server.key')) }),
  });
  await server.start();
  const url = `wss://localhost:${server.port}/`;
  const printer = new rig.Printer(opts, ['-p', pdfs.queue, '-n', 'secure', '-u', url]);
  try {
    await run('an untrusted server: one verification line, retries, no greeting', async () => {
      const line = `TLS: certificate verify failed: unable to get local issuer certificate (localhost:${server.port})`;
      await rig.waitFor(() => printer.err.includes(line), 30000, `"${line}" in ${JSON.stringify(printer.err)}`);
      await rig.sleep(3000);   // several attempts, no second line
      assert.deepStrictEqual(printer.err.filter((l) => l.startsWith('TLS: ')), [line]);
      assert.strictEqual(server.greetings.length, 0);
      assert.ok(!printer.out.includes('Remote Connected'));
    });

    await run('the CA imported into the machine\'s roots: connects without a restart, greets, prints', async () => {
      importRoot('add', ca);
      await printer.waitLine('Remote Connected', 1, 30000);
      await rig.waitFor(() => server.greetings.length >= 1, 10000, 'the greeting');
      assert.strictEqual(server.greetings[0].text, '{"Name":"secure","_CMD":"Initialize"}');
      const before = pdfs.list();
      server.print(encodePng(120, 80, (x) => (x < 60 ? [255, 0, 0, 255] : [0, 0, 255, 255])));
      const [pdf] = await pdfs.fresh(before, 1, 60000);
      const page = rig.render(pdf.file, 300);
      rig.expectColor(page, 30, 40, [255, 0, 0], 'left half');
      rig.expectColor(page, 90, 40, [0, 0, 255], 'right half');
      assert.strictEqual(printer.err.filter((l) => l.startsWith('TLS: ')).length, 1, 'no further TLS line');
    });
  } finally {
    await printer.kill();
    await server.close();
    importRoot('remove', ca);
    pdfs.cleanup();
    fs.rmSync(pki, { recursive: true, force: true });
  }
  process.exit(run.summary() ? 1 : 0);
})();
