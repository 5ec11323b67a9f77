// The MSI packages under Wine's msiexec, in a fresh prefix of their own, as
// an administrator deploys them: zelt-printer-x64.msi installed silently
// against a `ws` server must leave a running, greeting, printing service
// with its log, stop with a closing handshake, and leave nothing of ours
// behind when removed; without PRINTER
// it must refuse and leave nothing. netportui-x64.msi puts its two files
// into the system folder and takes them away again.
//
//   node msi_e2e.js --printer-msi MSI --portui-msi MSI --wine-run W --prefix P --cups CUPS_SH
'use strict';
const assert = require('assert');
const { spawnSync } = require('child_process');
const fs = require('fs');
const path = require('path');
const { encodePng } = require('../../tools/labelgen/png');
const rig = require('../app/e2e/rig');

const opts = rig.parseOptions(process.argv, ['printer-msi', 'portui-msi', 'wine-run', 'prefix', 'cups']);
const { sleep, waitFor } = rig;
const drive = path.join(opts.prefix, 'drive_c');
const installed = path.join(drive, 'Program Files', 'ZELT', 'printer', 'printer.exe');
const logFile = path.join(drive, 'ProgramData', 'ZELT', 'printer', 'ZeltPrinter.log');
const EVENT_SOURCE = 'HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ZeltPrinter';

function wine(args, options = {}) {
  const r = spawnSync(opts['wine-run'], [opts.prefix, ...args], { encoding: 'latin1', cwd: path.dirname(opts.prefix), timeout: 120000, ...options });
  return { status: r.status, out: (r.stdout || '') + (r.stderr || '') };
}
function wineServer(flag) {
  spawnSync('/usr/lib/wine/wineserver', [flag], { env: { ...process.env, WINEPREFIX: opts.prefix }, stdio: 'ignore' });
}
const winPath = (p) => 'Z:' + path.resolve(p).replace(/\//g, '\\');
const msiexec = (...args) => wine(['msiexec', ...args]);
const service = () => wine(['sc', 'query', 'ZeltPrinter']);
const state = () => (service().out.match(/STATE\s*:\s*\d+\s+(\w+)/) || [])[1] || 'NONE';

(async () => {
  const run = rig.scenarios();
  // The queue first: Wine reads CUPS's printers once per server session.
  const pdfs = new rig.Pdfs(opts.cups);
  fs.rmSync(opts.prefix, { recursive: true, force: true });
  wine(['cmd', '/c', 'rem']);   // a fresh prefix with the null display driver
  // One wineserver for the whole test: without it, Wine's service manager
  // (and the service with it) would end a few seconds after each command.
  wineServer('-k');
  wineServer('-w');
  wineServer('-p');
  wine(['cmd', '/c', 'rem']);
  await sleep(10000);   // Wine's service manager settles after the first boot

  const ws = new rig.Server();
  await ws.start();
  const closeCodes = [];
  ws.wss.on('connection', (c) => c.on('close', (code) => closeCodes.push(code)));
  // msiexec right after a prefix is made may find the service manager not
  // ready yet (exit status 91): it is asked again.
  const install = (...props) => {
    let r;
    for (let i = 0; i < 3; i++) {
      r = msiexec('/i', winPath(opts['printer-msi']), '/qn', ...props);
      if (r.status !== 91) break;
    }
    return r;
  };

  try {
    await run('without PRINTER the install is refused and leaves nothing', async () => {
      const r = install('ZELTNAME=nowhere');
      assert.notStrictEqual(r.status, 0, r.out);
      assert.strictEqual(state(), 'NONE');
      assert.ok(!fs.existsSync(path.join(drive, 'Program Files', 'ZELT')), 'no folder under Program Files');
    });

    await run('a silent install: the service runs with its command line, greets and prints', async () => {
      const r = install(`PRINTER=${pdfs.queue}`, 'ZELTNAME=svc-test', `URL=${ws.url()}`);
      assert.strictEqual(r.status, 0, r.out);
      assert.ok(fs.existsSync(installed), installed);
      const config = wine(['reg', 'query', 'HKLM\\System\\CurrentControlSet\\Services\\ZeltPrinter']).out;
      assert.match(config, /Start\s+REG_DWORD\s+0x2\b/, config);   // automatic
      assert.ok(config.includes(`printer.exe -p "${pdfs.queue}" -n "svc-test" -u "${ws.url()}" -d 203`), config);
      assert.match(config, /DisplayName\s+REG_SZ\s+ZELT print client/, config);
      await waitFor(() => ws.greetings.some((g) => g.text === '{"Name":"svc-test","_CMD":"Initialize"}'), 30000, 'the greeting');
      assert.strictEqual(state(), 'RUNNING');
      const before = pdfs.list();
      ws.print(encodePng(90, 60, () => [0, 128, 255, 255]));
      await pdfs.fresh(before, 1, 60000);
      const log = fs.readFileSync(logFile, 'latin1');
      assert.match(log, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d Service ZeltPrinter running\r?$/m);
      assert.match(log, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d Remote Connected\r?$/m);
    });

    await run('net stop: a closing handshake with 1000, STOPPED, and the stop in the log', async () => {
      const r = wine(['net', 'stop', 'ZeltPrinter']);
      assert.strictEqual(r.status, 0, r.out);
      await waitFor(() => closeCodes.length >= 1, 20000, 'the close of the link');
      assert.deepStrictEqual(closeCodes, [1000]);
      assert.strictEqual(state(), 'STOPPED');
      assert.match(fs.readFileSync(logFile, 'latin1'), / Service ZeltPrinter stopped\r?$/m);
    });

    await run('an option error stops the service with its exit code and the error in its log', async () => {
      const exe = 'C:\\Program Files\\ZELT\\printer\\printer.exe';
      for (const [name, args, code, text] of [
        ['ZeltBadDpi', '-p x -n y --dpi abc', '4294967295', "the argument ('abc') for option '--dpi' is invalid"],
        ['ZeltNoName', '-p x', '1', 'Allowed options:']]) {
        assert.strictEqual(wine(['sc', 'create', name, 'binPath=', `"${exe}" ${args}`]).status, 0);
        wine(['sc', 'start', name]);
        await waitFor(() => /STOPPED/.test(wine(['sc', 'query', name]).out), 20000, `${name} stopped`);
        const query = wine(['sc', 'query', name]).out;
        assert.match(query, new RegExp(`SERVICE_EXIT_CODE\\s*:\\s*${code}\\b`), query);
        const log = fs.readFileSync(path.join(path.dirname(logFile), name + '.log'), 'latin1');
        assert.ok(log.includes(' ' + text), log);
        wine(['sc', 'delete', name]);
      }
    });

    await run('msiexec /x: no service, no file, no key of ours; the log stays', async () => {
      const r = msiexec('/x', winPath(opts['printer-msi']), '/qn');
      assert.strictEqual(r.status, 0, r.out);
      assert.strictEqual(state(), 'NONE');
      assert.ok(!fs.existsSync(installed), 'printer.exe removed');
      assert.notStrictEqual(wine(['reg', 'query', EVENT_SOURCE]).status, 0, 'the event log source is removed');
      assert.ok(fs.existsSync(logFile), 'the log stays');
    });

    await run('netportui-x64.msi: both files into the system folder, and out again', async () => {
      const system32 = path.join(drive, 'windows', 'system32');
      for (const f of ['netportui.dll', 'bwtcpipmon.ddz']) fs.rmSync(path.join(system32, f), { force: true });
      assert.strictEqual(msiexec('/i', winPath(opts['portui-msi']), '/qn').status, 0);
      for (const f of ['netportui.dll', 'bwtcpipmon.ddz']) assert.ok(fs.existsSync(path.join(system32, f)), f);
      assert.strictEqual(msiexec('/x', winPath(opts['portui-msi']), '/qn').status, 0);
      for (const f of ['netportui.dll', 'bwtcpipmon.ddz']) assert.ok(!fs.existsSync(path.join(system32, f)), f + ' removed');
    });
  } finally {
    for (const pid of [rig.findProgram(1, 'printer.exe')]) if (pid) try { process.kill(pid, 'SIGKILL'); } catch (e) { /* gone */ }
    wineServer('-k');
    await ws.close();
    pdfs.cleanup();
  }
  process.exit(run.summary() ? 1 : 0);
})();
