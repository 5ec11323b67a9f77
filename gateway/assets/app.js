'use strict';
// Status page of the print gateway: live printers and jobs from /api/events,
// and sending a PNG label to a printer by name.

const MAX_JOBS = 100;
const RETRY_MIN_MS = 1000;
const RETRY_MAX_MS = 15000;
const STALL_MS = 60000;        // no byte (not even a keep-alive) for this long: reconnect
const REFRESH_MS = 30000;      // relative times
const TOKEN_KEY = 'printserve.token';
const PNG_MAGIC = [137, 80, 78, 71, 13, 10, 26, 10];

const $ = (id) => document.getElementById(id);

let printers = [];
const jobs = new Map();        // id -> job

// ---- Access token ------------------------------------------------------

let token = '';
try { token = localStorage.getItem(TOKEN_KEY) || ''; } catch (e) { /* storage disabled */ }
let tokenPrompt = null;        // pending promise while the token form is shown
let tokenEntered = null;

function storeToken(value) {
  token = value;
  try {
    if (value) localStorage.setItem(TOKEN_KEY, value);
    else localStorage.removeItem(TOKEN_KEY);
  } catch (e) { /* storage disabled: the token lasts as long as the page */ }
}

function authHeaders(extra) {
  const headers = new Headers(extra);
  if (token) headers.set('Authorization', 'Bearer ' + token);
  return headers;
}

// Called after a 401 for a request made with `used`; resolves once a new token is entered.
function needToken(used) {
  if (used !== token) return Promise.resolve();   // a newer token exists already
  if (!tokenPrompt) {
    $('token-msg').textContent = token
      ? 'That token was not accepted. Enter the access token again.'
      : 'This gateway needs an access token.';
    storeToken('');
    $('token-form').hidden = false;
    $('token-input').focus();
    tokenPrompt = new Promise((resolve) => { tokenEntered = resolve; });
  }
  return tokenPrompt;
}

$('token-form').addEventListener('submit', (e) => {
  e.preventDefault();
  const value = $('token-input').value.trim();
  if (!value || !tokenEntered) return;
  storeToken(value);
  $('token-input').value = '';
  $('token-form').hidden = true;
  tokenEntered();
  tokenPrompt = tokenEntered = null;
});

// fetch() with the token; on 401 asks for a token and tries again.
async function api(path, options = {}, onLocked) {
  for (;;) {
    const used = token;
    const res = await fetch(path, { ...options, headers: authHeaders(options.headers), cache: 'no-store' });
    if (res.status !== 401) return res;
    if (onLocked) onLocked();
    await needToken(used);
  }
}

// ---- Formatting ----------------------------------------------------------

const kbFormat = new Intl.NumberFormat(undefined, { minimumFractionDigits: 1, maximumFractionDigits: 1 });
const kb = (bytes) => kbFormat.format(bytes > 0 ? Math.max(0.1, bytes / 1024) : 0) + ' KB';

function ago(ms) {
  const s = Math.max(0, (Date.now() - ms) / 1000);
  if (s < 45) return 'just now';
  if (s < 3600) return Math.max(1, Math.floor(s / 60)) + ' min ago';
  if (s < 86400) return Math.floor(s / 3600) + ' h ago';
  return Math.floor(s / 86400) + (s < 172800 ? ' day ago' : ' days ago');
}

function el(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

// A table cell with a relative time, refreshed by refreshTimes(); absolute time as tooltip.
function timeCell(iso, className) {
  const td = el('td', className, iso ? String(iso) : '—');
  const ms = iso ? Date.parse(iso) : NaN;
  if (!iso) td.classList.add('muted');
  if (Number.isNaN(ms)) return td;
  td.dataset.ts = ms;
  td.title = new Date(ms).toLocaleString();
  td.textContent = ago(ms);
  return td;
}

const refreshTimes = () => document.querySelectorAll('[data-ts]').forEach((td) => { td.textContent = ago(+td.dataset.ts); });

// ---- Printers ------------------------------------------------------------

function setPrinters(list) {
  printers = Array.isArray(list) ? list.slice() : [];
  printers.sort((a, b) => String(a.name).localeCompare(String(b.name), undefined, { numeric: true }));

  const rows = printers.map((p) => {
    const who = el('td');
    who.append(el('div', 'name', String(p.name)), el('div', 'address', p.address ? String(p.address) : ''));
    const tr = el('tr');
    tr.append(who, timeCell(p.connected_since), el('td', 'num', String(p.jobs_sent ?? 0)));
    return tr;
  });
  $('printers-body').replaceChildren(...rows);
  $('printers-empty').hidden = printers.length > 0;
  $('printers-body').closest('table').hidden = printers.length === 0;
  $('printers-count').textContent = printers.length ? printers.length + ' connected' : '';
  $('printer-names').replaceChildren(...printers.map((p) => new Option(String(p.name))));
}

// ---- Jobs ----------------------------------------------------------------

function putJob(job) {
  if (job && job.id !== undefined && job.id !== null) jobs.set(job.id, job);
}

function renderJobs(flashId) {
  const list = [...jobs.values()].sort((a, b) => b.id - a.id);
  for (const old of list.splice(MAX_JOBS)) jobs.delete(old.id);

  const counts = {};
  const rows = list.map((j) => {
    const state = String(j.state || 'unknown');
    counts[state] = (counts[state] || 0) + 1;
    const stateTd = el('td', 'c-state');
    stateTd.append(el('span', 'badge ' + state.replace(/[^a-z]/g, ''), state));
    const tr = el('tr', j.id === flashId ? 'flash' : '');
    if (j.sent) tr.classList.add('has-sent');
    tr.append(
      el('td', 'num c-id', '#' + j.id),
      el('td', 'wrap c-printer', String(j.printer)),
      stateTd,
      timeCell(j.created, 'c-created'),
      timeCell(j.sent, 'c-sent'),
      el('td', 'num c-size', typeof j.bytes === 'number' ? kb(j.bytes) : '—'));
    return tr;
  });
  $('jobs-body').replaceChildren(...rows);
  $('jobs-empty').hidden = list.length > 0;
  $('jobs-body').closest('table').hidden = list.length === 0;
  $('jobs-summary').textContent = ['queued', 'sent', 'expired']
    .filter((s) => counts[s]).map((s) => counts[s] + ' ' + s).join(' · ');
}

// ---- Event stream --------------------------------------------------------

// Parser of the text/event-stream format; push() takes decoded text split anywhere.
function sseParser(onEvent) {
  let buf = '';
  let type = '';
  let data = [];

  function line(text) {
    if (text === '') {                       // blank line: dispatch
      if (data.length) onEvent(type || 'message', data.join('\n'));
      type = '';
      data = [];
      return;
    }
    if (text[0] === ':') return;             // comment / keep-alive
    const colon = text.indexOf(':');
    const field = colon < 0 ? text : text.slice(0, colon);
    let value = colon < 0 ? '' : text.slice(colon + 1);
    if (value[0] === ' ') value = value.slice(1);
    if (field === 'event') type = value;
    else if (field === 'data') data.push(value);
  }

  return {
    push(chunk) {
      buf += chunk;
      let pos = 0;
      for (;;) {
        const cr = buf.indexOf('\r', pos);
        const lf = buf.indexOf('\n', pos);
        const end = cr < 0 ? lf : lf < 0 ? cr : Math.min(cr, lf);
        if (end < 0) break;
        let next = end + 1;
        if (buf[end] === '\r') {
          if (next === buf.length) break;    // may be the first half of \r\n
          if (buf[next] === '\n') next++;
        }
        line(buf.slice(pos, end));
        pos = next;
      }
      buf = buf.slice(pos);
    },
    end() {
      if (buf.endsWith('\r')) line(buf.slice(0, -1));
      buf = '';                              // an unfinished event is dropped
    },
  };
}

function handleEvent(type, text) {
  let msg;
  try { msg = JSON.parse(text); } catch (e) { return; }
  if (type === 'hello') {
    setPrinters(msg.printers);
    jobs.clear();
    (msg.jobs || []).forEach(putJob);
    renderJobs();
  } else if (type === 'printers') {
    setPrinters(msg);
  } else if (type === 'job') {
    putJob(msg);
    renderJobs(msg.id);
  }
}

function setConn(state, text) {
  $('conn').dataset.state = state;
  $('conn-text').textContent = text;
  $('main').classList.toggle('stale', state !== 'live');
}

// Waits between reconnects; cut short when the browser comes back online.
let wake = () => {};
const pause = (ms) => new Promise((resolve) => { setTimeout(resolve, ms); wake = resolve; });
window.addEventListener('online', () => wake());

async function streamLoop() {
  let delay = RETRY_MIN_MS;
  for (;;) {
    const ctrl = new AbortController();
    let stall = 0;
    const alive = () => { clearTimeout(stall); stall = setTimeout(() => ctrl.abort(), STALL_MS); };
    try {
      alive();
      const used = token;
      const res = await fetch('/api/events', {
        headers: authHeaders({ Accept: 'text/event-stream' }), cache: 'no-store', signal: ctrl.signal });
      if (res.status === 401) {
        clearTimeout(stall);
        setConn('locked', 'token needed');
        await needToken(used);
        setConn('connecting', 'connecting…');
        continue;
      }
      if (!res.ok || !res.body) throw new Error('HTTP ' + res.status);
      setConn('live', 'live');
      const parser = sseParser((type, data) => {
        if (type === 'hello') delay = RETRY_MIN_MS;
        handleEvent(type, data);
      });
      const reader = res.body.getReader();
      const decoder = new TextDecoder();
      for (;;) {
        const { value, done } = await reader.read();
        if (done) break;
        alive();
        parser.push(decoder.decode(value, { stream: true }));
      }
      parser.end();
    } catch (e) {
      // network error, abort by the stall timer or a bad status: retry below
    } finally {
      clearTimeout(stall);
      ctrl.abort();
    }
    setConn('reconnecting', 'reconnecting…');
    await pause(delay);
    delay = Math.min(delay * 2, RETRY_MAX_MS);
  }
}

// ---- Sending a label -----------------------------------------------------

let chosen = null;

function showResult(text, kind) {
  const out = $('send-result');
  out.textContent = text;
  out.className = 'result' + (kind ? ' ' + kind : '');
}

function chooseFile(file) {
  if (!file) return;
  chosen = file;
  $('drop-text').textContent = file.name + ' · ' + kb(file.size);
  $('drop').classList.add('has-file');
  showResult('', '');
}

async function isPng(file) {
  const head = new Uint8Array(await file.slice(0, 8).arrayBuffer());
  return PNG_MAGIC.every((b, i) => head[i] === b);
}

function describe(job) {
  const online = printers.some((p) => p.name === job.printer);
  if (job.state === 'sent') return `Job ${job.id} sent to ${job.printer}`;
  if (job.state !== 'queued') return `Job ${job.id} for ${job.printer}: ${job.state}`;
  return `Job ${job.id} queued for ${job.printer}` + (online ? '' : ' (prints when it connects)');
}

async function send(e) {
  e.preventDefault();
  const name = $('send-printer').value.trim();
  if (!name) { showResult('Enter the name of a printer.', 'error'); $('send-printer').focus(); return; }
  if (!chosen) { showResult('Choose a PNG file first.', 'error'); return; }
  if (!(await isPng(chosen))) { showResult(chosen.name + ' is not a PNG image.', 'error'); return; }

  $('send-btn').disabled = true;
  showResult('Sending…', '');
  try {
    const res = await api('/api/jobs?printer=' + encodeURIComponent(name),
      { method: 'POST', headers: { 'Content-Type': 'image/png' }, body: chosen },
      () => showResult('Enter the access token above to send.', 'error'))
      .catch(() => { throw new Error('The gateway could not be reached.'); });
    const body = await res.json().catch(() => null);
    if (!res.ok || !body) {
      throw new Error((body && body.error) || `The gateway answered ${res.status} ${res.statusText}`.trim());
    }
    if (!jobs.has(body.id)) {                // the event stream may have brought a newer state already
      putJob(body);
      renderJobs(body.id);
    }
    showResult(describe(body), 'ok');
  } catch (err) {
    showResult(err.message, 'error');
  } finally {
    $('send-btn').disabled = false;
  }
}

$('send-form').addEventListener('submit', send);
$('send-file').addEventListener('change', (e) => chooseFile(e.target.files[0]));

// A PNG may be dropped anywhere on the page.
let dragTimer = 0;
document.addEventListener('dragover', (e) => {
  if (!e.dataTransfer || ![...e.dataTransfer.types].includes('Files')) return;
  e.preventDefault();
  e.dataTransfer.dropEffect = 'copy';
  $('drop').classList.add('over');
  clearTimeout(dragTimer);
  dragTimer = setTimeout(() => $('drop').classList.remove('over'), 150);
});
document.addEventListener('drop', (e) => {
  if (!e.dataTransfer || !e.dataTransfer.files.length) return;
  e.preventDefault();
  $('drop').classList.remove('over');
  chooseFile(e.dataTransfer.files[0]);
});

// ---- Start ---------------------------------------------------------------

setPrinters([]);
renderJobs();
setInterval(refreshTimes, REFRESH_MS);
streamLoop();
