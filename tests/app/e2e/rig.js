// The end-to-end rig of printer.exe under Wine: a `ws` server plays the print
// server, a CUPS queue with cups-pdf is the Windows printer, the PDFs it
// writes are read back with pdfinfo and pdftoppm, and the Linux process that
// runs printer.exe is found in /proc for its memory figures.
'use strict';
const assert = require('assert');
const { spawn, execFileSync } = require('child_process');
const fs = require('fs');
const path = require('path');
const { WebSocketServer } = require('ws');

// --name value pairs of the command line; paths made absolute.
function parseOptions(argv, paths = ['printer-exe', 'wine-run', 'prefix', 'cups']) {
  const opts = {};
  for (let i = 2; i < argv.length; i += 2) opts[argv[i].replace(/^--/, '')] = argv[i + 1];
  for (const k of paths) if (opts[k]) opts[k] = path.resolve(opts[k]);
  return opts;
}

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
  constructor(options = {}) {
    this.options = options;   // passed to WebSocketServer (e.g. { server } for TLS)
    this.greetings = [];
    this.clients = [];
    this.connections = 0;
    this.packet = 0;
  }
  start() {
    return new Promise((resolve) => {
      const where = this.options.server ? {} : { host: '127.0.0.1', port: 0 };
      this.wss = new WebSocketServer({ ...where, maxPayload: 256 << 20, ...this.options });
      this.wss.on('connection', (ws) => {
        ws.index = ++this.connections;
        this.clients.push(ws);
        ws.on('message', (data, isBinary) =>
          this.greetings.push({ text: data.toString('latin1'), isBinary, connection: ws.index }));
        ws.on('close', () => { this.clients = this.clients.filter((c) => c !== ws); });
      });
      const listening = () => { this.port = this.wss.address().port; resolve(); };
      if (this.options.server) {
        this.options.server.listen(0, '127.0.0.1', listening);
      } else {
        this.wss.on('listening', listening);
      }
    });
  }
  url() { return `${this.options.server ? 'wss' : 'ws'}://127.0.0.1:${this.port}/`; }
  sendRaw(text) { for (const c of this.clients) c.send(text); }
  message(png, extra = {}) {
    return JSON.stringify({ _DATA: { Data: png.toString('base64') }, _ID: ++this.packet, _MAGIC: 'SERVER_MSG', _TYPE: 'Print', ...extra });
  }
  print(png, extra = {}) { this.sendRaw(this.message(png, extra)); }
  dropClients() { for (const c of this.clients) c.terminate(); }
  close() {
    for (const c of this.clients) c.terminate();
    return new Promise((r) => this.wss.close(() => (this.options.server ? this.options.server.close(() => r()) : r())));
  }
}

// ---- printer.exe under Wine ----
class Printer {
  constructor(opts, args) {
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
    const match = typeof text === 'string' ? (l) => l === text : (l) => text.test(l);
    return waitFor(() => this.out.filter(match).length >= count, ms, `${text} x${count} in ${JSON.stringify(this.out.map((l) => l.slice(0, 200)))}`);
  }
  // The Linux process that runs the program (Wine puts its path first in
  // the command line).
  pid() { return findProgram(this.proc.pid, 'printer.exe'); }
  kill() {
    const pid = this.pid();
    if (pid && pid !== this.proc.pid) {
      try { process.kill(pid, 'SIGKILL'); } catch (e) { /* gone */ }
    }
    this.proc.kill('SIGKILL');
    return this.exited;
  }
}

// Fields of /proc/PID/status in KiB (Threads as a count).
function processStatus(pid) {
  const out = {};
  for (const line of fs.readFileSync(`/proc/${pid}/status`, 'latin1').split('\n')) {
    const m = line.match(/^(VmPeak|VmSize|VmHWM|VmRSS|RssAnon|RssFile|RssShmem|Threads):\s+(\d+)/);
    if (m) out[m[1]] = Number(m[2]);
  }
  return out;
}

// The process under `root` (itself included) whose command line starts with
// a path ending in `name`.
function findProgram(root, name) {
  const children = {};
  for (const d of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(d)) continue;
    try {
      const ppid = Number(fs.readFileSync(`/proc/${d}/stat`, 'latin1').replace(/^.*\) /, '').split(' ')[1]);
      (children[ppid] = children[ppid] || []).push(Number(d));
    } catch (e) { /* gone */ }
  }
  const todo = [root];
  while (todo.length) {
    const pid = todo.shift();
    try {
      if (fs.readFileSync(`/proc/${pid}/cmdline`, 'latin1').split('\0')[0].toLowerCase().endsWith(name)) return pid;
    } catch (e) { /* gone */ }
    todo.push(...(children[pid] || []));
  }
  return 0;
}

// ---- PDF output of the test queue ----
class Pdfs {
  // cups: the path of scripts/lib/cups.sh (which makes the test queue), or
  // { QUEUE, PDFDIR } of a queue made elsewhere.
  constructor(cups) {
    this.cups = typeof cups === 'object' ? { ...cups } : {};
    if (typeof cups !== 'object') {
      for (const line of execFileSync('bash', [cups, 'ensure']).toString().split('\n')) {
        const m = line.match(/^(\w+)=(.*)$/);
        if (m) this.cups[m[1]] = m[2];
      }
    }
    this.created = [];   // removed by cleanup()
  }
  get queue() { return this.cups.QUEUE; }
  // The PDFs of our queue's jobs: cups-pdf names each file after its job
  // ("..._job_<id>.pdf") and writes every queue's files into one folder.
  list() {
    const ours = new Set();
    const listing = execFileSync('lpstat', ['-W', 'all', '-o', this.cups.QUEUE]).toString();
    for (const m of listing.matchAll(new RegExp(`^${this.cups.QUEUE}-(\\d+)\\s`, 'gm'))) ours.add(Number(m[1]));
    return fs.readdirSync(this.cups.PDFDIR).filter((f) => f.endsWith('.pdf'))
      .map((f) => ({ file: path.join(this.cups.PDFDIR, f), job: Number((f.match(/job_(\d+)\.pdf$/) || [0, 0])[1]) }))
      .filter((p) => ours.has(p.job));
  }
  async fresh(before, count, ms = 60000) {
    const known = new Set(before.map((p) => p.file));
    const found = await waitFor(() => {
      const fresh = this.list().filter((p) => !known.has(p.file));
      return fresh.length >= count ? fresh : null;
    }, ms, `${count} new PDF(s) in ${this.cups.PDFDIR}`);
    // cups-pdf writes the file in place: wait until its size settles.
    for (const p of found) {
      let last = -1;
      await waitFor(() => { const s = fs.statSync(p.file).size; const ok = s > 0 && s === last; last = s; return ok; }, 20000, 'PDF complete');
    }
    this.created.push(...found.map((p) => p.file));
    return found.sort((a, b) => a.job - b.job);
  }
  cleanup() { for (const file of this.created) fs.rmSync(file, { force: true }); }
}

function pdfInfo(file) {
  const info = execFileSync('pdfinfo', [file]).toString();
  return { pages: Number(info.match(/^Pages:\s+(\d+)/m)[1]), title: (info.match(/^Title:\s+(.*)$/m) || [])[1] };
}
function render(file, dpi) {
  const ppm = execFileSync('pdftoppm', ['-r', String(dpi), '-singlefile', file], { maxBuffer: 512 << 20 });
  const header = ppm.toString('latin1', 0, 64).match(/^P6\s+(\d+)\s+(\d+)\s+255\s/);
  const width = Number(header[1]), height = Number(header[2]);
  const offset = header[0].length;
  return { width, height, at: (x, y) => { const o = offset + (y * width + x) * 3; return [ppm[o], ppm[o + 1], ppm[o + 2]]; } };
}
const near = (a, b, tol = 8) => a.every((v, i) => Math.abs(v - b[i]) <= tol);
function expectColor(page, x, y, rgb, what) {
  assert.ok(near(page.at(x, y), rgb), `${what}: pixel (${x},${y}) is ${page.at(x, y)}, expected ${rgb}`);
}

// ---- scenarios ----
function scenarios() {
  const results = [];
  const run = async (name, fn) => {
    const start = Date.now();
    try {
      await fn();
      results.push(`OK   ${name} (${Date.now() - start} ms)`);
    } catch (e) {
      results.push(`FAIL ${name}: ${e.stack || e}`);
    }
    console.log(results[results.length - 1]);
  };
  run.summary = () => {
    const failed = results.filter((r) => r.startsWith('FAIL')).length;
    console.log(`${results.length - failed} passed, ${failed} failed`);
    return failed;
  };
  return run;
}

module.exports = {
  parseOptions, sleep, waitFor, Server, Printer, processStatus, findProgram, Pdfs, pdfInfo, render, near,
  expectColor, scenarios,
};
