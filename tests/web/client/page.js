// Browser tests of the web client's page: warning box, status and load
// panels, channel buttons and player, global settings, import and export,
// the DeckLink and NDI pickers and the login, against the real daemon with the
// fake transcoder.
'use strict';

const fs = require('fs');
const path = require('path');
const os = require('os');
const { spawnSync } = require('child_process');
const h = require('./lib/harness');
const { test, assert, waitFor, channel, config, noticeLines, settingsOk } = h;

const ABBR_WARNING = /^CAUTION Your TOVUL web interface is INSECURE!/;
const HOSTILE = '<img src=x onerror=alert(1)>';
const PROGRESS = 'frame=  50 fps=25 q=28.0 size=  256kB time=00:01:02.00 bitrate=1500kbits/s\\r';

const RUNNING_FAKE = { FAKE_OUTPUT: PROGRESS, FAKE_REPEAT: '100000', FAKE_INTERVAL: '0.5' };

function tmpFile(name, text) {
  const f = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'tovul-web-')), name);
  fs.writeFileSync(f, text);
  return f;
}

// A self-signed certificate and its key in a new folder: [cert, key].
function makeCertificate() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tovul-tls-'));
  const [key, cert, tpl] = ['web.key', 'web.crt', 'web.tpl'].map((f) => path.join(dir, f));
  fs.writeFileSync(tpl, 'cn = 127.0.0.1\nexpiration_days = 30\ntls_www_server\nencryption_key\nsigning_key\n');
  for (const args of [['--generate-privkey', '--key-type=ecdsa', '--outfile', key],
    ['--generate-self-signed', '--load-privkey', key, '--template', tpl, '--outfile', cert]]) {
    const r = spawnSync('certtool', args);
    if (r.status !== 0) throw new Error('certtool ' + args[0] + ': ' + r.stderr);
  }
  return [cert, key];
}

async function answersAt(url) {
  try { await fetch(url + 'runtime'); return true; } catch (e) { return false; }
}

async function statusText(page, n) {
  return page.textContent('#chTable tbody tr:nth-child(' + n + ') td:nth-child(5)');
}

test('warning box: shown without a password, with an empty one, hidden with one', async (ctx) => {
  for (const [global, shown] of [[{}, true], [{ loginPass: '' }, true], [{ loginPass: 'secret' }, false]]) {
    const d = await ctx.daemon({ config: config([channel('/tmp/a.mp4')], global) });
    const page = await ctx.page();
    if (global.loginPass) {
      await ctx.bctx.addCookies([{ name: 'auth', value: global.loginPass, url: h.BASE }]);
    }
    await ctx.open();
    assert.strictEqual(await page.isVisible('#warning'), shown, JSON.stringify(global));
    if (shown) {
      assert.match(await page.textContent('#warning'), ABBR_WARNING);
      assert.strictEqual(await page.textContent('#warning b'), 'CAUTION');
    }
    await ctx.bctx.close(); ctx.bctx = null; ctx.pg = null;
    await d.stop();
  }
});

test('CPU panel: 20 values give rows of 16 and 4 with the load colours', async (ctx) => {
  await ctx.daemon({ config: config([channel('/tmp/a.mp4')]) });
  const page = await ctx.page();
  const loads = [100, 0].concat(Array.from({ length: 18 }, (_, i) => 50 + i));
  // the real answer, with the CPU list of a bigger machine
  await page.route((u) => u.pathname === '/status', async (route) => {
    const r = await route.fetch();
    const ans = JSON.parse(await r.text());
    ans.cpu = loads;
    await route.fulfill({ response: r, body: JSON.stringify(ans) });
  });
  await ctx.open();
  await page.waitForFunction(() => document.querySelectorAll('#cpuTable td').length === 20);
  const rows = await page.$$eval('#cpuTable tr', (trs) => trs.map((tr) => tr.children.length));
  assert.deepStrictEqual(rows, [16, 4]);
  const cells = await page.$$eval('#cpuTable td', (tds) => tds.map((td) => [td.textContent, getComputedStyle(td).backgroundColor]));
  assert.deepStrictEqual(cells[0], ['100%', 'rgb(255, 5, 0)']);
  assert.deepStrictEqual(cells[1], ['0%', 'rgb(55, 255, 0)']);
  assert.deepStrictEqual(cells[2], ['50%', 'rgb(255, 255, 0)']);
  assert.strictEqual(await page.$$eval('#gpuTable td', (t) => t.length), 0);
});

test('start, stop and preview: requests, status cells and the player', async (ctx) => {
  const d = await ctx.daemon({ config: config([channel('/tmp/a.mp4'), channel('/tmp/b.mp4'), channel('/tmp/c.mp4')]),
    fake: RUNNING_FAKE });
  const page = await ctx.open();
  await page.waitForFunction(() => window.channelStatus.length === 3);

  // no selection: both buttons ask for one
  await page.evaluate(() => { window.selRow = 0; });
  await page.click('#btnStart');
  await page.click('#btnStop');
  assert.deepStrictEqual(ctx.dialogs.map((x) => x.message), ['Please select channel first.', 'Please select channel first.']);

  await page.click('#chTable tbody tr:nth-child(1)');
  await page.click('#btnStart');
  await waitFor('the start request', () => ctx.sent('/channel1?start').length === 1);
  await page.waitForFunction(() => /RUNNING|00:0/.test(document.querySelector('#chTable tbody tr:nth-child(1) td:nth-child(5)').textContent));
  await waitFor('a running state', async () => (await d.status()).channels[0].state === 'running');
  await page.waitForFunction(() => window.channelStatus[0].state === 'running');
  assert.match(await page.getAttribute('#chTable tbody tr:nth-child(1) td:nth-child(5) img', 'src'), /^running\.png$/);
  assert.strictEqual((await d.config()).channels[0].enable, true);
  // a running channel: Preview is disabled and a second start sends nothing
  assert.strictEqual(await page.isDisabled('#btnPreview'), true);
  await page.click('#btnStart');
  await h.sleep(300);
  assert.strictEqual(ctx.sent('/channel1?start').length, 1);

  // channel 2 idle: preview starts the player on the preview port
  await page.click('#chTable tbody tr:nth-child(2)');
  assert.strictEqual(await page.isDisabled('#btnPreview'), false);
  await page.click('#btnPreview');
  await waitFor('the preview request', () => ctx.sent('/channel2?preview').length === 1);
  await page.waitForSelector('#player', { state: 'visible' });
  assert.strictEqual(await page.getAttribute('#player', 'src'), 'http://127.0.0.1:9528');
  assert.strictEqual(await page.isVisible('#logo'), false);
  assert.strictEqual((await page.textContent('#btnPreview')).trim(), 'Stop');
  await waitFor('a preview state', async () => (await d.status()).channels[1].state === 'preview');
  await page.waitForFunction(() => window.channelStatus[1] && window.channelStatus[1].state === 'preview');
  await ctx.snap('running_idle_preview');

  // Stop Channel on the previewing channel: stop request, player hidden
  await page.click('#btnStop');
  await waitFor('the stop request', () => ctx.sent('/channel2?stop').length === 1);
  await page.waitForSelector('#player', { state: 'hidden' });
  assert.strictEqual(await page.isVisible('#logo'), true);
  assert.strictEqual((await page.textContent('#btnPreview')).trim(), 'Preview');
  await waitFor('channel 2 idle', async () => (await d.status()).channels[1].state === 'idle');

  await page.click('#chTable tbody tr:nth-child(1)');
  await page.click('#btnStop');
  await waitFor('the stop request', () => ctx.sent('/channel1?stop').length === 1);
  await waitFor('channel 1 idle', async () => (await d.status()).channels[0].state === 'idle');
  assert.strictEqual((await d.config()).channels[0].enable, false);
  await page.waitForFunction(() => /IDLE/.test(document.querySelector('#chTable tbody tr:nth-child(1) td:nth-child(5)').textContent));
  assert.match(await statusText(page, 1), /^ IDLE$/);
});

test('a preview that cannot be played says so: its transcoder ended, or no stream came', async (ctx) => {
  const cases = [
    // transcoder, source, why
    ['standin', '/tmp/no-such-clip.mp4', 'the channel\'s preview ended before anything played (its channel log says why).'],
    ['fake', '/tmp/a.mp4', 'no stream that the browser can play came from http://127.0.0.1:9528.']
  ];
  for (const [transcoder, source, why] of cases) {
    const d = await ctx.daemon({ transcoder, config: config([channel(source)]) });
    const page = await ctx.open();
    await page.waitForFunction(() => window.channelStatus.length === 1);
    await page.click('#btnPreview');
    await page.waitForSelector('#player', { state: 'visible' });
    await page.waitForSelector('#playerMsg', { state: 'visible', timeout: 90000 });
    assert.strictEqual(await page.textContent('#playerMsg'), 'The preview could not be played: ' + why);
    await ctx.snap('not played ' + transcoder);
    await page.click('#btnPreview');
    await page.waitForSelector('#player', { state: 'hidden' });
    assert.strictEqual(await page.isVisible('#playerMsg'), false);
    await d.stop();
  }
});

test('start and stop of all channels from the drop-downs; a failed start is reported', async (ctx) => {
  // channel 3 plays a folder without files: the service refuses to start it
  const empty = fs.mkdtempSync(path.join(os.tmpdir(), 'tovul-empty-'));
  const d = await ctx.daemon({ config: config([channel('/tmp/a.mp4'), channel('/tmp/b.mp4'), channel(empty)]),
    fake: RUNNING_FAKE });
  const page = await ctx.open();
  await page.waitForFunction(() => window.channelStatus.length === 3);
  await page.hover('#btnStart + .arrow');
  await page.waitForSelector('#btnStartAll', { state: 'visible' });
  await page.click('#btnStartAll');
  await waitFor('channels 1 and 2 running', async () => (await d.status()).channels.slice(0, 2).every((c) => c.state === 'running'));
  await waitFor('three start requests', () => [1, 2, 3].every((n) => ctx.sent('/channel' + n + '?start').length === 1));
  assert.strictEqual(ctx.sent('/channel1?stop').length, 0);
  // the one refused start is told, on a line of its own, with its cause
  const refused = 'Channel start error! Channel 3: source url not valid: channel start: no file in folder ' + empty + '.';
  await page.waitForFunction((t) => document.querySelector('#notice .lines').textContent === t, refused);
  assert.strictEqual(ctx.dialogs.length, 0);
  assert.deepStrictEqual((await d.config()).channels.map((c) => c.enable), [true, true, true]);
  await page.hover('#btnStop + .arrow');
  await page.waitForSelector('#btnStopAll', { state: 'visible' });
  await page.click('#btnStopAll');
  await waitFor('all idle', async () => (await d.status()).channels.every((c) => c.state === 'idle'));
  await waitFor('three stop requests', () => [1, 2, 3].every((n) => ctx.sent('/channel' + n + '?stop').length === 1));
  assert.deepStrictEqual((await d.config()).channels.map((c) => c.enable), [false, false, false]);

  await page.waitForFunction(() => window.channelStatus.every((c) => c.state === 'idle'));
  // the stop cleared the line; the start of channel 3 alone is told again
  assert.strictEqual(await page.isVisible('#notice'), false);
  await page.click('#chTable tbody tr:nth-child(3)');
  await page.click('#btnStart');
  await page.waitForFunction((t) => document.querySelector('#notice .lines').textContent === t, refused);
  await ctx.snap('start refused');
  assert.strictEqual(ctx.dialogs.length, 0);
});

test('global settings: an empty port sends nothing; OK writes exactly the fourteen keys in order', async (ctx) => {
  const d = await ctx.daemon({ config: config([channel('/tmp/a.mp4')], { altInput: 'default', extra: 1 }) });
  const page = await ctx.open();
  await page.click('#btnSettings');
  await page.waitForSelector('#dlgSettings', { state: 'visible' });
  assert.strictEqual(await page.inputValue('#gPort'), String(h.PORT));
  assert.strictEqual(await page.isChecked('#gAlt'), true);
  assert.strictEqual(await page.inputValue('#gAltFile'), '');
  assert.strictEqual(await page.$eval('#gPass', (e) => getComputedStyle(e).backgroundColor), 'rgb(255, 243, 107)');
  await ctx.snap('settings');

  await page.fill('#gPort', '');
  await page.click('#dlgSettings .ok');
  await h.sleep(500);
  assert.strictEqual(ctx.sent('/config', 'POST').length, 0);
  assert.strictEqual(await page.isVisible('#dlgSettings'), true);

  await page.fill('#gPort', String(h.PORT));
  await page.check('#gLog');
  await page.check('#gSsl');           // no files: stays off
  await page.fill('#gAcl', 'allow 127.0.0.1');
  await page.check('#gAutoRun');
  await page.uncheck('#gAutoRestart');
  assert.strictEqual(await page.inputValue('#gRestartSecs'), '0');
  await page.check('#gAutoRestart');
  assert.strictEqual(await page.inputValue('#gRestartSecs'), '1');
  await page.fill('#gRestartSecs', '7');
  await page.check('#gShuffle');
  await page.fill('#gAltFile', '/media/bars.mp4');
  await page.fill('#gYtdlp', '/etc/cookies.txt');
  const posted = page.waitForResponse((r) => new URL(r.url()).pathname === '/config' && r.request().method() === 'POST');
  await page.click('#dlgSettings .ok');
  assert.strictEqual((await posted).status(), 200);
  await page.waitForSelector('#dlgSettings', { state: 'hidden' });
  const g = (await d.config()).global;
  assert.deepStrictEqual(Object.keys(g), ['log', 'httpPort', 'sslEnable', 'sslCert', 'sslKey', 'ipACL', 'autoRun',
    'autoRestart', 'folderRecur', 'folderShuffle', 'altInput', 'omxPath', 'ytdlpPath', 'loginPass']);
  assert.deepStrictEqual(g, {
    log: 32, httpPort: h.PORT, sslEnable: false, sslCert: '', sslKey: '', ipACL: 'allow 127.0.0.1', autoRun: true,
    autoRestart: 7, folderRecur: false, folderShuffle: true, altInput: '/media/bars.mp4', omxPath: '',
    ytdlpPath: '/etc/cookies.txt', loginPass: ''
  });
  // the page was not reloaded
  assert.strictEqual(ctx.requests.filter((r) => new URL(r.url).pathname === '/runtime').length, 1);
});

test('a port change that worked: the page says where the service now is, with a link that leads there', async (ctx) => {
  await ctx.daemon({ config: config([channel('/tmp/a.mp4')]) });
  const page = await ctx.open();
  await page.waitForFunction(() => window.channelStatus.length === 1);
  await page.click('#btnSettings');
  await page.fill('#gPort', '9600');
  await settingsOk(page);
  const there = 'http://127.0.0.1:9600/';
  assert.strictEqual(await page.textContent('#moved'),
    'Global Settings saved: the web interface now answers at ' + there + '. Open it there to go on.');
  assert.strictEqual(await page.getAttribute('#moved a', 'href'), there);
  // the old address gone, the page still says where to go, not that nothing answers
  await waitFor('the old port closed', async () => !(await answersAt(h.BASE + '/')));
  await waitFor('the new port open', () => answersAt(there));
  await page.waitForFunction(() => document.querySelector('#chTable').classList.contains('stale'));
  await h.sleep(2500);
  assert.deepStrictEqual(await noticeLines(page), []);
  assert.strictEqual(await page.isVisible('#moved'), true);
  await ctx.snap('moved');
  await Promise.all([page.waitForNavigation(), page.click('#moved a')]);
  await h.ready(page);
  assert.strictEqual(page.url(), there);
  assert.strictEqual(await page.isVisible('#moved'), false);
  assert.strictEqual((await page.evaluate(() => window.jsonConfig)).global.httpPort, 9600);
});

test('HTTPS: a page over HTTP with "sslEnable" on warns; a change to working files leads to the HTTPS page', async (ctx) => {
  const [cert, key] = makeCertificate();
  await ctx.daemon({ config: config([channel('/tmp/a.mp4')],
    { loginPass: 'pw', sslEnable: true, sslCert: cert + '.missing', sslKey: key }) });
  const page = await ctx.page();
  await ctx.bctx.addCookies([{ name: 'auth', value: 'pw', url: h.BASE }]);
  await ctx.open();
  // the service could not start HTTPS and serves plain HTTP
  assert.strictEqual(await page.textContent('#warning'), 'CAUTION HTTPS is enabled in Global Settings, but this page' +
    ' came over plain HTTP: the service could not start HTTPS with its SSL Cert File and SSL Key File (its start-up' +
    ' output says why). The login password and the configuration travel unencrypted until both files are mended.');
  await ctx.snap('served over HTTP with HTTPS on');
  await page.click('#btnSettings');
  assert.strictEqual(await page.isChecked('#gSsl'), true);
  await page.fill('#gCert', cert);
  await settingsOk(page);
  const there = 'https://127.0.0.1:' + h.PORT + '/';
  assert.strictEqual(await page.getAttribute('#moved a', 'href'), there);
  assert.match(await page.textContent('#moved'), /accept the service's certificate first\.$/);
  assert.strictEqual(await page.isVisible('#warning'), false, 'no warning while the page moves to HTTPS');
  await page.waitForFunction(() => document.querySelector('#chTable').classList.contains('stale'));
  assert.deepStrictEqual(await noticeLines(page), []);
  await ctx.snap('moving to HTTPS');
  await Promise.all([page.waitForNavigation(), page.click('#moved a')]);
  await h.ready(page);
  assert.strictEqual(page.url(), there);
  assert.strictEqual(await page.isVisible('#warning'), false);
  await ctx.snap('served over HTTPS');
});

test('a move that did not happen: the page says so and takes the document as the service holds it', async (ctx) => {
  const d = await ctx.daemon({ config: config([channel('/tmp/a.mp4')]) });
  const page = await ctx.page();
  // the service accepts the new port, then goes away for a while and comes
  // back where it was, with its old port in the document
  let down = false;
  await page.route((u) => u.origin === h.BASE && (u.pathname === '/status' || u.pathname === '/config'), async (route) => {
    const rq = route.request();
    if (rq.method() === 'POST') {
      const doc = JSON.parse(rq.postData());
      await route.fulfill({ status: 200, contentType: 'application/json', body: JSON.stringify(doc) });
      down = true;
      setTimeout(() => { down = false; }, 3000);
    } else if (down) {
      await route.abort('connectionrefused');
    } else {
      await route.continue();
    }
  });
  await ctx.open();
  await page.click('#btnSettings');
  await page.fill('#gPort', '9600');
  await page.click('#dlgSettings .ok');
  await page.waitForSelector('#moved', { state: 'visible' });
  await waitFor('the line', async () => (await noticeLines(page)).includes('The web interface did not move to' +
    ' http://127.0.0.1:9600/: the service answers at this address again.'));
  assert.strictEqual(await page.isVisible('#moved'), false);
  await page.waitForFunction(() => window.jsonConfig.global.httpPort === 9527);
  assert.deepStrictEqual(await page.evaluate(() => window.jsonConfig), await d.config());
  await ctx.snap('not moved');
});

test('export downloads tovul.json; import reloads the page with the imported channels', async (ctx) => {
  const d = await ctx.daemon({ config: config([channel('/tmp/a.mp4')]) });
  const page = await ctx.open();
  await page.click('#btnSettings');
  const [dl] = await Promise.all([page.waitForEvent('download'), page.click('#btnExport')]);
  assert.strictEqual(dl.suggestedFilename(), 'tovul.json');
  const exported = JSON.parse(fs.readFileSync(await dl.path(), 'utf8'));
  assert.deepStrictEqual(exported, await d.config());

  const imported = config([channel('/media/one.mp4'), channel('/media/two.mp4')]);
  const file = tmpFile('import.json', JSON.stringify(imported));
  ctx.dialogAnswers.push(false);       // first: "no" clears the chooser
  await page.setInputFiles('#importFile', file);
  await waitFor('the question', () => ctx.dialogs.length === 1);
  assert.strictEqual(ctx.dialogs[0].message, 'Import all channels from <import.json>?\nAll current channel settings will be OVERWRITTEN!');
  assert.strictEqual(await page.inputValue('#importFile'), '');
  assert.strictEqual(ctx.sent('/config?import').length, 0);

  const loaded = page.waitForEvent('load');
  await page.setInputFiles('#importFile', file);
  await loaded;
  await h.ready(page);
  assert.strictEqual(ctx.sent('/config?import', 'POST').length, 1);
  await page.waitForFunction(() => document.querySelector('#chTable tbody tr:nth-child(2) td:nth-child(2)').textContent === ' /media/two.mp4');
  assert.deepStrictEqual((await d.config()).channels.map((c) => c.input.sources[0].url), ['/media/one.mp4', '/media/two.mp4']);
});

async function sourceEditor(ctx, page) {
  await h.edit(page, 1);
  await page.selectOption('#sFormat', 'file');
}

test('DeckLink picker: a source mode appends its format code; a target without modes is refused', async (ctx) => {
  const devices = tmpFile('decklink.conf', [
    'device DeckLink ' + HOSTILE, 'mode input Hp50 1920 1080 50000 1000 prog', 'mode input Hi59 1920 1080 30000 1001 uppr',
    'mode output Hp50 1920 1080 50000 1000 prog',
    'device Playback Only', 'side output'
  ].join('\n') + '\n');
  const d = await ctx.daemon({ config: config([channel('/tmp/a.mp4')]), env: { TOVU_STANDIN_DECKLINK_DEVICES: devices } });
  const page = await ctx.open();
  await sourceEditor(ctx, page);
  await page.selectOption('#sFormat', 'decklink');
  await page.waitForSelector('#dlgDecklink', { state: 'visible' });
  await page.waitForFunction(() => !document.querySelector('#dlgDecklink .ok').disabled);
  assert.deepStrictEqual(await page.$$eval('#dlDevices td', (t) => t.map((x) => x.textContent)),
    ['DeckLink ' + HOSTILE, 'Playback Only']);
  assert.strictEqual(await page.$$eval('#dlDevices img', (t) => t.length), 0);
  assert.deepStrictEqual(await page.$$eval('#dlFormats td', (t) => t.map((x) => x.textContent)),
    ['1920x1080p @ 50000/1000 fps', '1920x1080i @ 30000/1001 fps']);
  await ctx.snap('decklink');
  await page.click('#dlgDecklink .ok');
  await page.waitForSelector('#dlgDecklink', { state: 'hidden' });
  assert.strictEqual(await page.inputValue('#sUrl'), 'DeckLink ' + HOSTILE);
  await h.apply(page);
  let ch = (await d.config()).channels[0];
  assert.deepStrictEqual(ch.input.formatOptions, ['-format_code Hp50']);
  assert.strictEqual(ch.input.sources[0].format, 'decklink');
  assert.strictEqual(ch.input.sources[0].url, 'DeckLink ' + HOSTILE);

  // a target on the playback-only card, which lists no modes
  await h.edit(page, 1);
  await page.selectOption('#tFormat', 'decklink');
  await page.waitForFunction(() => document.querySelectorAll('#dlDevices tr[data-i]').length === 2);
  assert.ok(ctx.sent('/decklink_config?output=1').length === 1);
  await page.click('#dlDevices tr:nth-child(2)');
  await page.click('#dlgDecklink .ok');
  await waitFor('the alert', () => ctx.dialogs.some((x) => x.message === 'No device format selected'));
  assert.strictEqual(await page.isVisible('#dlgDecklink'), true);
  // the first card's output mode sets the target's size, rate and scan type
  await page.click('#dlDevices tr:nth-child(1)');
  await page.click('#dlgDecklink .ok');
  await page.waitForSelector('#dlgDecklink', { state: 'hidden' });
  await h.apply(page);
  ch = (await d.config()).channels[0];
  const t = ch.output.targets[0];
  assert.strictEqual(t.format, 'decklink');
  assert.strictEqual(t.url, 'DeckLink ' + HOSTILE);
  assert.deepStrictEqual([t.video.width, t.video.height, t.video.frameRate, t.video.scanType], [1920, 1080, 50, 0]);
});

test('NDI picker: the search sends timeout=3 and a hostile source name shows as text', async (ctx) => {
  const sources = tmpFile('ndi.conf', '0\t' + HOSTILE + '\t10.0.0.7:5961\n0\tStudio (Cam 2)\t10.0.0.8:5961\n');
  const ndiLog = tmpFile('ndi.log', '');
  const d = await ctx.daemon({ config: config([channel('/tmp/a.mp4')]),
    env: { TOVU_STANDIN_NDI_SOURCES: sources, TOVU_STANDIN_NDI_LOG: ndiLog } });
  const page = await ctx.open();
  await sourceEditor(ctx, page);
  await page.selectOption('#sFormat', 'ndi');
  await page.waitForSelector('#dlgNDI', { state: 'visible' });
  assert.ok(ctx.sent('/ndi_config?timeout=1').length === 1);
  await page.waitForFunction(() => !document.querySelector('#dlgNDI .ok').disabled);
  await page.fill('#ndiTimeout', '3');
  await page.click('#ndiSearch');
  await waitFor('the search', () => ctx.sent('/ndi_config?timeout=3').length === 1);
  assert.strictEqual(await page.$eval('body', (b) => b.classList.contains('waiting')), true);
  await page.waitForFunction(() => !document.body.classList.contains('waiting'), null, { timeout: 30000 });
  assert.deepStrictEqual(await page.$$eval('#ndiSources td', (t) => t.map((x) => x.textContent)),
    [HOSTILE + ' (10.0.0.7:5961)', 'Studio (Cam 2) (10.0.0.8:5961)']);
  assert.strictEqual(await page.$$eval('#ndiSources img', (t) => t.length), 0);
  assert.ok(/wait 3000/.test(fs.readFileSync(ndiLog, 'utf8')), 'the service waited 3 s');
  await ctx.snap('ndi');
  await page.click('#dlgNDI .ok');
  assert.strictEqual(await page.inputValue('#sUrl'), HOSTILE);
  await h.apply(page);
  const ch = (await d.config()).channels[0];
  assert.deepStrictEqual(ch.input.formatOptions, ['-wait_sources 3']);
  assert.strictEqual(ch.input.sources[0].url, HOSTILE);
  // shown in the channel list as text as well
  assert.strictEqual(await page.textContent('#chTable tbody tr:nth-child(1) td:nth-child(2)'), ' ' + HOSTILE);
  assert.strictEqual(ctx.dialogs.length, 0, 'no markup ran');
});

test('texts from the service are shown as text: urls, memos and status texts', async (ctx) => {
  const ch = channel('/media/' + HOSTILE + '.mp4');
  ch.memo = '<b>memo</b>';
  ch.output.targets[0].url = 'udp://127.0.0.1:1234/' + HOSTILE;
  await ctx.daemon({ config: config([ch]) });
  const page = await ctx.page();
  // the real answer, with a status text that holds markup (as a file name can)
  await page.route((u) => u.pathname === '/status', async (route) => {
    const r = await route.fetch();
    const ans = JSON.parse(await r.text());
    ans.channels[0] = { state: 'running', status: HOSTILE };
    await route.fulfill({ response: r, body: JSON.stringify(ans) });
  });
  await ctx.open();
  await page.waitForFunction(() => window.channelStatus.length === 1);
  assert.strictEqual(await page.textContent('#chTable tbody tr:nth-child(1) td:nth-child(2)'), ' /media/' + HOSTILE + '.mp4');
  assert.strictEqual(await page.textContent('#chTable tbody tr:nth-child(1) td:nth-child(4)'), '<b>memo</b>');
  assert.strictEqual(await page.textContent('#tabList .tab'), HOSTILE);
  assert.strictEqual(await statusText(page, 1), ' ' + HOSTILE);
  assert.strictEqual(await page.$$eval('img[src="x"], #chTable b', (t) => t.length), 0);
  assert.strictEqual(ctx.dialogs.length, 0, 'no markup ran');
});

test('long addresses, memos and status texts are cut with the whole text on hover; Status stays in the window', async (ctx) => {
  const url = '/media/' + 'long-folder-name/'.repeat(14) + 'clip-0123456.mp4';   // 261 characters, as reported
  const memo = 'a memo that goes on '.repeat(13) + 'and on';
  const status = '00:01:02 ' + 'x'.repeat(90);
  const ch = channel(url);
  ch.memo = memo;
  await ctx.daemon({ config: config([ch, channel('/tmp/b.mp4')]) });
  const page = await ctx.page();
  await page.route((u) => u.pathname === '/status', async (route) => {
    try {
      const r = await route.fetch();
      const ans = JSON.parse(await r.text());
      ans.channels[0] = { state: 'running', status };
      await route.fulfill({ response: r, body: JSON.stringify(ans) });
    } catch (e) { /* the page was closed meanwhile */ }
  });
  const cells = (n) => page.$$eval('#chTable tbody tr:nth-child(' + n + ') td', (tds) => tds.map((td) => ({
    title: td.getAttribute('title'), cut: td.scrollWidth > td.clientWidth })));
  for (const width of [1400, 1024]) {
    await page.setViewportSize({ width, height: 800 });
    await ctx.open();
    await page.waitForFunction(() => window.channelStatus.length === 2);
    await page.waitForFunction(() => /x{10}/.test(document.querySelector('#chTable tbody td:nth-child(5)').textContent));
    const box = await page.evaluate(() => ({
      table: document.querySelector('#chTable').getBoundingClientRect().right,
      status: document.querySelector('#chTable th.colStatus').getBoundingClientRect(),
      page: document.documentElement.scrollWidth
    }));
    assert.ok(box.page <= width, width + ': the page is ' + box.page + ' px wide');
    assert.ok(box.table <= width && box.status.right <= width && box.status.width >= 150,
      width + ': Status in the window: ' + JSON.stringify(box));
    const c = await cells(1);
    assert.strictEqual(url.length, 261);
    assert.deepStrictEqual([c[1].title, c[3].title, c[4].title], [url, memo, status]);
    assert.deepStrictEqual([c[1].cut, c[3].cut, c[4].cut], [true, true, true]);
    await ctx.snap('long cells ' + width);
    if (width === 1400) {
      // a column dragged wider still widens the table, by what it was dragged
      const grip = await page.locator('.JCLRgrip').nth(3).boundingBox();
      const memoBefore = (await page.locator('#chTable th.colMemo').boundingBox()).width;
      await page.mouse.move(grip.x + grip.width / 2, grip.y + grip.height / 2);
      await page.mouse.down();
      await page.mouse.move(grip.x + grip.width / 2 + 100, grip.y + grip.height / 2, { steps: 5 });
      await page.mouse.up();
      const memoAfter = (await page.locator('#chTable th.colMemo').boundingBox()).width;
      assert.ok(Math.abs(memoAfter - memoBefore - 100) < 3, 'Memo dragged from ' + memoBefore + ' to ' + memoAfter);
    }
    // while channel 1 is edited too
    await h.edit(page, 1);
    const edited = await page.evaluate(() => document.querySelector('#chTable th.colStatus').getBoundingClientRect().right);
    assert.ok(edited <= width, width + ': Status while editing ends at ' + edited);
    await ctx.snap('long cells edited ' + width);
    await page.click('#btnCancel');
  }
});

test('login through the page with a password holding "+" and "@"', async (ctx) => {
  const pass = 'se+cr@t 1';
  const d = await ctx.daemon({ config: config([channel('/tmp/a.mp4')], { loginPass: pass }) });
  const page = await ctx.page();
  await page.goto(h.BASE + '/');
  await page.waitForSelector('input[name=auth]');
  await ctx.snap('login');
  await page.fill('input[name=auth]', pass);
  await Promise.all([page.waitForNavigation(), page.click('input[type=submit]')]);
  await h.ready(page);
  assert.strictEqual(await page.isVisible('#warning'), false);
  assert.strictEqual(await page.textContent('#chTable tbody tr:nth-child(1) td:nth-child(2)'), ' /tmp/a.mp4');
  const cookie = (await ctx.bctx.cookies()).find((c) => c.name === 'auth');
  assert.strictEqual(cookie.value, 'se%2Bcr%40t+1');
  await page.waitForFunction(() => window.channelStatus.length === 1);
  assert.strictEqual((await d.config()).global.loginPass, pass);
});

test('pop-ups: dragged by the title bar, closed by the cross, Cancel and Escape', async (ctx) => {
  await ctx.daemon({ config: config([channel('/tmp/a.mp4')]) });
  const page = await ctx.open();
  await page.click('#btnSettings');
  const box = await page.locator('#dlgSettings .title').boundingBox();
  await page.mouse.move(box.x + 40, box.y + 8);
  await page.mouse.down();
  await page.mouse.move(box.x + 140, box.y + 108, { steps: 5 });
  await page.mouse.up();
  const moved = await page.locator('#dlgSettings').boundingBox();
  assert.ok(Math.abs(moved.x - (box.x - 3 + 100)) <= 4 && Math.abs(moved.y - (box.y - 3 + 100)) <= 4, JSON.stringify([box, moved]));
  await page.click('#dlgSettings .close');
  assert.strictEqual(await page.isVisible('#dlgSettings'), false);
  await page.click('#btnSettings');
  await page.click('#dlgSettings .cancel');
  assert.strictEqual(await page.isVisible('#dlgSettings'), false);
  await page.click('#btnSettings');
  await page.keyboard.press('Escape');
  assert.strictEqual(await page.isVisible('#dlgSettings'), false);
  assert.strictEqual(ctx.sent('/config', 'POST').length, 0);
});

test('Preview follows one rule, when a channel is selected and at every poll', async (ctx) => {
  const html5 = channel('/tmp/b.mp4', { format: 'html5', url: 'http://127.0.0.1:9527/tovu_ch2' });
  await ctx.daemon({ config: config([channel('/tmp/a.mp4'), html5, channel('/tmp/c.mp4')]), fake: RUNNING_FAKE });
  const page = await ctx.page();
  // the real answer, with the states a channel passes through for channels 1 and 2
  const forced = {};
  await page.route((u) => u.pathname === '/status', async (route) => {
    const r = await route.fetch();
    const ans = JSON.parse(await r.text());
    for (const i of Object.keys(forced)) ans.channels[i] = { state: forced[i], status: forced[i].toUpperCase() };
    await route.fulfill({ response: r, body: JSON.stringify(ans) });
  });
  await ctx.open();
  // until the next poll has been shown
  const nextPoll = async (i, st) => {
    await page.evaluate(() => { window.channelStatus = []; });
    await page.waitForFunction(([k, s]) => window.channelStatus[k] && window.channelStatus[k].state === s, [i, st]);
  };
  const cases = [
    // channel, state, Preview enabled: only when pressing it does something
    [1, 'running', false], [1, 'stopping', false], [1, 'preview', false], [1, 'idle', true],
    [2, 'running', true], [2, 'stopping', true]
  ];
  for (const [n, st, enabled] of cases) {
    forced[n - 1] = st;
    await nextPoll(n - 1, st);
    await page.click('#chTable tbody tr:nth-child(' + n + ')');
    assert.strictEqual(await page.isDisabled('#btnPreview'), !enabled, 'channel ' + n + ' ' + st + ' selected');
    await nextPoll(n - 1, st);
    assert.strictEqual(await page.isDisabled('#btnPreview'), !enabled, 'channel ' + n + ' ' + st + ' polled');
  }
  // the preview this page plays can always be ended with the button
  await page.click('#chTable tbody tr:nth-child(3)');
  await page.click('#btnPreview');
  await page.waitForSelector('#player', { state: 'visible' });
  await page.waitForFunction(() => window.channelStatus[2].state === 'preview');
  await page.click('#chTable tbody tr:nth-child(1)');
  await page.click('#chTable tbody tr:nth-child(3)');
  assert.strictEqual(await page.isDisabled('#btnPreview'), false, 'own preview selected');
  await nextPoll(2, 'preview');
  assert.strictEqual(await page.isDisabled('#btnPreview'), false, 'own preview polled');
  await page.click('#btnPreview');
  await page.waitForSelector('#player', { state: 'hidden' });
  await waitFor('the stop request', () => ctx.sent('/channel3?stop').length === 1);
});

test('a configuration save that fails on the service: the page shows its answer and keeps the change open', async (ctx) => {
  const d = await ctx.daemon({ config: config([channel('/tmp/a.mp4')]) });
  const page = await ctx.page();
  const TEXT = 'configuration not saved: Read-only file system';
  const configPath = (u) => u.pathname === '/config';
  await page.route(configPath, (route) => route.request().method() === 'POST'
    ? route.fulfill({ status: 500, contentType: 'text/plain', body: TEXT + '\n' }) : route.continue());
  await ctx.open();
  const notice = () => page.textContent('#notice .lines');
  await page.click('#btnSettings');
  await page.check('#gAutoRun');
  await page.click('#dlgSettings .ok');
  await waitFor('the notice', async () => await notice() ===
    'Global Settings error! The settings were not saved: ' + TEXT + '. They are still in the dialog: OK again, or Cancel.');
  assert.strictEqual(await page.isVisible('#dlgSettings'), true);
  assert.strictEqual(await page.evaluate(() => window.jsonConfig.global.autoRun), undefined);
  await page.click('#dlgSettings .cancel');
  await h.edit(page, 1);
  await page.fill('#sMemo', 'changed');
  await page.click('#btnApply');
  await waitFor('the notice', async () => await notice() ===
    'Apply error! Channel 1 was not saved: ' + TEXT + '. The edit is still open: Apply again, or Cancel.');
  assert.strictEqual(await page.evaluate(() => window.editing), true);
  assert.strictEqual(await page.evaluate(() => window.jsonConfig.channels[0].memo), '');
  assert.strictEqual((await d.config()).channels[0].memo, '');
  assert.strictEqual(ctx.dialogs.length, 0);
  await ctx.snap('save failed');
  // the service takes it now: the notice goes, the list shows what it stored
  await page.unroute(configPath);
  await h.apply(page);
  assert.strictEqual(await page.isVisible('#notice'), false);
  assert.strictEqual((await d.config()).channels[0].memo, 'changed');
  assert.strictEqual(await page.textContent('#chTable tbody tr:nth-child(1) td:nth-child(4)'), 'changed');
});

test('off the internet: jQuery comes from the service, checked by the same hash', async (ctx) => {
  await ctx.daemon({ config: config([channel('/tmp/a.mp4')]) });
  const JQ = '/jquery-3.7.1.min.js';
  // the CDN reachable: the service's copy is not asked for
  await ctx.open();
  assert.strictEqual(ctx.sent(JQ).length, 0);
  await ctx.bctx.close(); ctx.bctx = null; ctx.pg = null;

  let page = await ctx.page({ cdn: false });
  const served = page.waitForResponse((r) => r.url() === h.BASE + JQ);
  await ctx.open();
  assert.strictEqual((await served).status(), 200);
  assert.strictEqual(await page.evaluate(() => window.jQuery.fn.jquery), '3.7.1');
  assert.strictEqual(await page.textContent('#chTable tbody tr:nth-child(1) td:nth-child(2)'), ' /tmp/a.mp4');
  await page.click('#btnSettings');
  await page.waitForSelector('#dlgSettings', { state: 'visible' });
  assert.deepStrictEqual(ctx.errors, []);
  await ctx.bctx.close(); ctx.bctx = null; ctx.pg = null;

  // a copy whose bytes differ from the hash is refused by the browser
  page = await ctx.page({ cdn: false });
  await page.route((u) => u.origin === h.BASE && u.pathname === JQ, async (route) => {
    const r = await route.fetch();
    await route.fulfill({ response: r, body: (await r.text()) + '\n' });
  });
  await page.goto(h.BASE + '/');
  await waitFor('the fallback request', () => ctx.sent(JQ).length === 2);
  await h.sleep(500);
  assert.strictEqual(await page.evaluate(() => typeof window.jQuery), 'undefined');
});

h.run();
