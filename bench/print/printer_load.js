// Peak working set of the real printer.exe under Wine under load, one fresh
// process per case so that each peak (VmHWM) is the case's own:
//   big    one message of just under 64 MiB (the most a message may hold:
//          a PNG of ~48 MiB, most of it an ancillary chunk, so that
//          printing it is quick and the figure is the message's path);
//   burst  60 jobs of 5 MB each (6.7 MB of Base64) sent at once, which the
//          program receives far faster than it prints.
//
//   node printer_load.js --wine-run W --prefix P --printer-exe EXE --queue Q --pdf-dir D --out RESULT.json
'use strict';
const fs = require('fs');
const path = require('path');
const zlib = require('zlib');
const rig = require('../../tests/app/e2e/rig');
const { encodePng } = require('../../tools/labelgen/png');

const opts = rig.parseOptions(process.argv, ['wine-run', 'prefix', 'printer-exe', 'out']);

// A small image with a private chunk of `pad` bytes after its header.
function paddedPng(pad, shade) {
  const png = encodePng(40, 30, () => [shade, 0, 255 - shade, 255]);
  const chunk = Buffer.alloc(12 + pad);
  chunk.writeUInt32BE(pad, 0);
  chunk.write('zpAd', 4, 'latin1');
  chunk.writeUInt32BE(zlib.crc32(chunk.subarray(4, 8 + pad)) >>> 0, 8 + pad);
  return Buffer.concat([png.subarray(0, 33), chunk, png.subarray(33)]);
}

async function measure(name, messages) {
  const pdfs = new rig.Pdfs({ QUEUE: opts.queue, PDFDIR: opts['pdf-dir'] });
  const server = new rig.Server();
  await server.start();
  const printer = new rig.Printer(opts, ['-p', opts.queue, '-n', 'bench-load', '-u', server.url()]);
  try {
    await printer.waitLine('Remote Connected', 1, 60000);
    const pid = await rig.waitFor(() => printer.pid(), 30000, 'the printer.exe process');
    await rig.sleep(1000);
    const idle = rig.processStatus(pid);
    const before = pdfs.list();
    const start = Date.now();
    for (const m of messages) server.sendRaw(m);
    await pdfs.fresh(before, messages.length, 900000);
    const seconds = (Date.now() - start) / 1000;
    const after = rig.processStatus(pid);
    const bytes = messages.reduce((n, m) => n + m.length, 0);
    console.log(`${name}: ${messages.length} message(s), ${(bytes / 1048576).toFixed(1)} MiB, printed in ` +
      `${seconds.toFixed(1)} s; idle VmHWM ${idle.VmHWM} KiB, peak VmHWM ${after.VmHWM} KiB`);
    return { messages: messages.length, bytes, seconds, idle_KiB: idle, after_KiB: after };
  } finally {
    await printer.kill();
    await server.close();
    pdfs.cleanup();
  }
}

(async () => {
  const result = { printer_exe: opts['printer-exe'] };
  const MAX = 64 * 1024 * 1024;
  const envelope = Buffer.byteLength(JSON.stringify({ _DATA: { Data: '' }, _ID: 1, _MAGIC: 'SERVER_MSG', _TYPE: 'Print' }));
  const shell = paddedPng(0, 0).length + 12;
  const pad = Math.floor((MAX - envelope - 16) / 4) * 3 - shell;
  const server = new rig.Server();
  const big = [server.message(paddedPng(pad, 40))];
  if (big[0].length > MAX) throw new Error('the big message is too big');
  result.big = await measure('one 64 MiB message', big);
  const burst = [];
  for (let i = 0; i < 60; i++) burst.push(server.message(paddedPng(5 * 1000 * 1000, i * 4)));
  result.burst = await measure('a burst of 60 x 5 MB', burst);
  fs.writeFileSync(opts.out, JSON.stringify(result, null, 2) + '\n');
})().catch((e) => {
  console.error('printer_load: ' + (e.stack || e));
  process.exit(1);
});
