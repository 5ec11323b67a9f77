// End-to-end test of printer.exe under Wine: a `ws` server plays the print
// server, a CUPS queue with cups-pdf is the Windows printer, and the PDFs it
// writes are rendered with pdftoppm and checked pixel by pixel.
//
//   node printer_e2e.js --printer-exe EXE --wine-run WINE_RUN --prefix PREFIX --cups CUPS_SH
'use strict';
const assert = require('assert');
const { encodePng } = require('../../../tools/labelgen/png');
const rig = require('./rig');

const opts = rig.parseOptions(process.argv);
const { sleep, waitFor, pdfInfo, expectColor } = rig;
const DPI = 300;   // the cups-pdf queue's default resolution: one image pixel per device pixel
const render = (file) => rig.render(file, DPI);
const pdfStore = new rig.Pdfs(opts.cups);
const cups = pdfStore.cups;
const pdfs = () => pdfStore.list();
const newPdfs = (before, count, ms) => pdfStore.fresh(before, count, ms);
class Printer extends rig.Printer {
  constructor(args) { super(opts, args); }
}

// ---- test images ----
const RED = [255, 0, 0], GREEN = [0, 160, 0], BLUE = [0, 0, 255], WHITE = [255, 255, 255], BLACK = [0, 0, 0];
// 300x200: red, green / blue, transparent quadrants, a half-transparent black band.
const quadrants = encodePng(300, 200, (x, y) => {
  if (y >= 90 && y < 110) return [0, 0, 0, 128];
  if (x < 150) return y < 100 ? [...RED, 255] : [...BLUE, 255];
  return y < 100 ? [...GREEN, 255] : [0, 255, 0, 0];
});

const scenario = rig.scenarios();

(async () => {
  const server = new rig.Server();
  await server.start();

  await scenario('command line: help and option errors through the real program', async () => {
    const help = new Printer(['--help', '-p', 'x', '-n', 'y']);
    assert.strictEqual(await help.exited, 1);
    assert.strictEqual(help.out[0], 'Allowed options:');
    const bad = new Printer(['-p', 'x', '-n', 'y', '--dpi', 'abc']);
    assert.strictEqual(await bad.exited, 255);   // -1
    await sleep(100);
    assert.deepStrictEqual(bad.err, ["the argument ('abc') for option '--dpi' is invalid"]);
    assert.deepStrictEqual(bad.out, []);
  });

  const printer = new Printer(['-p', cups.QUEUE, '-n', 'K\u00fcche', '-u', server.url()]);
  try {
    await scenario('greeting bytes, announced in UTF-8', async () => {
      await printer.waitLine('Remote Connected');
      await waitFor(() => server.greetings.length >= 1, 10000, 'greeting');
      assert.strictEqual(Buffer.from(server.greetings[0].text, 'latin1').toString('utf8'), '{"Name":"K\u00fcche","_CMD":"Initialize"}');
      assert.strictEqual(server.greetings[0].isBinary, false);
      assert.deepStrictEqual(printer.out.slice(0, 2), ['send greetings', 'Remote Connected']);
    });

    await scenario('reconnection with a greeting after every open', async () => {
      for (let i = 2; i <= 3; i++) {
        server.dropClients();
        await printer.waitLine('Remote Disconnected', i - 1);
        await printer.waitLine('Remote Connected', i);
        await waitFor(() => server.greetings.length >= i, 10000, 'greeting ' + i);
      }
      assert.ok(server.greetings.every((g) => g.text === server.greetings[0].text));
    });

    // Each case is followed by a sentinel that fails to parse; the lines
    // between two sentinels are the case's whole output.
    let sentinel = 0;
    async function outputOf(sendCase) {
      const mark = printer.out.length;
      sendCase();
      const tag = `sentinel-${++sentinel}`;
      server.sendRaw(tag);
      await printer.waitLine('ERR: ' + tag);
      return printer.out.slice(mark, printer.out.indexOf('ERR: ' + tag, mark));
    }
    await scenario('messages that are ignored, refused or malformed', async () => {
      const before = pdfs();
      const silent = {
        'lower-case type': JSON.stringify({ _TYPE: 'print', _DATA: { Data: quadrants.toString('base64') } }),
        'other type': JSON.stringify({ _TYPE: 'Status' }),
        'no type': JSON.stringify({ Data: 'x' }),
        'array': '[1,2,3]',
        'number': '5',
        'no _DATA': JSON.stringify({ _TYPE: 'Print' }),
        '_DATA without Data': JSON.stringify({ _TYPE: 'Print', _DATA: { data: 'x' } }),
        '_DATA not an object': JSON.stringify({ _TYPE: 'Print', _DATA: 'Data' }),
        'Base64 with line breaks': JSON.stringify({ _TYPE: 'Print', _DATA: { Data: quadrants.toString('base64').replace(/(.{76})/g, '$1\n') } }),
        'Base64 with spaces': JSON.stringify({ _TYPE: 'Print', _DATA: { Data: 'iVBO Rw0K' } }),
        'URL-safe Base64': JSON.stringify({ _TYPE: 'Print', _DATA: { Data: 'ab-_' } }),
      };
      for (const [what, text] of Object.entries(silent))
        assert.deepStrictEqual(await outputOf(() => server.sendRaw(text)), [], what);
      const notJson = 'this is { not json';
      assert.deepStrictEqual(await outputOf(() => server.sendRaw(notJson)), ['ERR: ' + notJson]);
      const numberData = JSON.stringify({ _TYPE: 'Print', _DATA: { Data: 5 } });
      assert.deepStrictEqual(await outputOf(() => server.sendRaw(numberData)), ['ERR: ' + numberData]);
      const typeNumber = JSON.stringify({ _TYPE: 7 });
      assert.deepStrictEqual(await outputOf(() => server.sendRaw(typeNumber)), ['ERR: ' + typeNumber]);
      const text = Buffer.from('plain text, not a picture');
      assert.deepStrictEqual(await outputOf(() => server.print(text)), ['Error selecting bitmap into DC']);
      await sleep(3000);
      assert.deepStrictEqual(pdfs().length, before.length, 'nothing was printed');
    });

    await scenario('a label: one page "Print Job", top-left, colours right, transparency white', async () => {
      const before = pdfs();
      assert.deepStrictEqual(await outputOf(() => server.print(quadrants)), []);
      const [pdf] = await newPdfs(before, 1);
      assert.deepStrictEqual(pdfInfo(pdf.file), { pages: 1, title: 'Print Job' });
      const page = render(pdf.file);
      expectColor(page, 0, 0, RED, 'top-left corner');
      expectColor(page, 75, 50, RED, 'red quadrant');
      expectColor(page, 225, 50, GREEN, 'green quadrant');
      expectColor(page, 75, 150, BLUE, 'blue quadrant');
      expectColor(page, 225, 150, WHITE, 'transparent quadrant');
      expectColor(page, 75, 100, [127, 127, 127], 'half-transparent black over white');
      // Rendering the PDF back may blur an edge by a pixel: look 2 px away.
      expectColor(page, 147, 2, RED, 'red up to the middle');
      expectColor(page, 152, 2, GREEN, 'green from the middle');
      expectColor(page, 297, 2, GREEN, 'green to the right edge');
      expectColor(page, 302, 2, WHITE, 'right of the image');
      expectColor(page, 2, 197, BLUE, 'blue to the bottom edge');
      expectColor(page, 2, 202, WHITE, 'below the image');
    });

    await scenario('a 1x1 image', async () => {
      const before = pdfs();
      server.print(encodePng(1, 1, () => [0, 0, 0, 255]));
      const [pdf] = await newPdfs(before, 1);
      assert.strictEqual(pdfInfo(pdf.file).pages, 1);
      const page = render(pdf.file);
      assert.ok(page.at(0, 0)[0] < 128, `the pixel is ${page.at(0, 0)}`);
      expectColor(page, 3, 0, WHITE, 'next to it');
      expectColor(page, 0, 3, WHITE, 'below it');
    });

    await scenario('an image larger than the page is cut off', async () => {
      const before = pdfs();
      server.print(encodePng(3000, 4000, (x, y) => (x + y) % 200 < 100 ? [...BLUE, 255] : [...RED, 255], 1));
      const [pdf] = await newPdfs(before, 1, 120000);
      assert.strictEqual(pdfInfo(pdf.file).pages, 1);
      const page = render(pdf.file);
      assert.ok(page.width < 3000 && page.height < 4000, `page ${page.width}x${page.height}`);
      const x = page.width - 3, y = page.height - 3;
      expectColor(page, x, y, (x + y) % 200 < 100 ? BLUE : RED, 'bottom-right corner of the page');
    });

    await scenario('a 5 MB image', async () => {
      // Noise (it does not compress) with two solid marks that must land in place.
      let seed = 7;
      const noise = encodePng(1200, 1100, (x, y) => {
        if (x < 100 && y < 100) return [...RED, 255];
        if (x >= 1000 && x < 1100 && y >= 900 && y < 1000) return [...BLUE, 255];
        seed = (seed * 1103515245 + 12345) & 0x7fffffff;
        return [seed & 255, (seed >> 8) & 255, (seed >> 16) & 255, 255];
      }, 0);
      assert.ok(noise.length >= 5e6, `${noise.length} bytes`);
      const before = pdfs();
      server.print(noise);
      const [pdf] = await newPdfs(before, 1, 120000);
      assert.strictEqual(pdfInfo(pdf.file).pages, 1);
      const page = render(pdf.file);
      expectColor(page, 50, 50, RED, 'mark at the top-left');
      expectColor(page, 1050, 950, BLUE, 'mark near the bottom-right');
      expectColor(page, 1205, 1105, WHITE, 'outside the image');
    });

    await scenario('20 requests back to back are printed in order', async () => {
      const before = pdfs();
      const shade = (i) => [i * 12, 255 - i * 12, (i * 53) % 256];
      for (let i = 0; i < 20; i++) server.print(encodePng(40, 40, () => [...shade(i), 255]));
      const printed = await newPdfs(before, 20, 240000);
      printed.forEach((pdf, i) => expectColor(render(pdf.file), 20, 20, shade(i), `job ${i + 1} of 20`));
    });
  } finally {
    await printer.kill();
  }

  await scenario('Ctrl+C: a closing handshake with 1000, then exit status 0', async () => {
    const codes = [];
    server.wss.on('connection', (c) => c.on('close', (code) => codes.push(code)));
    const stopped = new Printer(['-p', cups.QUEUE, '-n', 'ctrl-c', '-u', server.url()]);
    await stopped.waitLine('Remote Connected');
    process.kill(stopped.pid(), 'SIGINT');   // Wine raises CTRL_C_EVENT for it
    assert.strictEqual(await Promise.race([stopped.exited, sleep(20000).then(() => 'still running')]), 0);
    await waitFor(() => codes.length, 5000, 'the close of the link');
    assert.deepStrictEqual(codes, [1000]);
  });

  await scenario('an unknown printer: the Windows code, then "Printer is Offline"', async () => {
    const lost = new Printer(['-p', 'No Such Printer 4711', '-n', 'lost', '-u', server.url()]);
    try {
      await waitFor(() => lost.err.includes('Failed to open printer: 1801'), 30000, 'open failure at start');
      await lost.waitLine('Remote Connected');
      server.print(quadrants);
      await lost.waitLine('Printer is Offline');
      assert.strictEqual(lost.err.filter((l) => l === 'Failed to open printer: 1801').length, 2);
    } finally {
      await lost.kill();
    }
  });

  await server.close();
  pdfStore.cleanup();
  process.exit(scenario.summary() ? 1 : 0);
})();
