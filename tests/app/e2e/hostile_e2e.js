// printer.exe under Wine against a print server that sends what no server
// should: messages nested a million levels deep, an image whose header
// declares 16000x16000 pixels, a burst of large jobs, and a link that keeps
// dropping while jobs are printing. It must stay alive, keep printing, keep
// its memory bounded and greet each connection once.
//
//   node hostile_e2e.js --printer-exe EXE --wine-run WINE_RUN --prefix PREFIX --cups CUPS_SH
'use strict';
const assert = require('assert');
const zlib = require('zlib');
const { encodePng } = require('../../../tools/labelgen/png');
const rig = require('./rig');

const opts = rig.parseOptions(process.argv);
const { sleep, waitFor } = rig;
// The peak working set of printer.exe while 60 jobs of 5 MB arrive at once:
// 64 MiB of received messages at most, one job being printed, and the
// program itself (about 40 MiB under Wine).
const BURST_PEAK_KIB = 200 * 1024;

// A PNG with one extra private chunk of `pad` bytes: as large as a photo on
// the wire, as quick to print as a small label.
function paddedPng(width, height, pixel, pad) {
  const png = encodePng(width, height, pixel);
  const chunk = Buffer.alloc(12 + pad);
  chunk.writeUInt32BE(pad, 0);
  chunk.write('zpAd', 4, 'latin1');
  chunk.writeUInt32BE(zlib.crc32(chunk.subarray(4, 8 + pad)) >>> 0, 8 + pad);
  return Buffer.concat([png.subarray(0, 33), chunk, png.subarray(33)]);   // after IHDR
}

// 16000x16000 pixels of one bit each: 32 MB of rows that deflate to ~32 KB.
function bombPng() {
  const size = 16000, stride = size / 8 + 1;
  const chunk = (type, data) => {
    const out = Buffer.alloc(12 + data.length);
    out.writeUInt32BE(data.length, 0);
    out.write(type, 4, 'latin1');
    data.copy(out, 8);
    out.writeUInt32BE(zlib.crc32(out.subarray(4, 8 + data.length)) >>> 0, 8 + data.length);
    return out;
  };
  const header = Buffer.alloc(13);
  header.writeUInt32BE(size, 0);
  header.writeUInt32BE(size, 4);
  header[8] = 1;   // one bit per pixel, greyscale
  return Buffer.concat([Buffer.from('89504e470d0a1a0a', 'hex'), chunk('IHDR', header),
    chunk('IDAT', zlib.deflateSync(Buffer.alloc(stride * size), { level: 9 })), chunk('IEND', Buffer.alloc(0))]);
}

const label = (shade) => encodePng(60, 40, () => [shade, 255 - shade, 90, 255]);

(async () => {
  const run = rig.scenarios();
  const pdfs = new rig.Pdfs(opts.cups);
  const server = new rig.Server();
  await server.start();
  const printer = new rig.Printer(opts, ['-p', pdfs.queue, '-n', 'hostile', '-u', server.url()]);
  let sentinel = 0;
  // The next label prints: SERIAL is alive and the printer still works.
  const printsNext = async (what) => {
    const before = pdfs.list();
    server.print(label(++sentinel * 20 % 256));
    try {
      await pdfs.fresh(before, 1, 60000);
    } catch (e) {
      throw new Error(`no label printed ${what}: ${e.message}`);
    }
  };
  try {
    await printer.waitLine('Remote Connected');

    await run('messages nested 40,000 and 1,000,000 levels deep fail to parse, and printing goes on', async () => {
      for (const depth of [40000, 1000000]) {
        const text = `{"_TYPE":"Print","_DATA":{"Data":"","x":${'['.repeat(depth)}${']'.repeat(depth)}}}`;
        const errors = printer.out.filter((l) => l.startsWith('ERR: ')).length;
        server.sendRaw(text);
        await printer.waitLine(/^ERR: /, errors + 1, 60000);
        assert.strictEqual(printer.out.filter((l) => l.startsWith('ERR: ')).pop(), 'ERR: ' + text);
        await printsNext(`after ${depth} levels`);
      }
      const limit = 128;   // the deepest a message may be nested
      const ok = `{"_TYPE":"Status","x":${'['.repeat(limit - 1)}${']'.repeat(limit - 1)}}`;
      const lines = printer.out.length;
      server.sendRaw(ok);
      await printsNext('after a message at the limit');
      assert.deepStrictEqual(printer.out.slice(lines), [], 'a message nested 128 levels is no error');
    });

    await run('an image declaring 16000x16000 pixels is refused with one line; the next label prints', async () => {
      const bomb = bombPng();
      assert.ok(bomb.length < 64 * 1024, `${bomb.length} bytes`);
      const before = pdfs.list();
      server.print(bomb);
      await printer.waitLine(/^Image too large to print: 16000x16000 pixels, more than \d+ \(4 x the page of \d+x\d+ device pixels\)$/);
      await printsNext('after the refused image');
      assert.strictEqual(pdfs.list().length, before.length + 1, 'the refused image made no job');
    });

    await run('a burst of 60 five-megabyte jobs: all print, the peak working set stays bounded', async () => {
      const pid = printer.pid();
      assert.ok(pid, 'the printer.exe process');
      const idle = rig.processStatus(pid);
      const before = pdfs.list();
      const messages = [];
      for (let i = 0; i < 60; i++) {
        const png = paddedPng(40, 30, () => [i * 4, 0, 255 - i * 4, 255], 5 * 1000 * 1000);
        messages.push(server.message(png));
      }
      for (const m of messages) server.sendRaw(m);
      const printed = await pdfs.fresh(before, 60, 600000);
      const peak = rig.processStatus(pid).VmHWM;
      console.log(`     burst: idle VmHWM ${idle.VmHWM} KiB, peak VmHWM ${peak} KiB, ${printed.length} PDFs`);
      assert.strictEqual(printed.length, 60);
      assert.ok(peak < BURST_PEAK_KIB, `peak working set ${peak} KiB, bound ${BURST_PEAK_KIB} KiB`);
    });

    await run('three link drops while slow jobs print: one greeting per connection', async () => {
      const slow = encodePng(2400, 3000, (x, y) => ((x >> 4) + (y >> 4)) % 2 ? [255, 0, 0, 255] : [0, 0, 255, 255], 1);
      const before = pdfs.list();
      const connections = server.connections;
      const greetings = server.greetings.length;
      for (let i = 0; i < 3; i++) server.print(slow);
      for (let drop = 1; drop <= 3; drop++) {
        await sleep(100);
        server.dropClients();
        await waitFor(() => server.connections >= connections + drop && server.clients.length, 10000, `reconnection ${drop}`);
      }
      await pdfs.fresh(before, 3, 240000);
      await printsNext('after the drops');
      await sleep(1500);
      const fresh = server.greetings.slice(greetings);
      const per = {};
      for (const g of fresh) per[g.connection] = (per[g.connection] || 0) + 1;
      assert.ok(Object.values(per).every((n) => n === 1), `greetings per connection ${JSON.stringify(per)}`);
      assert.strictEqual(per[server.connections], 1, 'the open connection was greeted');
      const connected = printer.out.filter((l) => l === 'Remote Connected').length;
      assert.strictEqual(connected, server.greetings.length, 'one "Remote Connected" per greeting');
    });
  } finally {
    await printer.kill();
    await server.close();
    pdfs.cleanup();
  }
  process.exit(run.summary() ? 1 : 0);
})();
