// Shared set-up of the browser tests: a small test runner, the real daemon
// started in this namespace's private folders (with the fake transcoder or
// the build's stand-in), headless Chromium driven by playwright-core, the
// CDN's jQuery served from the npm package, and screenshots as artifacts.
//
// Every test file is run by run.sh, which gives it private /etc, /var, /run
// and loopback; the harness refuses to run anywhere else.
'use strict';

const fs = require('fs');
const path = require('path');
const os = require('os');
const assert = require('assert');
const { spawn, spawnSync } = require('child_process');

const SRC_DIR = path.resolve(__dirname, '..', '..', '..', '..');
const BUILD_DIR = process.env.TOVU_BUILD_DIR || path.join(SRC_DIR, 'build');
const { chromium } = require(path.join(SRC_DIR, 'node_modules', 'playwright-core'));

const CHROMIUM = '/usr/bin/chromium';
const CHROMIUM_FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
  '--autoplay-policy=no-user-gesture-required'];
const JQUERY_CDN = 'https://code.jquery.com/jquery-3.7.1.min.js';
const JQUERY_FILE = path.join(SRC_DIR, 'node_modules', 'jquery', 'dist', 'jquery.min.js');
const FAKE_TRANSCODER = path.join(SRC_DIR, 'tests', 'fixtures', 'fake_transcoder.sh');
const CONFIG_DIR = '/etc/tovul';
const CONFIG_FILE = path.join(CONFIG_DIR, 'tovul.json');
const VAR_DIR = '/var/tovul';
const PRIVATE_MARK = path.join(CONFIG_DIR, '.private-test-namespace');
const PORT = 9527;
const BASE = 'http://127.0.0.1:' + PORT;
const START_TIMEOUT_MS = 30000;
const STOP_TIMEOUT_MS = 20000;
const ACTION_TIMEOUT_MS = 60000;   // generous: the suites run side by side on a loaded machine

const artifactDir = path.join(BUILD_DIR, 'web-artifacts', path.basename(require.main.filename, '.js'));

/* ---------------------------------------------------------------- runner */

const tests = [];
function test(name, fn) { tests.push({ name, fn }); }

async function run() {
  if (!fs.existsSync(PRIVATE_MARK)) {
    console.error('not in the private namespace of tests/web/run.sh: refusing to touch ' + CONFIG_DIR);
    process.exit(2);
  }
  fs.mkdirSync(artifactDir, { recursive: true });
  let browser;
  try {
    browser = await chromium.launch({ executablePath: CHROMIUM, args: CHROMIUM_FLAGS, headless: true });
  } catch (e) {
    console.error('FAIL: Chromium could not start: ' + e.message);
    process.exit(1);
  }
  const only = process.env.TOVU_WEB_ONLY;
  let failed = 0;
  for (const t of tests) {
    if (only && t.name.indexOf(only) < 0) continue;
    const started = Date.now();
    const ctx = new Context(browser, t.name);
    try {
      await t.fn(ctx);
      console.log('ok   ' + t.name + ' (' + (Date.now() - started) + ' ms)');
    } catch (e) {
      failed++;
      console.log('FAIL ' + t.name + '\n' + (e && e.stack ? e.stack : e));
      await ctx.snap('FAILED').catch(() => {});
      ctx.dumpLogs();
    } finally {
      await ctx.close();
    }
  }
  await browser.close();
  console.log(failed ? failed + ' failed' : 'all passed');
  process.exit(failed ? 1 : 0);
}

/* ---------------------------------------------------------------- daemon */

// Finds the daemon by the path of its own executable, unique to one start.
function findPid(exe) {
  for (const d of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(d)) continue;
    try {
      if (fs.readlinkSync('/proc/' + d + '/exe') === exe) return Number(d);
    } catch (e) { /* gone or not ours */ }
  }
  return 0;
}

function sleep(ms) { return new Promise((r) => setTimeout(r, ms)); }

async function waitFor(what, fn, timeoutMs) {
  const end = Date.now() + (timeoutMs || 30000);
  let last;
  while (Date.now() < end) {
    try {
      last = await fn();
      if (last) return last;
    } catch (e) { last = e; }
    await sleep(100);
  }
  throw new Error('timed out waiting for ' + what + (last instanceof Error ? ': ' + last.message : ''));
}

class Daemon {
  // opts.config: the document to start with; opts.transcoder: 'fake' (default)
  // or 'standin'; opts.fake: fake transcoder controls; opts.env: more environment
  constructor(opts) {
    this.opts = opts || {};
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tovul-prog-'));
    this.exe = path.join(this.dir, 'tovul');
    this.pid = 0;
  }

  // again: a start after stop() on the files the last run left (its
  // configuration included), as after a restart of the service
  async start(again) {
    const o = this.opts;
    if (!again) {
      for (const f of fs.readdirSync(VAR_DIR)) fs.rmSync(path.join(VAR_DIR, f), { recursive: true, force: true });
      for (const f of fs.readdirSync(CONFIG_DIR)) {
        if (f !== path.basename(PRIVATE_MARK)) fs.rmSync(path.join(CONFIG_DIR, f), { recursive: true, force: true });
      }
      if (o.config) fs.writeFileSync(CONFIG_FILE, JSON.stringify(o.config, null, '\t'));
    }
    fs.copyFileSync(path.join(BUILD_DIR, 'bin', 'tovul'), this.exe);
    fs.chmodSync(this.exe, 0o755);
    const tc = path.join(this.dir, 'tovul.so');
    if (o.transcoder === 'standin') {
      fs.copyFileSync(path.join(BUILD_DIR, 'bin', 'tovul.so'), tc);
    } else {
      fs.copyFileSync(FAKE_TRANSCODER, tc);
      const fake = Object.assign({ FAKE_HOLD: '-1' }, o.fake || {});
      fs.writeFileSync(path.join(this.dir, 'fake.conf'),
        Object.keys(fake).map((k) => k + "='" + String(fake[k]).replace(/'/g, "'\\''") + "'").join('\n') + '\n');
    }
    fs.chmodSync(tc, 0o755);
    const env = Object.assign({}, process.env, {
      LD_LIBRARY_PATH: [path.join(BUILD_DIR, 'bin'), path.join(BUILD_DIR, 'tests', 'decklink')].join(':')
    }, o.env || {});
    const log = fs.openSync(path.join(this.dir, 'daemon.out'), 'w');
    const child = spawn(this.exe, [], { cwd: this.dir, env, stdio: ['ignore', log, log] });
    const code = await new Promise((r) => child.on('exit', (c) => r(c)));
    fs.closeSync(log);
    if (code !== 0) throw new Error('daemon start ended with ' + code + ': ' + this.output());
    this.pid = await waitFor('the detached daemon', () => findPid(this.exe), 10000);
    await waitFor('the web interface', async () => (await fetch(BASE + '/runtime', { headers: this.authHeader() })).ok,
      START_TIMEOUT_MS);
    return this;
  }

  restart() { return this.start(true); }

  // the password the service was started with, or the one set with login()
  authHeader() {
    const g = this.opts.config && this.opts.config.global;
    const pass = this.pass !== undefined ? this.pass : g && g.loginPass;
    return pass ? { Cookie: 'auth=' + encodeURIComponent(pass) } : {};
  }

  login(pass) { this.pass = pass; }

  output() {
    try { return fs.readFileSync(path.join(this.dir, 'daemon.out'), 'utf8'); } catch (e) { return ''; }
  }

  async stop() {
    if (!this.pid) return;
    const pid = this.pid;
    this.pid = 0;
    try { process.kill(pid, 'SIGTERM'); } catch (e) { return; }
    const end = Date.now() + STOP_TIMEOUT_MS;
    while (Date.now() < end && fs.existsSync('/proc/' + pid)) await sleep(100);
    if (fs.existsSync('/proc/' + pid)) {
      try { process.kill(pid, 'SIGKILL'); } catch (e) { /* already gone */ }
    }
  }

  // what the service stores: GET "/config"
  async config() {
    const r = await fetch(BASE + '/config', { headers: this.authHeader() });
    assert.strictEqual(r.status, 200);
    return JSON.parse(await r.text());
  }

  async configText() {
    return (await fetch(BASE + '/config', { headers: this.authHeader() })).text();
  }

  async status() {
    return JSON.parse(await (await fetch(BASE + '/status', { headers: this.authHeader() })).text());
  }

  channelLog(n) {
    const f = path.join(VAR_DIR, 'log', 'tovu_' + String(n).padStart(3, '0') + '.log');
    try { return fs.readFileSync(f, 'utf8'); } catch (e) { return ''; }
  }
}

/* --------------------------------------------------------------- browser */

class Context {
  constructor(browser, name) {
    this.browser = browser;
    this.name = name;
    this.daemons = [];
    this.requests = [];
    this.dialogs = [];
    this.dialogAnswers = [];
    this.errors = [];
    this.shot = 0;
    this.others = [];
  }

  async daemon(opts) {
    const d = new Daemon(opts);
    this.daemons.push(d);
    return d.start();
  }

  // A fresh browser context and page; the CDN's jQuery comes from the npm
  // package, or with opts.cdn false the CDN cannot be reached (a closed network).
  // Routing a request turns the browser's cache off, so with opts.cache the
  // context routes nothing: it keeps what the service lets it keep, as an
  // operator's browser does, and jQuery comes from the service (the CDN
  // cannot be reached from the test's namespace).
  async page(opts) {
    const cdn = !opts || opts.cdn !== false;
    // the service's HTTPS is tested with a certificate of the test's own making
    this.bctx = await this.browser.newContext({ viewport: { width: 1400, height: 900 }, acceptDownloads: true,
      ignoreHTTPSErrors: true });
    if (!opts || !opts.cache) {
      await this.bctx.route(JQUERY_CDN, (route) => cdn ? route.fulfill({
        status: 200, contentType: 'text/javascript', body: fs.readFileSync(JQUERY_FILE),
        headers: { 'Access-Control-Allow-Origin': '*' }
      }) : route.abort('internetdisconnected'));
    }
    const page = await this.bctx.newPage();
    page.setDefaultTimeout(ACTION_TIMEOUT_MS);
    page.on('request', (r) => this.requests.push({ method: r.method(), url: r.url(), body: r.postData() }));
    page.on('pageerror', (e) => this.errors.push(e.message));
    page.on('dialog', async (d) => {
      this.dialogs.push({ type: d.type(), message: d.message() });
      const a = this.dialogAnswers.length ? this.dialogAnswers.shift() : true;
      if (a) await d.accept(); else await d.dismiss();
    });
    this.pg = page;
    return page;
  }

  // Another page in a browser context of its own (its own cookies), as an
  // operator elsewhere: opened on the client and loaded.
  async otherPage() {
    const bctx = await this.browser.newContext({ viewport: { width: 1400, height: 900 } });
    this.others.push(bctx);
    await bctx.route(JQUERY_CDN, (route) => route.fulfill({
      status: 200, contentType: 'text/javascript', body: fs.readFileSync(JQUERY_FILE),
      headers: { 'Access-Control-Allow-Origin': '*' }
    }));
    const page = await bctx.newPage();
    page.setDefaultTimeout(ACTION_TIMEOUT_MS);
    page.on('dialog', (d) => d.accept());
    await page.goto(BASE + '/');
    await ready(page);
    return page;
  }

  // Opens the client and waits until its configuration is loaded.
  async open(urlPath) {
    const page = this.pg || await this.page();
    await page.goto(BASE + (urlPath || '/'));
    await ready(page);
    return page;
  }

  // The page's requests to the service whose path and query start with prefix.
  sent(prefix, method) {
    return this.requests.filter((r) => {
      const u = new URL(r.url);
      return u.origin === BASE && (u.pathname + u.search).indexOf(prefix) === 0 && (!method || r.method === method);
    });
  }

  async snap(label) {
    if (!this.pg) return;
    const name = this.name.replace(/[^A-Za-z0-9]+/g, '_') + '-' + String(++this.shot).padStart(2, '0') + '-' +
      label.replace(/[^A-Za-z0-9]+/g, '_') + '.png';
    await this.pg.screenshot({ path: path.join(artifactDir, name) });
  }

  dumpLogs() {
    if (this.errors.length) console.log('page errors:\n  ' + this.errors.join('\n  '));
    this.daemons.forEach((d) => { const o = d.output(); if (o) console.log('daemon output:\n' + o); });
  }

  async close() {
    for (const b of this.others) await b.close().catch(() => {});
    if (this.bctx) await this.bctx.close().catch(() => {});
    for (const d of this.daemons) await d.stop();
  }
}

async function ready(page) {
  await page.waitForFunction(() => window.jsonConfig !== null && window.jsonRuntime !== null &&
    document.querySelectorAll('#chTable tbody tr').length === window.jsonRuntime.channels, null, { timeout: ACTION_TIMEOUT_MS });
}

/* -------------------------------------------------------------- fixtures */

// A channel as the editor writes it.
function channel(url, target) {
  const t = Object.assign({
    format: 'udp', url: 'udp://127.0.0.1:1234',
    video: { enable: true, codec: 'h264', width: 0, height: 0, frameRate: 0, keyFrameInterval: 5, quality: 0,
      bitRate: 0, scanType: 0, options: ['-pix_fmt:v yuv420p', '-preset:v faster'] },
    audio: { enable: true, codec: 'aac', sampleRate: 0, channels: 2, bitRate: 0 },
    mux: { bitRate: 0, cbr: false },
    rtmp: { flashVer: '', swfUrl: '', user: '', passwd: '' }
  }, target || {});
  return {
    enable: false,
    input: { sources: [{ format: 'file', url, video: { options: [] } }], formatOptions: [], filters: [], map: [],
      customOptions: '' },
    output: { targets: [t], formatOptions: [], customOptions: '' },
    memo: ''
  };
}

function config(channels, global) {
  return { name: 'browser test', global: Object.assign({ log: 0, httpPort: PORT, autoRestart: 0 }, global || {}),
    channels: channels || [] };
}

// A short test video made on the spot by ffmpeg's test sources.
function makeVideo(file, seconds) {
  const r = spawnSync('ffmpeg', ['-hide_banner', '-loglevel', 'error', '-y',
    '-f', 'lavfi', '-i', 'testsrc=size=320x240:rate=25', '-f', 'lavfi', '-i', 'sine=frequency=440:sample_rate=48000',
    '-t', String(seconds || 10), '-c:v', 'libx264', '-pix_fmt', 'yuv420p', '-c:a', 'aac', '-shortest', file]);
  if (r.status !== 0) throw new Error('ffmpeg could not make ' + file + ': ' + r.stderr);
  return file;
}

// Edits channel n in the page: selects its row and presses "Edit".
async function edit(page, n) {
  await page.click('#chTable tbody tr:nth-child(' + n + ')');
  await page.click('#btnEdit');
  await page.waitForSelector('#chTable tbody tr:nth-child(' + n + ') #sUrl');
}

// The service's answer to the page's next upload of its configuration.
function uploadAnswer(page) {
  return page.waitForResponse((r) => new URL(r.url()).pathname === '/config' && r.request().method() === 'POST');
}

// Presses "Apply"; the service's answer to its upload.
async function applyAnswer(page) {
  const answered = uploadAnswer(page);
  await page.click('#btnApply');
  return answered;
}

// Presses "Apply" and waits for the service's answer to be installed.
async function apply(page) {
  assert.strictEqual((await applyAnswer(page)).status(), 200);
  await page.waitForFunction(() => !window.editing);
}

// Presses "OK" in Global Settings; its upload is taken and the dialog closes.
async function settingsOk(page) {
  const posted = uploadAnswer(page);
  await page.click('#dlgSettings .ok');
  assert.strictEqual((await posted).status(), 200);
  await page.waitForSelector('#dlgSettings', { state: 'hidden' });
}

// The lines the notice box shows.
async function noticeLines(page) {
  return page.$$eval('#notice.shown .lines div', (ds) => ds.map((d) => d.textContent));
}

module.exports = {
  test, run, assert, waitFor, sleep, channel, config, makeVideo, edit, apply, ready,
  uploadAnswer, applyAnswer, settingsOk, noticeLines,
  BASE, PORT, VAR_DIR, BUILD_DIR, SRC_DIR, artifactDir
};
