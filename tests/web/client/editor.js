// Browser tests of the channel editor: new channels, showing and applying
// sources and targets, validation, binding, removal, target tabs, format and
// codec changes, checked in the document the service stores; and a user's
// whole path from a new channel to HLS files on disk, on the stand-in
// transcoder and stock ffmpeg.
'use strict';

const fs = require('fs');
const path = require('path');
const os = require('os');
const { spawnSync } = require('child_process');
const h = require('./lib/harness');
const { test, assert, waitFor, channel, config } = h;

const PROGRESS = 'frame=  50 fps=25 q=28.0 size=  256kB time=00:01:02.00 bitrate=1500kbits/s\\r';
const RUNNING_FAKE = { FAKE_OUTPUT: PROGRESS, FAKE_REPEAT: '100000', FAKE_INTERVAL: '0.5' };

const row = (n) => '#chTable tbody tr:nth-child(' + n + ')';

test('a new channel applied without changes', async (ctx) => {
  const d = await ctx.daemon({ config: config([channel('/tmp/a.mp4')]) });
  const page = await ctx.open();
  await page.click('#btnNew');
  await page.waitForSelector(row(2) + ' #sUrl');
  assert.strictEqual(await page.textContent(row(2) + ' td:nth-child(1)'), '2');
  await page.fill('#sUrl', '/media/clip.mp4');
  // the key-frame interval is counted in frames, as the service and the transcoder take it
  assert.strictEqual(await page.inputValue('#vKeyInt'), '50');
  assert.match(await page.$eval('#vKeyInt', (e) => e.parentElement.textContent), /Key Frame Interval\s+frames\s*$/);
  await h.apply(page);
  const ch = (await d.config()).channels[1];
  assert.strictEqual(ch.enable, false);
  assert.deepStrictEqual(ch.input.sources, [{ format: 'file', url: '/media/clip.mp4', video: { options: [] } }]);
  assert.strictEqual(ch.output.targets.length, 1);
  const t = ch.output.targets[0];
  assert.strictEqual(t.format, 'udp');
  assert.strictEqual(t.url, 'udp://127.0.0.1:1234');
  assert.deepStrictEqual(t.video.options, ['-pix_fmt:v yuv420p', '-preset:v faster']);
  assert.deepStrictEqual([t.video.IP, t.video.port, t.video.globalHeader, t.video.keyFrameInterval], ['127.0.0.1', 1234, 'inBand', 50]);
  assert.deepStrictEqual(t.audio, { enable: true, codec: 'aac', sampleRate: 0, channels: 2, bitRate: 0 });
  assert.deepStrictEqual(t.rtmp, { flashVer: '', swfUrl: '', user: '', passwd: '' });
  assert.strictEqual(ch.memo, '');
  assert.strictEqual(ch.bind, undefined);
  assert.strictEqual(await page.textContent(row(2) + ' td:nth-child(2)'), ' /media/clip.mp4');
});

test('sources are shown by scheme and stored back unchanged', async (ctx) => {
  const urls = [
    // stored url, shown format, shown address
    ['udp://0.0.0.0:1234', 'udp', '0.0.0.0:1234'],
    ['https://cdn.example/live.m3u8', 'http', 'cdn.example/live.m3u8'],
    ['sftp://host/media/a.mp4', 'ftp', 'host/media/a.mp4'],
    ['RTSP://cam.local/stream', 'rtsp', 'cam.local/stream']
  ];
  const yt = channel('https://www.example.com/watch?v=1');
  yt.input.sources[0].format = 'ytdlp';
  const d = await ctx.daemon({ config: config(urls.map((u) => {
    const c = channel(u[0]); c.input.sources[0].format = u[1]; return c;
  }).concat([yt])) });
  const page = await ctx.open();
  for (let i = 0; i < urls.length; i++) {
    await h.edit(page, i + 1);
    assert.deepStrictEqual([await page.inputValue('#sFormat'), await page.inputValue('#sUrl')], [urls[i][1], urls[i][2]], urls[i][0]);
    await h.apply(page);
  }
  await h.edit(page, 5);
  assert.deepStrictEqual([await page.inputValue('#sFormat'), await page.inputValue('#sUrl')], ['ytdlp', 'https://www.example.com/watch?v=1']);
  await h.apply(page);
  const stored = (await d.config()).channels.map((c) => c.input.sources[0].url);
  // the scheme as written is kept; only its letter case follows the list
  assert.deepStrictEqual(stored, ['udp://0.0.0.0:1234', 'https://cdn.example/live.m3u8', 'sftp://host/media/a.mp4',
    'rtsp://cam.local/stream', 'https://www.example.com/watch?v=1']);
});

test('values that the lists do not offer are stored back unchanged', async (ctx) => {
  const ch = channel('rtmps://live.example/app/key', { format: 'device', url: '/dev/video9' });
  ch.input.sources[0].format = 'rtmps';
  Object.assign(ch.output.targets[0].video, { codec: 'h263' });
  Object.assign(ch.output.targets[0].audio, { codec: 'opus', channels: 7 });
  const d = await ctx.daemon({ config: config([ch, channel('/tmp/b.mp4')]) });
  const page = await ctx.open();
  const before = (await d.config()).channels[0];
  await h.edit(page, 1);
  assert.deepStrictEqual([await page.inputValue('#sFormat'), await page.inputValue('#sUrl')], ['rtmps', 'rtmps://live.example/app/key']);
  await h.apply(page);
  const after = (await d.config()).channels[0];
  assert.deepStrictEqual([after.input.sources[0], after.output.targets[0].format, after.output.targets[0].video.codec,
    after.output.targets[0].audio], [before.input.sources[0], 'device', 'h263', before.output.targets[0].audio]);
  // the next channel shows its own values only
  await h.edit(page, 2);
  assert.strictEqual(await page.$$eval('#vCodec option.extra, #aCodec option.extra, #tFormat option.extra', (o) => o.length), 0);
});

test('Apply refuses what cannot be stored, with the focus on the field', async (ctx) => {
  const d = await ctx.daemon({ config: config([channel('/tmp/a.mp4'), channel('/tmp/b.mp4')]) });
  const page = await ctx.open();
  const cases = [
    // field, value, alert, focused field
    ['#sUrl', '', 'Setting Error: Source URL empty!', 'sUrl'],
    ['#sBind', '2', 'Error: Bind channel invalid!', 'sBind'],
    ['#sBind', '17', 'Error: Bind channel invalid!', 'sBind'],
    ['#sBind', '5', 'Error: Bind channel invalid!', 'sBind'],     // not configured
    ['#tUrl', '', 'Setting Error: Target URL empty!', 'tUrl']
  ];
  await page.click(row(2));
  for (const [field, value, alert, focus] of cases) {
    await h.edit(page, 2);
    await page.fill(field, value);
    ctx.dialogs.length = 0;
    await page.click('#btnApply');
    await waitFor('the alert', () => ctx.dialogs.length === 1);
    assert.strictEqual(ctx.dialogs[0].message, alert, field + '=' + value);
    assert.strictEqual(await page.evaluate(() => document.activeElement.id), focus);
    assert.strictEqual(await page.evaluate(() => window.editing), true);
    await page.click('#btnCancel');
  }
  assert.strictEqual(ctx.sent('/config', 'POST').length, 0);
  assert.strictEqual((await d.config()).channels[1].input.sources[0].url, '/tmp/b.mp4');
});

test('binding channel 3 to channel 1 and back', async (ctx) => {
  const d = await ctx.daemon({ config: config([channel('/tmp/a.mp4'), channel('/tmp/b.mp4'), channel('/tmp/c.mp4')]) });
  const page = await ctx.open();
  await h.edit(page, 3);
  await page.fill('#sBind', '1');
  await h.apply(page);
  let chs = (await d.config()).channels;
  assert.strictEqual(chs[2].bind, 1);
  assert.deepStrictEqual(chs[0].input.sources.slice(1), [{ bind: 3 }]);
  assert.strictEqual(await page.textContent(row(3) + ' td:nth-child(3)'), '1');
  // moved to channel 2: channel 1 loses the source, channel 2 gains it
  await h.edit(page, 3);
  await page.fill('#sBind', '2');
  await h.apply(page);
  chs = (await d.config()).channels;
  assert.deepStrictEqual([chs[0].input.sources.length, chs[1].input.sources.slice(1), chs[2].bind], [1, [{ bind: 3 }], 2]);
  await h.edit(page, 3);
  await page.fill('#sBind', '');
  await h.apply(page);
  chs = (await d.config()).channels;
  assert.strictEqual('bind' in chs[2], false);
  assert.deepStrictEqual(chs.map((c) => c.input.sources.length), [1, 1, 1]);
});

test('Cancel and Escape drop the edit; a new channel being created leaves its row empty', async (ctx) => {
  const d = await ctx.daemon({ config: config([channel('/tmp/a.mp4'), channel('/tmp/b.mp4')]) });
  const page = await ctx.open();
  const before = await d.configText();
  await h.edit(page, 1);
  await page.fill('#sUrl', '/tmp/changed.mp4');
  await page.selectOption('#tFormat', 'hls');
  await page.click('#btnCancel');
  assert.strictEqual(await page.textContent(row(1) + ' td:nth-child(2)'), ' /tmp/a.mp4');
  assert.strictEqual(await page.inputValue('#tFormat'), 'udp');
  await h.edit(page, 1);
  await page.fill('#sMemo', 'changed');
  await page.keyboard.press('Escape');
  assert.strictEqual(await page.evaluate(() => window.editing), false);
  await page.click('#btnNew');
  await page.waitForSelector(row(3) + ' #sUrl');
  await page.click('#btnCancel');
  assert.strictEqual(await page.textContent(row(3) + ' td:nth-child(1)'), '');
  assert.ok(await page.$eval(row(2), (r) => r.classList.contains('selected')), 'the last channel is selected');
  assert.strictEqual(ctx.sent('/config', 'POST').length, 0);
  assert.strictEqual(await d.configText(), before);
});

test('New Channel with every channel configured says so and changes nothing', async (ctx) => {
  const all = Array.from({ length: 16 }, (_, i) => channel('/tmp/' + i + '.mp4'));
  await ctx.daemon({ config: config(all) });
  const page = await ctx.open();
  await page.click('#btnNew');
  await waitFor('the alert', () => ctx.dialogs.length === 1);
  assert.match(ctx.dialogs[0].message, /Every channel is configured already/);
  assert.strictEqual(await page.evaluate(() => window.editing), false);
});

test('Remove Channel: refused while it or a later channel runs; renumbers the rows and binds', async (ctx) => {
  const chs = [channel('/tmp/a.mp4'), channel('/tmp/b.mp4'), channel('/tmp/c.mp4'), channel('/tmp/d.mp4')];
  chs[3].bind = 3;
  chs[2].input.sources.push({ bind: 4 });
  const d = await ctx.daemon({ config: config(chs), fake: RUNNING_FAKE });
  const page = await ctx.open();
  await page.waitForFunction(() => window.channelStatus.length === 4);
  await page.click(row(4));
  await page.click('#btnStart');
  await page.waitForFunction(() => window.channelStatus[3].state === 'running', null, { timeout: 20000 });
  await page.click(row(2));
  await page.click('#btnRemove');
  await waitFor('the alert', () => ctx.dialogs.length === 1);
  assert.strictEqual(ctx.dialogs[0].message, 'Please stop all channels before removing this channel.');
  await page.click(row(4));
  await page.click('#btnStop');
  await page.waitForFunction(() => window.channelStatus[3].state === 'idle', null, { timeout: 20000 });

  await page.click(row(2));
  ctx.dialogAnswers.push(false);
  await page.click('#btnRemove');
  await waitFor('the question', () => ctx.dialogs.length === 2);
  assert.strictEqual(ctx.dialogs[1].message, 'Warning: Remove this channel?');
  assert.strictEqual((await d.config()).channels.length, 4);

  const answered = page.waitForResponse((r) => new URL(r.url()).pathname === '/config' && r.request().method() === 'POST');
  await page.click('#btnRemove');
  await answered;
  const stored = (await d.config()).channels;
  assert.deepStrictEqual(stored.map((c) => c.input.sources[0].url), ['/tmp/a.mp4', '/tmp/c.mp4', '/tmp/d.mp4']);
  // channel 4 bound to 3 is now channel 3 bound to 2, and its host's source follows
  assert.strictEqual(stored[2].bind, 2);
  assert.deepStrictEqual(stored[1].input.sources.slice(1), [{ bind: 3 }]);
  await page.waitForFunction(() => document.querySelector('#chTable tbody tr:nth-child(4) td:nth-child(2)').textContent === '');
  assert.strictEqual(await page.textContent(row(2) + ' td:nth-child(2)'), ' /tmp/c.mp4');
  assert.ok(await page.$eval(row(2), (r) => r.classList.contains('selected')));
});

test('target tabs: + copies the last target, - removes one, duplicate URLs are asked about', async (ctx) => {
  const rtmp = channel('/tmp/a.mp4', { format: 'rtmp', url: 'rtmp://127.0.0.1/live/high' });
  const d = await ctx.daemon({ config: config([rtmp]) });
  const page = await ctx.open();
  await h.edit(page, 1);
  await page.fill('#vBitrate', '4000');
  await page.click('#tabAdd');
  assert.strictEqual(await page.inputValue('#vBitrate'), '4000', 'copy of the stored last target');
  await page.fill('#tUrl', 'rtmp://127.0.0.1/live/mid');
  await page.fill('#vBitrate', '1200');
  await page.click('#tabAdd');
  await page.fill('#tUrl', 'rtmp://127.0.0.1/live/mid');
  ctx.dialogAnswers.push(false);
  await page.click('#btnApply');
  await waitFor('the question', () => ctx.dialogs.length === 1);
  assert.strictEqual(ctx.dialogs[0].message, 'Duplicated target URLs found in multi-bitrate output!\nSure to continue?');
  assert.strictEqual(await page.evaluate(() => window.editing), true);
  await page.fill('#tUrl', 'rtmp://127.0.0.1/live/low');
  await page.fill('#vBitrate', '500');
  await h.apply(page);
  let t = (await d.config()).channels[0].output.targets;
  assert.deepStrictEqual(t.map((x) => [x.url, x.video.bitRate]),
    [['rtmp://127.0.0.1/live/high', 4000], ['rtmp://127.0.0.1/live/mid', 1200], ['rtmp://127.0.0.1/live/low', 500]]);
  assert.deepStrictEqual(await page.$$eval('#tabList .tab', (x) => x.map((e) => e.textContent)), ['high', 'mid', 'low']);
  await ctx.snap('three targets');

  // the middle one removed
  await h.edit(page, 1);
  await page.click('#tabList .tab:nth-child(2)');
  await page.click('#tabDel');
  await h.apply(page);
  t = (await d.config()).channels[0].output.targets;
  assert.deepStrictEqual(t.map((x) => x.url), ['rtmp://127.0.0.1/live/high', 'rtmp://127.0.0.1/live/low']);

  // a change of format to hls keeps one target and one tab
  await h.edit(page, 1);
  await page.click('#tabAdd');
  await page.fill('#tUrl', 'rtmp://127.0.0.1/live/third');
  await page.selectOption('#tFormat', 'hls');
  assert.strictEqual(await page.$$eval('#tabList .tab', (x) => x.length), 1);
  await h.apply(page);
  t = (await d.config()).channels[0].output.targets;
  assert.deepStrictEqual(t.map((x) => [x.format, x.url]), [['hls', '/media/tovu_ch1.m3u8']]);
  assert.strictEqual(await page.$$eval('#tabList .tab', (x) => x.length), 1);
  assert.strictEqual(await page.isVisible('#targetTabs'), true);
});

test('target format changes fill their default URLs', async (ctx) => {
  await ctx.daemon({ config: config([channel('/tmp/a.mp4')]) });
  const page = await ctx.open();
  await h.edit(page, 1);
  const defaults = {
    rtmp: 'rtmp://127.0.0.1/live/tovu_ch1', udp: 'udp://127.0.0.1:1234', omxts: 'udp://127.0.0.1:1234',
    http: 'http://127.0.0.1:9527/tovu_ch1', html5: 'http://127.0.0.1:9527/tovu_ch1', hls: '/media/tovu_ch1.m3u8',
    dash: '/media/tovu_ch1.mpd', file: '/media/tovu_ch1_recorded.mp4', srt: 'srt://0.0.0.0:1234',
    rtpts: 'rtp://127.0.0.1:1234', rtsp: 'rtsp://127.0.0.1:8554/tovu_ch1', ftp: 'ftp://192.168.1.2/media/stream.mp4',
    ndi: 'tovu_ch1', httpmjpg: 'http://127.0.0.1:9527/tovu_ch1'
  };
  const got = {};
  for (const f of Object.keys(defaults)) {
    await page.fill('#muxBitrate', '300');
    await page.uncheck('#aEnable');
    await page.selectOption('#tFormat', f);
    got[f] = await page.inputValue('#tUrl');
    assert.strictEqual(await page.inputValue('#muxBitrate'), '0', f);
    assert.strictEqual(await page.isVisible('#targetTabs'), ['rtmp', 'udp', 'omxts', 'rtpts', 'hls', 'dash'].includes(f), f);
  }
  assert.deepStrictEqual(got, defaults);
  // the MJPEG output: codec mjpeg, audio off
  assert.deepStrictEqual([await page.inputValue('#vCodec'), await page.isChecked('#aEnable')], ['mjpeg', false]);
  await page.selectOption('#tFormat', 'udp');
  assert.deepStrictEqual([await page.inputValue('#vCodec'), await page.isChecked('#aEnable'), await page.inputValue('#aCodec')],
    ['h264', true, 'aac']);
});

test('source format changes: default addresses, options emptied', async (ctx) => {
  const ch = channel('udp://0.0.0.0:5000');
  ch.input.sources[0].format = 'udp';
  ch.input.formatOptions = ['-fifo_size 1000000'];
  ch.input.sources[0].video.options = ['-c:v h264_cuvid'];
  const d = await ctx.daemon({ config: config([ch]) });
  const page = await ctx.open();
  await h.edit(page, 1);
  const cases = [['rtp', '0.0.0.0:1234'], ['srt', '127.0.0.1:1234'], ['http', ''], ['udp', '0.0.0.0:1234']];
  for (const [f, addr] of cases) {
    await page.selectOption('#sFormat', f);
    assert.strictEqual(await page.inputValue('#sUrl'), addr, f);
  }
  await h.apply(page);
  const stored = (await d.config()).channels[0];
  assert.strictEqual(stored.input.sources[0].url, 'udp://0.0.0.0:1234');
  assert.deepStrictEqual([stored.input.formatOptions, stored.input.sources[0].video.options], [[], []]);
});

test('codec rules: MainConcept needs its core file, copy clears the video fields, CBR needs a bit rate', async (ctx) => {
  const d = await ctx.daemon({ config: config([channel('/tmp/a.mp4')]) });
  const page = await ctx.open();
  await h.edit(page, 1);
  await page.selectOption('#vCodec', 'omx264');
  await waitFor('the alert', () => ctx.dialogs.length === 1);
  assert.strictEqual(ctx.dialogs[0].message, 'Please make sure to install MainConcept FFmpeg Plugin and\nconfigure plugin core file path in Global Settings to use MainConcept encoder.');
  assert.strictEqual(await page.inputValue('#vCodec'), 'h264');

  await page.click('#muxCbr');
  await waitFor('the alert', () => ctx.dialogs.length === 2);
  assert.strictEqual(ctx.dialogs[1].message, 'Cannot enable CBR with ZERO video bitrate!');
  assert.strictEqual(await page.isChecked('#muxCbr'), false);
  await page.fill('#vBitrate', '2000');
  await page.fill('#muxBitrate', '2500');
  await page.check('#muxCbr');
  assert.strictEqual(await page.isChecked('#muxCbr'), true);

  await page.selectOption('#vSize', 'hd');
  await page.fill('#vRate', '25');
  await page.fill('#vKeyInt', '2');
  await page.selectOption('#vCodec', 'copy');
  assert.strictEqual(await page.isDisabled('#vBitrate'), true);
  assert.strictEqual(await page.isDisabled('#vCodec'), false);
  await page.uncheck('#aEnable');
  assert.strictEqual(await page.isDisabled('#aCodec'), true);
  await h.apply(page);
  const t = (await d.config()).channels[0].output.targets[0];
  assert.deepStrictEqual([t.video.codec, t.video.width, t.video.height, t.video.frameRate, t.video.quality, t.video.bitRate,
    t.video.keyFrameInterval, t.video.options], ['copy', 0, 0, 0, 0, 0, 5, []]);
  assert.deepStrictEqual(t.mux, { bitRate: 2500, cbr: true });
  assert.strictEqual(t.audio.enable, false);
});

/* -------------------------------------------------- a user's whole path */

function ffprobe(file) {
  const r = spawnSync('ffprobe', ['-v', 'error', '-show_entries', 'stream=codec_type,codec_name', '-of', 'json', file]);
  return r.status === 0 ? JSON.parse(r.stdout).streams : null;
}

test('first channel: a video file to HLS, started, watched, previewed, stopped', async (ctx) => {
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'tovul-path-'));
  const video = h.makeVideo(path.join(work, 'clip.mp4'), 20);
  const hls = path.join(work, 'hls');
  fs.mkdirSync(hls);
  const d = await ctx.daemon({ transcoder: 'standin', config: config([], { autoRestart: 1 }) });
  const page = await ctx.open();
  await ctx.snap('empty');

  // 1. a channel from the file to an HLS target
  await page.click('#btnNew');
  await page.waitForSelector(row(1) + ' #sUrl');
  await page.fill('#sUrl', video);
  await page.fill('#sMemo', 'first channel');
  await page.selectOption('#tFormat', 'hls');
  await page.fill('#tUrl', path.join(hls, 'live.m3u8'));
  await ctx.snap('1 new channel');
  // 2. apply, then start
  await h.apply(page);
  assert.strictEqual((await d.config()).channels[0].output.targets[0].url, path.join(hls, 'live.m3u8'));
  await page.click(row(1));
  await page.click('#btnStart');
  // 3. RUNNING with a growing time in the status cell
  const cell = row(1) + ' td:nth-child(5)';
  const seconds = async () => {
    const m = /(\d+):(\d\d):(\d\d)/.exec(await page.textContent(cell));
    return m ? Number(m[1]) * 3600 + Number(m[2]) * 60 + Number(m[3]) : -1;
  };
  await page.waitForFunction((sel) => /\d+:\d\d:\d\d/.test(document.querySelector(sel).textContent), cell, { timeout: 60000 });
  const t0 = await seconds();
  assert.strictEqual(await page.getAttribute(cell + ' img', 'src'), 'running.png');
  await waitFor('the time to grow', async () => (await seconds()) >= t0 + 2, 60000);
  await ctx.snap('3 running');
  // 5. (before the preview, which needs an idle channel) stop it
  await page.click('#btnStop');
  await page.waitForFunction((sel) => / IDLE$/.test(document.querySelector(sel).textContent), cell, { timeout: 30000 });
  await ctx.snap('5 stopped');
  // 4. preview in the page's player: playing, with a time that advances
  await page.click('#btnPreview');
  await page.waitForSelector('#player', { state: 'visible' });
  await page.waitForFunction(() => { const v = document.querySelector('#player'); return !v.paused && v.currentTime > 0.5; }, null, { timeout: 60000 });
  const c0 = await page.$eval('#player', (v) => v.currentTime);
  await page.waitForFunction((c) => document.querySelector('#player').currentTime > c + 1, c0, { timeout: 30000 });
  assert.strictEqual(await page.isVisible('#playerMsg'), false);
  await ctx.snap('4 preview playing');
  await page.click('#btnPreview');
  await page.waitForSelector('#player', { state: 'hidden' });
  await waitFor('the preview to end', async () => (await d.status()).channels[0].state === 'idle', 30000);
  // 6. the playlist and its segments on disk, readable by ffprobe
  const files = fs.readdirSync(hls);
  const segments = files.filter((f) => f.endsWith('.ts'));
  assert.ok(files.includes('live.m3u8') && segments.length > 0, files.join(' '));
  assert.match(fs.readFileSync(path.join(hls, 'live.m3u8'), 'utf8'), /#EXTM3U/);
  const streams = ffprobe(path.join(hls, 'live.m3u8'));
  assert.ok(streams && streams.some((s) => s.codec_type === 'video' && s.codec_name === 'h264'), JSON.stringify(streams));
  assert.ok(ffprobe(path.join(hls, segments[0])), 'a segment is readable');
});

h.run();
