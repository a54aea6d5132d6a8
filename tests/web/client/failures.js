// Browser tests of the web client when requests fail, against the real
// daemon: the service stopped and started again, a login ended by a
// password changed from another page, an upload the service refuses, and a
// status poll that gets no answer. Whatever fails is told in the notice box,
// the page's copy of the configuration stays as the service holds it, and an
// edit stays open for another try.
'use strict';

const fs = require('fs');
const path = require('path');
const os = require('os');
const h = require('./lib/harness');
const { test, assert, waitFor, channel, config, noticeLines } = h;
const { spawnSync } = require('child_process');

const PROGRESS = 'frame=  50 fps=25 q=28.0 size=  256kB time=00:01:02.00 bitrate=1500kbits/s\\r';
const RUNNING_FAKE = { FAKE_OUTPUT: PROGRESS, FAKE_REPEAT: '100000', FAKE_INTERVAL: '0.5' };

const UNREACHABLE = 'the service cannot be reached.';
const LOGIN_ENDED = 'the login has ended.';
const STATUS_UNREACHABLE = 'The service cannot be reached: the states shown are the last known.';
const STATUS_LOGIN = 'The login has ended: the states shown are the last known.';
const APPLY_AGAIN = ' The edit is still open: Apply again, or Cancel.';
const SETTINGS_AGAIN = ' They are still in the dialog: OK again, or Cancel.';
const LEAVE = 'Leave this page for the login page?\nWhat has not been applied yet is lost.';

const row = (n) => '#chTable tbody tr:nth-child(' + n + ')';

// until the notice box holds a line equal to text (or, with gone, none)
async function waitLine(page, text, gone) {
  await waitFor((gone ? 'no line ' : 'the line ') + JSON.stringify(text),
    async () => (await noticeLines(page)).includes(text) !== !!gone);
}

async function pageConfig(page) {
  return page.evaluate(() => window.jsonConfig);
}

test('the service stopped: every change and action fails and says so; the page recovers when it is back', async (ctx) => {
  const d = await ctx.daemon({ config: config([channel('/tmp/a.mp4')]), fake: RUNNING_FAKE });
  const page = await ctx.open();
  await page.waitForFunction(() => window.channelStatus.length === 1);
  assert.strictEqual(await page.isVisible('#notice'), false);
  const stored = await d.configText();
  const copy = await pageConfig(page);
  await d.stop();
  await waitLine(page, STATUS_UNREACHABLE);

  // the channel buttons: each failure on the channel's line, the copy unchanged
  const actions = [
    // button, line
    ['#btnStart', 'Channel start error! Channel 1: ' + UNREACHABLE],
    ['#btnStop', 'Channel stop error! Channel 1: ' + UNREACHABLE],
    ['#btnPreview', 'Channel preview error! Channel 1: ' + UNREACHABLE]
  ];
  for (const [button, line] of actions) {
    await page.click(button);
    await waitLine(page, line);
  }
  assert.strictEqual(await page.isVisible('#player'), false);

  // Global Settings: the dialog stays open with what was typed
  await page.click('#btnSettings');
  await page.check('#gAutoRun');
  await page.fill('#gAcl', '+127.0.0.1');
  await page.click('#dlgSettings .ok');
  await waitLine(page, 'Global Settings error! The settings were not saved: ' + UNREACHABLE + SETTINGS_AGAIN);
  assert.strictEqual(await page.isVisible('#dlgSettings'), true);
  assert.strictEqual(await page.textContent('#dlgSettings .failure'), 'Not saved: ' + UNREACHABLE);
  assert.strictEqual(await page.inputValue('#gAcl'), '+127.0.0.1');
  await ctx.snap('settings not saved');

  // the import from the same dialog: the page is not left
  const file = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'tovul-import-')), 'import.json');
  fs.writeFileSync(file, JSON.stringify(config([channel('/media/one.mp4')])));
  await page.setInputFiles('#importFile', file);
  await waitLine(page, 'Import error! <import.json> was not imported: ' + UNREACHABLE);
  assert.strictEqual(await page.textContent('#dlgSettings .failure'), 'Not imported: ' + UNREACHABLE);
  assert.strictEqual(await page.inputValue('#importFile'), '');
  await page.click('#btnExport');
  await waitLine(page, 'Export error! The configuration was not exported: ' + UNREACHABLE);
  assert.strictEqual(await page.textContent('#dlgSettings .failure'), 'Not exported: ' + UNREACHABLE);
  await page.click('#dlgSettings .cancel');

  await page.click('#btnRemove');
  await waitLine(page, 'Remove Channel error! Channel 1 was not removed: ' + UNREACHABLE);
  assert.strictEqual(await page.textContent(row(1) + ' td:nth-child(2)'), ' /tmp/a.mp4');

  // Apply of a new channel: the edit stays open, the list does not show it
  await page.click('#btnNew');
  await page.waitForSelector(row(2) + ' #sUrl');
  await page.fill('#sUrl', '/media/new.mp4');
  await page.fill('#sMemo', 'kept');
  await page.click('#btnApply');
  await waitLine(page, 'Apply error! Channel 2 was not saved: ' + UNREACHABLE + APPLY_AGAIN);
  assert.strictEqual(await page.evaluate(() => window.editing), true);
  assert.strictEqual(await page.inputValue(row(2) + ' #sUrl'), '/media/new.mp4');
  assert.deepStrictEqual(await pageConfig(page), copy, 'the page keeps the document as the service holds it');
  assert.deepStrictEqual(ctx.errors, []);
  await ctx.snap('apply not saved');

  // the service back: the status line goes by itself, nothing was stored meanwhile
  await d.restart();
  await waitLine(page, STATUS_UNREACHABLE, true);
  assert.strictEqual(await d.configText(), stored);
  await ctx.snap('service back');
  // started anew, the service numbers its document anew: the page's copy,
  // still the document in use, takes the new number and is not refused
  await h.apply(page);
  await waitLine(page, 'Apply error! Channel 2 was not saved: ' + UNREACHABLE + APPLY_AGAIN, true);
  const doc = await d.config();
  assert.deepStrictEqual(doc.channels.map((c) => [c.input.sources[0].url, c.memo]), [['/tmp/a.mp4', ''], ['/media/new.mp4', 'kept']]);
  assert.deepStrictEqual(await pageConfig(page), doc, 'the page took the service\'s answer');

  await page.click('#btnSettings');
  const [dl] = await Promise.all([page.waitForEvent('download'), page.click('#btnExport')]);
  assert.strictEqual(dl.suggestedFilename(), 'tovul.json');
  assert.deepStrictEqual(JSON.parse(fs.readFileSync(await dl.path(), 'utf8')), doc);
  await page.click('#dlgSettings .cancel');
  await page.click(row(1));
  await page.click('#btnStart');
  await waitFor('channel 1 running', async () => (await d.status()).channels[0].state === 'running');
  await waitFor('the box empty', async () => !(await page.isVisible('#notice')));
  assert.strictEqual((await pageConfig(page)).channels[0].enable, true);
  assert.deepStrictEqual(ctx.errors, []);
});

test('the password changed from another page: the first page is told the login has ended and keeps its edit', async (ctx) => {
  const d = await ctx.daemon({ config: config([channel('/tmp/a.mp4')]) });
  const page = await ctx.open();
  await h.edit(page, 1);
  await page.fill('#sMemo', 'from the first page');

  const other = await ctx.otherPage();
  await other.click('#btnSettings');
  await other.fill('#gPass', 'n3w pass');
  await h.settingsOk(other);
  d.login('n3w pass');

  await page.click('#btnApply');
  await waitLine(page, 'Apply error! Channel 1 was not saved: ' + LOGIN_ENDED + APPLY_AGAIN);
  await waitLine(page, STATUS_LOGIN);
  await page.click('#btnStart');
  await waitLine(page, 'Channel start error! Channel 1: ' + LOGIN_ENDED);
  assert.strictEqual(await page.isVisible('#notice .login'), true);
  assert.strictEqual(await page.evaluate(() => window.editing), true);
  assert.strictEqual(await page.inputValue('#sMemo'), 'from the first page');
  assert.strictEqual((await pageConfig(page)).channels[0].enable, false);
  await ctx.snap('login ended');
  const doc = await d.config();
  assert.deepStrictEqual([doc.channels[0].memo, doc.channels[0].enable, doc.global.loginPass], ['', false, 'n3w pass']);

  // the login page is offered; the open edit is dropped only on a yes
  ctx.dialogAnswers.push(false);
  await page.click('#notice .login');
  await waitFor('the question', () => ctx.dialogs.some((q) => q.message === LEAVE));
  await h.sleep(300);
  assert.strictEqual(await page.evaluate(() => window.editing), true);
  const left = page.waitForNavigation();
  await page.click('#notice .login');
  await left;
  await page.waitForSelector('input[name=auth]');
  await page.fill('input[name=auth]', 'n3w pass');
  await Promise.all([page.waitForNavigation(), page.click('input[type=submit]')]);
  await h.ready(page);
  assert.strictEqual(await page.isVisible('#notice'), false);
  assert.strictEqual((await pageConfig(page)).global.loginPass, 'n3w pass');
  assert.strictEqual(await page.textContent(row(1) + ' td:nth-child(4)'), '');
});

test('the login ended: the offer, an address typed anew and a reload each reach the login page', async (ctx) => {
  const d = await ctx.daemon({ config: config([channel('/tmp/a.mp4')]) });
  // a browser that keeps what the service lets it keep
  const page = await ctx.page({ cache: true });
  await ctx.open();
  const r = await fetch(h.BASE + '/config', { method: 'POST', headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(config([channel('/tmp/a.mp4')], { loginPass: 'n3w' })) });
  assert.strictEqual(r.status, 200);
  d.login('n3w');
  await waitLine(page, STATUS_LOGIN);
  await Promise.all([page.waitForNavigation(), page.click('#notice .login')]);
  await page.waitForSelector('input[name=auth]');
  await ctx.snap('login page from the offer');
  const tab = await ctx.bctx.newPage();
  for (const where of ['/', '/index.html']) {
    await tab.goto(h.BASE + where);
    assert.ok(await tab.$('input[name=auth]'), where + ' typed anew gives the login page');
  }
  await tab.close();
  await page.reload();
  await page.waitForSelector('input[name=auth]');
  // logged in again, the page is back, and stays at a reload
  await page.fill('input[name=auth]', 'n3w');
  await Promise.all([page.waitForNavigation(), page.click('input[type=submit]')]);
  await h.ready(page);
  await page.reload();
  await h.ready(page);
  assert.strictEqual((await pageConfig(page)).global.loginPass, 'n3w');
});

test('an upload refused with 400: the service\'s answer is told, the edit stays, nothing changes', async (ctx) => {
  // a hand-written document with an access rule the service cannot read: it is loaded (and matches
  // nothing, so the page is served), but an upload that holds it is refused
  const d = await ctx.daemon({ config: config([channel('/tmp/a.mp4')], { ipACL: 'deny 127.1' }) });
  const page = await ctx.open();
  const stored = await d.configText();
  // what the service answers to that document sent back as it is
  const r = await fetch(h.BASE + '/config', { method: 'POST', body: stored, headers: { 'Content-Type': 'application/json' } });
  assert.strictEqual(r.status, 400);
  const text = (await r.text()).trim();
  const why = (text || 'the service answered 400 Bad Request').replace(/\.$/, '') + '.';

  await h.edit(page, 1);
  await page.fill('#sMemo', 'refused');
  assert.strictEqual((await h.applyAnswer(page)).status(), 400);
  await waitLine(page, 'Apply error! Channel 1 was not saved: ' + why + APPLY_AGAIN);
  assert.strictEqual(await page.evaluate(() => window.editing), true);
  assert.strictEqual((await pageConfig(page)).channels[0].memo, '');
  await page.click('#btnCancel');
  assert.strictEqual(await page.textContent(row(1) + ' td:nth-child(4)'), '');
  await page.click('#btnSettings');
  await page.click('#dlgSettings .ok');
  await waitLine(page, 'Global Settings error! The settings were not saved: ' + why + SETTINGS_AGAIN);
  await ctx.snap('refused');
  assert.strictEqual(await d.configText(), stored);
});

test('Apply of a channel that a start would refuse for its texts: refused, naming channel, field and character', async (ctx) => {
  const d = await ctx.daemon({ config: config([channel('/tmp/a.mp4'), channel('/tmp/b.mp4')]) });
  const page = await ctx.open();
  const stored = await d.configText();
  await h.edit(page, 2);
  await page.fill('#sUrl', '/media/a"b.mp4');
  const r = await h.applyAnswer(page);
  assert.strictEqual(r.status(), 400);
  const why = (await r.text()).trim();
  assert.match(why, /channel 2 source "url" holds a double quote/);
  await waitLine(page, 'Apply error! Channel 2 was not saved: ' + why.replace(/\.$/, '') + '.' + APPLY_AGAIN);
  assert.strictEqual(await page.evaluate(() => window.editing), true);
  assert.strictEqual(await page.inputValue('#sUrl'), '/media/a"b.mp4');
  assert.strictEqual(await d.configText(), stored);
  await ctx.snap('apply refused');
  // mended, it is taken
  await page.fill('#sUrl', '/media/ab.mp4');
  await h.apply(page);
  assert.strictEqual((await d.config()).channels[1].input.sources[0].url, '/media/ab.mp4');
});

test('two pages: an Apply made from an older copy is refused, keeps its edit and offers the configuration in use', async (ctx) => {
  const d = await ctx.daemon({ config: config([channel('/tmp/a.mp4'), channel('/tmp/b.mp4')]), fake: RUNNING_FAKE });
  const page = await ctx.open();
  // another page, loaded after, changes channel 1 and sets Auto Restart
  const other = await ctx.otherPage();
  await h.edit(other, 1);
  await other.fill('#sMemo', 'from the other page');
  await h.apply(other);
  await other.click('#btnSettings');
  await other.check('#gAutoRestart');
  await other.fill('#gRestartSecs', '5');
  await h.settingsOk(other);
  const theirs = await d.configText();

  // this page's change of channel 2 would put both back: refused, nothing changes
  await h.edit(page, 2);
  await page.fill('#sMemo', 'from the first page');
  const refused = await h.applyAnswer(page);
  assert.strictEqual(refused.status(), 409);
  const why = (await refused.text()).trim();
  assert.match(why, /changed elsewhere/);
  await waitLine(page, 'Apply error! Channel 2 was not saved: ' + why.replace(/\.$/, '') + '.');
  assert.strictEqual(await page.isVisible('#notice .current'), true);
  assert.strictEqual(await page.evaluate(() => window.editing), true);
  assert.strictEqual(await page.inputValue('#sMemo'), 'from the first page');
  assert.strictEqual(await d.configText(), theirs);
  await ctx.snap('changed elsewhere');

  // the configuration in use, on a yes only while the edit is open
  ctx.dialogAnswers.push(false);
  await page.click('#notice .current');
  await h.sleep(300);
  assert.strictEqual(await page.evaluate(() => window.editing), true);
  await page.click('#notice .current');
  await page.waitForFunction(() => !window.editing && window.jsonConfig.global.autoRestart === 5);
  assert.deepStrictEqual(ctx.dialogs.map((q) => q.message).filter((m) => /configuration in use/.test(m)).length, 2);
  assert.strictEqual(await page.textContent(row(1) + ' td:nth-child(4)'), 'from the other page');
  assert.strictEqual(await page.isVisible('#notice'), false);
  await ctx.snap('configuration in use');

  // made again from it, the change is taken beside the other page's
  await h.edit(page, 2);
  await page.fill('#sMemo', 'from the first page');
  await h.apply(page);
  // the page's own start and stop keep its copy in step: a later Apply is taken
  await page.click(row(1));
  await page.click('#btnStart');
  await waitFor('channel 1 running', async () => (await d.status()).channels[0].state === 'running');
  await page.waitForFunction(() => window.jsonConfig.channels[0].enable === true);
  await page.click('#btnStop');
  await waitFor('channel 1 idle', async () => (await d.status()).channels[0].state === 'idle');
  await h.edit(page, 2);
  await page.fill('#sMemo', 'again from the first page');
  await h.apply(page);
  let doc = await d.config();
  assert.deepStrictEqual([doc.channels[0].memo, doc.channels[1].memo, doc.global.autoRestart],
    ['from the other page', 'again from the first page', 5]);

  // a script names no number and is taken; the page's next Apply is then refused
  doc.channels[0].memo = 'from a script';
  const r = await fetch(h.BASE + '/config', { method: 'POST', body: JSON.stringify(doc), headers: { 'Content-Type': 'application/json' } });
  assert.strictEqual(r.status, 200);
  await h.edit(page, 2);
  await page.fill('#sMemo', 'late');
  assert.strictEqual((await h.applyAnswer(page)).status(), 409);
  assert.strictEqual((await d.config()).channels[0].memo, 'from a script');
  assert.deepStrictEqual(ctx.errors, []);
});

// Runs fn with the configuration folder read-only (this test's namespace has
// its own mounts), so that every save of the service fails.
async function withReadOnlyConfig(fn) {
  const sh = (cmd) => {
    const r = spawnSync('sh', ['-c', cmd]);
    if (r.status !== 0) throw new Error(cmd + ': ' + r.stderr);
  };
  sh('mount --bind /etc/tovul /etc/tovul && mount -o remount,bind,ro /etc/tovul');
  try { await fn(); } finally { sh('umount /etc/tovul'); }
}

test('a refused start says why, as its channel log does; a start or stop whose save fails says it will not last', async (ctx) => {
  const quoted = channel('/tmp/a.mp4', { format: 'file', url: '/tmp/a"b.ts' });
  const d = await ctx.daemon({ config: config([channel('/tmp/a.mp4'), quoted], { log: 32 }), fake: RUNNING_FAKE });
  const page = await ctx.open();
  await page.waitForFunction(() => window.channelStatus.length === 2);

  await page.click(row(2));
  await page.click('#btnStart');
  const cause = 'channel 2 target "url" holds a double quote';
  await waitFor('the refusal', async () => (await noticeLines(page)).some((l) => l.indexOf(cause) >= 0));
  const line = (await noticeLines(page)).find((l) => l.indexOf(cause) >= 0);
  assert.match(line, /^Channel start error! Channel 2: .*channel 2 target "url" holds a double quote\.$/);
  assert.ok(d.channelLog(2).indexOf(cause) >= 0, d.channelLog(2));
  await ctx.snap('start refused');

  const notKept = ': the change is in use but will not survive a restart: the configuration could not be saved:' +
    ' Read-only file system.';
  await page.click(row(1));
  await withReadOnlyConfig(async () => {
    await page.click('#btnStart');
    await waitLine(page, 'Channel start not saved! Channel 1' + notKept);
    await waitFor('channel 1 running', async () => (await d.status()).channels[0].state === 'running');
    await ctx.snap('start not saved');
    await page.click('#btnStop');
    await waitLine(page, 'Channel stop not saved! Channel 1' + notKept);
    await waitFor('channel 1 idle', async () => (await d.status()).channels[0].state === 'idle');
  });
  // saved again: the line goes (the page starts only a channel it has seen idle)
  await page.waitForFunction(() => window.channelStatus[0].state === 'idle');
  await page.click('#btnStart');
  await waitLine(page, 'Channel stop not saved! Channel 1' + notKept, true);
  assert.strictEqual((await d.config()).channels[0].enable, true);
  assert.deepStrictEqual(ctx.errors, []);
});

test('a failed stop, preview or search is told with its reason; a search in its picker too', async (ctx) => {
  await ctx.daemon({ config: config([channel('/tmp/a.mp4')]) });
  const page = await ctx.page();
  const LOGIN_PAGE = '<html><body><form action="login" method="post"><input type="password" name="auth"></form></body></html>';
  const answers = {
    // request, how it fails
    '/channel1?stop': (route) => route.abort('connectionrefused'),
    '/channel1?preview': (route) => route.fulfill({ status: 400, body: 'channel busy' }),
    '/decklink_config?output=0': (route) => route.fulfill({ status: 500, contentType: 'text/plain', body: 'card library failed\n' }),
    '/ndi_config?timeout=1': (route) => route.fulfill({ status: 200, contentType: 'text/html', body: LOGIN_PAGE })
  };
  await page.route((u) => u.origin === h.BASE && answers[u.pathname + u.search.replace(/&_=\d+$/, '')] !== undefined,
    (route) => { const u = new URL(route.request().url()); return answers[u.pathname + u.search.replace(/&_=\d+$/, '')](route); });
  await ctx.open();
  await page.waitForFunction(() => window.channelStatus.length === 1);
  await page.click('#btnStop');
  await waitLine(page, 'Channel stop error! Channel 1: ' + UNREACHABLE);
  await page.click('#btnPreview');
  await waitLine(page, 'Channel preview error! Channel 1: channel busy.');
  assert.strictEqual(await page.isVisible('#player'), false);

  await h.edit(page, 1);
  await page.selectOption('#sFormat', 'decklink');
  await page.waitForSelector('#dlDevices tr.failed');
  assert.strictEqual(await page.textContent('#dlDevices tr.failed'), 'Search failed: card library failed.');
  await waitLine(page, 'DeckLink search error! The search failed: card library failed.');
  assert.strictEqual(await page.isDisabled('#dlgDecklink .ok'), true);
  await ctx.snap('decklink search failed');
  await page.click('#dlgDecklink .cancel');
  await page.selectOption('#sFormat', 'ndi');
  await page.waitForSelector('#ndiSources tr.failed');
  assert.strictEqual(await page.textContent('#ndiSources tr.failed'), 'Search failed: ' + LOGIN_ENDED);
  await waitLine(page, 'NDI search error! The search failed: ' + LOGIN_ENDED);
  assert.strictEqual(await page.evaluate(() => document.body.classList.contains('waiting')), false);
  assert.strictEqual(await page.isVisible('#notice .login'), true);
  await ctx.snap('ndi search failed');
  // the poll was answered throughout: its line never came
  assert.strictEqual((await noticeLines(page)).filter((l) => /states shown/.test(l)).length, 0);
});

test('a "/status" without answer: one out at a time, told after its time-out, mended by the next answer', async (ctx) => {
  await ctx.daemon({ config: config([channel('/tmp/a.mp4')]) });
  const page = await ctx.page();
  let hold = false;
  const held = [];
  await page.route((u) => u.origin === h.BASE && u.pathname === '/status', (route) => {
    if (hold) held.push(route); else route.continue();
  });
  await ctx.open();
  await page.waitForFunction(() => window.channelStatus.length === 1);
  hold = true;
  await waitFor('a held poll', () => held.length === 1);
  await h.sleep(5000);
  assert.strictEqual(held.length, 1, 'no second "/status" while one is out');
  assert.strictEqual(await page.isVisible('#notice'), false);
  await waitLine(page, STATUS_UNREACHABLE);
  await ctx.snap('no status answer');
  hold = false;
  for (const r of held) await r.continue().catch(() => {});
  await waitLine(page, STATUS_UNREACHABLE, true);
  assert.strictEqual(await page.isVisible('#notice'), false);
});

h.run();
