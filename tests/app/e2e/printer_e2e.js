// End-to-end test of printer.exe under Wine: a `ws` server plays the print
// server, a CUPS queue with cups-pdf is the Windows printer, and the PDFs it
// writes are rendered with pdftoppm and checked pixel by pixel.
//
//   node printer_e2e.js --printer-exe EXE --wine-run WINE_RUN --prefix PREFIX --cups CUPS_SH
'use strict';
const assert = require('assert');
const { spawn, execFileSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { WebSocketServer } = require('ws');
const { encodePng } = require('../../../tools/labelgen/png');

const opts = {};
for (let i = 2; i < process.argv.length; i += 2) opts[process.argv[i].replace(/^--/, '')] = path.resolve(process.argv[i + 1]);
const DPI = 300;   // the cups-pdf queue's default resolution: one image pixel per device pixel

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
async function waitFor(pred, ms, what) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    const v = pred();
    if (v) return v;
    await sleep(50);
  }
  throw new Error('timed out waiting for ' + what);
}

// ---- the print server ----
class Server {
  constructor() {
    this.greetings = [];
    this.clients = [];
    this.packet = 0;
  }
  start() {
    return new Promise((resolve) => {
      this.wss = new WebSocketServer({ host: '127.0.0.1', port: 0, maxPayload: 256 << 20 });
      this.wss.on('connection', (ws) => {
        this.clients.push(ws);
        ws.on('message', (data, isBinary) => this.greetings.push({ text: data.toString('latin1'), isBinary }));
        ws.on('close', () => { this.clients = this.clients.filter((c) => c !== ws); });
      });
      this.wss.on('listening', () => { this.port = this.wss.address().port; resolve(); });
    });
  }
  url() { return `ws://127.0.0.1:${this.port}/`; }
  sendRaw(text) { for (const c of this.clients) c.send(text); }
  print(png, extra = {}) {
    this.sendRaw(JSON.stringify({ _DATA: { Data: png.toString('base64') }, _ID: ++this.packet, _MAGIC: 'SERVER_MSG', _TYPE: 'Print', ...extra }));
  }
  dropClients() { for (const c of this.clients) c.terminate(); }
  close() { return new Promise((r) => this.wss.close(r)); }
}

// ---- printer.exe under Wine ----
class Printer {
  constructor(args) {
    this.out = [];
    this.err = [];
    // Run from the prefix's drive C: so that its directory tree never lands
    // in the machine's own /opt and /var.
    this.proc = spawn(opts['wine-run'], [opts.prefix, opts['printer-exe'], ...args],
      { cwd: path.join(opts.prefix, 'drive_c'), stdio: ['ignore', 'pipe', 'pipe'] });
    const lines = (stream, into) => {
      let rest = '';
      stream.on('data', (d) => {
        rest += d.toString('latin1');
        const parts = rest.split(/\r?\n/);
        rest = parts.pop();
        into.push(...parts);
      });
    };
    lines(this.proc.stdout, this.out);
    lines(this.proc.stderr, this.err);
    this.exited = new Promise((r) => this.proc.on('exit', (code) => r(code)));
  }
  waitLine(text, count = 1, ms = 30000) {
    return waitFor(() => this.out.filter((l) => l === text).length >= count, ms, `"${text}" x${count} in ${JSON.stringify(this.out)}`);
  }
  kill() { this.proc.kill('SIGKILL'); return this.exited; }
}

// ---- PDF output ----
const cups = {};
for (const line of execFileSync('bash', [opts.cups, 'ensure']).toString().split('\n')) {
  const m = line.match(/^(\w+)=(.*)$/);
  if (m) cups[m[1]] = m[2];
}
// The PDFs of our queue's jobs: cups-pdf names each file after its job
// ("..._job_<id>.pdf") and writes every queue's files into one folder.
function pdfs() {
  const ours = new Set();
  const listing = execFileSync('lpstat', ['-W', 'all', '-o', cups.QUEUE]).toString();
  for (const m of listing.matchAll(new RegExp(`^${cups.QUEUE}-(\\d+)\\s`, 'gm'))) ours.add(Number(m[1]));
  return fs.readdirSync(cups.PDFDIR).filter((f) => f.endsWith('.pdf'))
    .map((f) => ({ file: path.join(cups.PDFDIR, f), job: Number((f.match(/job_(\d+)\.pdf$/) || [0, 0])[1]) }))
    .filter((p) => ours.has(p.job));
}
const created = [];   // removed at the end
async function newPdfs(before, count, ms = 60000) {
  const known = new Set(before.map((p) => p.file));
  const found = await waitFor(() => {
    const fresh = pdfs().filter((p) => !known.has(p.file));
    return fresh.length >= count ? fresh : null;
  }, ms, `${count} new PDF(s) in ${cups.PDFDIR}`);
  // cups-pdf writes the file in place: wait until its size settles.
  for (const p of found) {
    let last = -1;
    await waitFor(() => { const s = fs.statSync(p.file).size; const ok = s > 0 && s === last; last = s; return ok; }, 20000, 'PDF complete');
  }
  created.push(...found.map((p) => p.file));
  return found.sort((a, b) => a.job - b.job);
}
function pdfInfo(file) {
  const info = execFileSync('pdfinfo', [file]).toString();
  return { pages: Number(info.match(/^Pages:\s+(\d+)/m)[1]), title: (info.match(/^Title:\s+(.*)$/m) || [])[1] };
}
function render(file) {
  const ppm = execFileSync('pdftoppm', ['-r', String(DPI), '-singlefile', file], { maxBuffer: 512 << 20 });
  const header = ppm.toString('latin1', 0, 64).match(/^P6\s+(\d+)\s+(\d+)\s+255\s/);
  const width = Number(header[1]), height = Number(header[2]);
  const offset = header[0].length;
  return { width, height, at: (x, y) => { const o = offset + (y * width + x) * 3; return [ppm[o], ppm[o + 1], ppm[o + 2]]; } };
}
const near = (a, b, tol = 8) => a.every((v, i) => Math.abs(v - b[i]) <= tol);
function expectColor(page, x, y, rgb, what) {
  assert.ok(near(page.at(x, y), rgb), `${what}: pixel (${x},${y}) is ${page.at(x, y)}, expected ${rgb}`);
}

// ---- test images ----
const RED = [255, 0, 0], GREEN = [0, 160, 0], BLUE = [0, 0, 255], WHITE = [255, 255, 255], BLACK = [0, 0, 0];
// 300x200: red, green / blue, transparent quadrants, a half-transparent black band.
const quadrants = encodePng(300, 200, (x, y) => {
  if (y >= 90 && y < 110) return [0, 0, 0, 128];
  if (x < 150) return y < 100 ? [...RED, 255] : [...BLUE, 255];
  return y < 100 ? [...GREEN, 255] : [0, 255, 0, 0];
});

const results = [];
async function scenario(name, fn) {
  const start = Date.now();
  try {
    await fn();
    results.push(`OK   ${name} (${Date.now() - start} ms)`);
  } catch (e) {
    results.push(`FAIL ${name}: ${e.stack || e}`);
  }
  console.log(results[results.length - 1]);
}

(async () => {
  const server = new Server();
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
  for (const file of created) fs.rmSync(file, { force: true });
  const failed = results.filter((r) => r.startsWith('FAIL')).length;
  console.log(`${results.length - failed} passed, ${failed} failed`);
  process.exit(failed ? 1 : 0);
})();
