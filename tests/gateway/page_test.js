// The gateway's page in a real browser (Debian's chromium, headless, driven
// by puppeteer-core): it goes live, shows a print client the moment it
// greets, and a label chosen on the page reaches that client, byte for byte.
//
//   node page_test.js PRINTSERVE SCREENSHOT.png
'use strict';
const assert = require('assert');
const { spawn } = require('child_process');
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');
const puppeteer = require('puppeteer-core');
const WebSocket = require('ws');
const { encodePng } = require('../../tools/labelgen/png');

const [printserve, screenshot] = process.argv.slice(2).map((p) => path.resolve(p));
const freePort = () => new Promise((r) => { const s = net.createServer().listen(0, '127.0.0.1', () => { const p = s.address().port; s.close(() => r(p)); }); });

(async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zp-page-'));
  const [wsPort, httpPort] = [await freePort(), await freePort()];
  const gateway = spawn(printserve, ['--port', String(wsPort), '--http', String(httpPort), '--db', path.join(dir, 'jobs.db')],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  let browser, client, status = 1;
  try {
    await new Promise((resolve, reject) => {
      gateway.stdout.on('data', (d) => { if (String(d).includes('event=started')) resolve(); });
      gateway.on('exit', () => reject(new Error('printserve ended')));
    });
    browser = await puppeteer.launch({
      executablePath: '/usr/bin/chromium', headless: true, userDataDir: path.join(dir, 'profile'),
      args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    });
    const page = await browser.newPage();
    const errors = [];
    page.on('pageerror', (e) => errors.push(e.message));
    page.on('requestfailed', (r) => { if (!r.url().endsWith('/api/events')) errors.push('request failed: ' + r.url()); });
    await page.setViewport({ width: 1280, height: 800 });
    await page.goto(`http://127.0.0.1:${httpPort}/`, { waitUntil: 'domcontentloaded' });
    await page.waitForFunction(() => document.getElementById('conn').dataset.state === 'live', { timeout: 10000 });

    // A print client greets: the page shows it without a reload.
    const prints = [];
    client = new WebSocket(`ws://127.0.0.1:${wsPort}/`);
    client.on('open', () => client.send(JSON.stringify({ _CMD: 'Initialize', Name: 'Kitchen 2' })));
    client.on('message', (d) => { const m = JSON.parse(String(d)); if (m._TYPE === 'Print') prints.push(m._DATA.Data); });
    await page.waitForFunction(() => [...document.querySelectorAll('#printers-body')].some((b) => b.textContent.includes('Kitchen 2')), { timeout: 10000 });

    // A label chosen on the page goes to it.
    const png = encodePng(120, 60, (x, y) => [x * 2, y * 4, 128, 255]);
    const file = path.join(dir, 'label.png');
    fs.writeFileSync(file, png);
    await page.type('#send-printer', 'Kitchen 2');
    await (await page.$('#send-file')).uploadFile(file);
    await page.click('#send-btn');
    await page.waitForFunction(() => /Job \d+/.test(document.getElementById('send-result').textContent), { timeout: 10000 });
    const deadline = Date.now() + 10000;
    while (prints.length === 0 && Date.now() < deadline) await new Promise((r) => setTimeout(r, 50));
    assert.deepStrictEqual(prints, [png.toString('base64')]);
    await page.waitForFunction(() => /sent/.test(document.getElementById('jobs-body').textContent), { timeout: 10000 });
    await page.screenshot({ path: screenshot });
    assert.deepStrictEqual(errors, []);
    console.log('OK   the page goes live, shows a greeting client, and its label reaches the client');
    status = 0;
  } catch (e) {
    console.log('FAIL ' + (e.stack || e));
  } finally {
    if (client) client.terminate();
    if (browser) await browser.close();
    gateway.kill('SIGTERM');
    fs.rmSync(dir, { recursive: true, force: true });
  }
  process.exit(status);
})();
