// Browser tests of the option dialogs ("Advanced Video Settings" and
// "Advanced Format Settings"): one table of cases, each set through the
// dialogs, applied, and checked in the document the service stores; each is
// then applied a second time without changes, which must store the same
// document (the dialogs read back what they wrote). Last, channels with
// these options run on the stand-in transcoder and stock ffmpeg: one of them
// with an overlay text, a program name and a provider that need quoting,
// read back from its output.
'use strict';

const fs = require('fs');
const path = require('path');
const os = require('os');
const dgram = require('dgram');
const { spawnSync } = require('child_process');
const h = require('./lib/harness');
const { test, assert, waitFor, channel, config } = h;

/* ------------------------------------------------------------ page steps */

async function videoTab(page, tab) {
  if (!(await page.isVisible('#dlgVideo'))) await page.click('#btnVideoAdv');
  await page.click('#dlgVideo .tabBar a:text-is("' + tab + '")');
}

async function formatTab(page, tab) {
  if (!(await page.isVisible('#dlgFormat'))) await page.click('#btnFormatAdv');
  await page.click('#dlgFormat .tabBar a:text-is("' + tab + '")');
}

async function slider(page, n) {
  await page.$eval('#cPreset', (e, v) => { e.value = v; e.dispatchEvent(new Event('input')); }, n);
  assert.strictEqual(await page.inputValue('#cPreset'), String(n), 'slider position in range');
}

async function okVideo(page) { await page.click('#dlgVideo .ok'); }
async function okFormat(page) { await page.click('#dlgFormat .ok'); }

// a cell of an in-place table: click opens the row, then type
async function cell(page, table, row, col, text) {
  await page.click('#' + table + ' tbody tr:nth-child(' + row + ') td:nth-child(' + col + ')');
  await page.fill('#' + table + ' tbody tr:nth-child(' + row + ') td:nth-child(' + col + ') input', text);
}

const target = (ch) => ch.output.targets[0];
let site = '';   // the "/runtime" web site, the provider's default

/* ------------------------------------------------------------- the cases */

const hlsTarget = { format: 'hls', url: '/media/tovu_ch1.m3u8' };

const CASES = [
  {
    name: 'vp9 at 5 writes -cpu-used 3',
    steps: async (p) => { await p.selectOption('#vCodec', 'vp9'); await videoTab(p, 'H.264/HEVC/VPX/AV1 Encodings'); await slider(p, 5); await okVideo(p); },
    check: (ch) => assert.deepStrictEqual(target(ch).video.options, ['-cpu-used 3'])
  },
  {
    name: 'av1 at 0 writes -preset:v 13',
    steps: async (p) => { await p.selectOption('#vCodec', 'av1'); await videoTab(p, 'H.264/HEVC/VPX/AV1 Encodings'); await slider(p, 0); await okVideo(p); },
    check: (ch) => assert.deepStrictEqual(target(ch).video.options, ['-preset:v 13'])
  },
  {
    name: 'omx264 at 9 writes the perf_level option',
    global: { omxPath: '/opt/omx/core.so' },
    steps: async (p) => { await p.selectOption('#vCodec', 'omx264'); await videoTab(p, 'H.264/HEVC/VPX/AV1 Encodings'); await slider(p, 9); await okVideo(p); },
    check: (ch) => assert.deepStrictEqual(target(ch).video.options, ["-omx_param 'perf_level=9'"])
  },
  {
    name: 'nv264 at 3 writes -preset:v default, a GPU number -gpu:v',
    steps: async (p) => {
      await p.selectOption('#vCodec', 'nv264'); await videoTab(p, 'H.264/HEVC/VPX/AV1 Encodings'); await slider(p, 3);
      await videoTab(p, 'Misc.'); await p.fill('#mGpu', '1'); await okVideo(p);
    },
    check: (ch) => assert.deepStrictEqual(target(ch).video.options, ['-preset:v default', '-gpu:v 1'])
  },
  {
    name: 'h264 high10 writes its profile and pixel format; level and threads',
    steps: async (p) => {
      await videoTab(p, 'H.264/HEVC/VPX/AV1 Encodings');
      await p.selectOption('#cProfileBox select', 'high10');
      await p.selectOption('#cLevelBox select', '4.1');
      await p.selectOption('#cThreadsBox select', '4');
      await okVideo(p);
    },
    check: (ch) => assert.deepStrictEqual(target(ch).video.options,
      ['-profile:v high10', '-pix_fmt:v yuv420p10', '-level:v 4.1', '-threads:v 4', '-preset:v faster'])
  },
  {
    name: 'h265 with the default profile writes only the pixel format before the preset',
    steps: async (p) => { await p.selectOption('#vCodec', 'h265'); },
    check: (ch) => assert.deepStrictEqual(target(ch).video.options, ['-pix_fmt:v yuv420p', '-preset:v faster'])
  },
  {
    name: 'aspect override writes the output size',
    steps: async (p) => {
      await p.selectOption('#vSize', 'hd');
      await videoTab(p, 'Misc.'); await p.check('#mAspect'); await okVideo(p);
    },
    check: (ch) => assert.deepStrictEqual(target(ch).video.options, ['-pix_fmt:v yuv420p', '-preset:v faster', '-aspect:v 1280:720'])
  },
  {
    name: 'timestamp text overlay at the right bottom',
    steps: async (p) => {
      await videoTab(p, 'Overlay');
      await p.check('#oEnable');
      assert.strictEqual(await p.inputValue('#oText'), '%timestamp');
      await p.selectOption('#oHSide', 'right'); await p.fill('#oHPad', '10');
      await p.selectOption('#oVSide', 'bottom'); await p.fill('#oVPad', '20');
      await okVideo(p);
    },
    check: (ch) => assert.deepStrictEqual(ch.input.filters, ['drawtext=fontsize=16:fontcolor=#00ffff:x=w-tw-10:y=h-th-20'])
  },
  {
    name: 'text and video overlays with their own text, size and colour',
    steps: async (p) => {
      await videoTab(p, 'Overlay');
      await p.check('#oEnable');
      await p.fill('#oText', 'Studio 1'); await p.fill('#oSize', '24');
      await p.$eval('#oColor', (e) => { e.value = '#ff8000'; });
      await p.fill('#oHPad', '5'); await p.fill('#oVPad', '6');
      await okVideo(p);
    },
    check: (ch) => assert.deepStrictEqual(ch.input.filters, ["drawtext=text='Studio 1':fontsize=24:fontcolor=#ff8000:x=5:y=6"])
  },
  {
    name: 'video overlay',
    steps: async (p) => {
      await videoTab(p, 'Overlay');
      await p.check('#oEnable'); await p.fill('#oVideo', '/media/logo.png');
      await p.selectOption('#oHSide', 'right'); await p.fill('#oHPad', '8');
      await okVideo(p);
    },
    check: (ch) => assert.deepStrictEqual(ch.input.filters, ["movie='/media/logo.png', setpts=N/TB/FR[logo]; [0][logo]overlay=W-w-8:0"])
  },
  {
    name: 'video overlay whose file name holds an apostrophe, a comma and a colon',
    steps: async (p) => {
      await videoTab(p, 'Overlay');
      await p.check('#oEnable'); await p.fill('#oVideo', "/media/Bob's logo, v2:1.png");
      await okVideo(p);
    },
    check: (ch) => assert.deepStrictEqual(ch.input.filters,
      ["movie='/media/Bob'\\''s logo, v2:1.png', setpts=N/TB/FR[logo]; [0][logo]overlay=0:0"])
  },
  {
    name: 'deinterlacing without GPU decoding puts yadif first',
    steps: async (p) => { await videoTab(p, 'Misc.'); await p.selectOption('#mScan', '1'); await okVideo(p); },
    check: (ch) => {
      assert.deepStrictEqual(ch.input.filters, ['yadif']);
      assert.deepStrictEqual(ch.input.sources[0].video.options, []);
      assert.strictEqual(target(ch).video.scanType, 1);
    }
  },
  {
    name: 'deinterlacing on h264_cuvid for a software encoder',
    steps: async (p) => {
      await p.selectOption('#vSize', 'hd');
      await videoTab(p, 'Misc.'); await p.selectOption('#mScan', '1'); await p.selectOption('#mDecoder', 'h264_cuvid');
      await p.fill('#mGpu', '2'); await okVideo(p);
    },
    check: (ch) => {
      assert.deepStrictEqual(ch.input.sources[0].video.options, ['-hwaccel cuda -hwaccel_output_format cuda',
        '-deint adaptive', '-surfaces 9', '-resize 1280x720', '-hwaccel_device 2', '-gpu 2', '-c:v h264_cuvid']);
      assert.deepStrictEqual(ch.input.filters, ['hwdownload', 'format=nv12']);
    }
  },
  {
    name: 'h264_qsv decoding to a Quick Sync encoder scales in vpp_qsv',
    steps: async (p) => {
      await p.selectOption('#vCodec', 'qsv264'); await p.selectOption('#vSize', 'sd');
      await videoTab(p, 'Misc.'); await p.selectOption('#mScan', '1'); await p.selectOption('#mDecoder', 'h264_qsv'); await okVideo(p);
    },
    check: (ch) => {
      assert.deepStrictEqual(ch.input.sources[0].video.options, ['-hwaccel qsv -hwaccel_output_format qsv', '-c:v h264_qsv']);
      assert.deepStrictEqual(ch.input.filters, ['vpp_qsv=deinterlace=2:w=720:h=576']);
    }
  },
  {
    name: 'an enabled overlay switches GPU decoding back to Disabled',
    steps: async (p) => {
      await videoTab(p, 'Misc.'); await p.selectOption('#mDecoder', 'h264_cuvid');
      await videoTab(p, 'Overlay'); await p.check('#oEnable'); await okVideo(p);
    },
    check: (ch) => {
      assert.deepStrictEqual(ch.input.sources[0].video.options, []);
      assert.deepStrictEqual(ch.input.filters, ['drawtext=fontsize=16:fontcolor=#00ffff:x=0:y=0']);
    },
    after: async (p, n) => { await h.edit(p, n); assert.strictEqual(await p.inputValue('#mDecoder'), 'none'); await p.click('#btnCancel'); }
  },
  {
    name: 'MPEG-TS output with the default PIDs writes no PID option',
    steps: async (p) => { await formatTab(p, 'MPEG-TS Output'); await okFormat(p); },
    check: (ch) => {
      const o = ch.output.formatOptions;
      assert.ok(!o.some((x) => /-streamid |-mpegts_pmt_start_pid /.test(x)), JSON.stringify(o));
      assert.deepStrictEqual(o, ["-program program_num=1:title='Program01':if=0", "-metadata service_provider='" + site + "'"]);
    }
  },
  {
    name: 'MPEG-TS output: video PID 0x200, PMT PID 20 below range, two programs, no provider',
    steps: async (p) => {
      await formatTab(p, 'MPEG-TS Output');
      await p.fill('#tsVideo', '0x200'); await p.fill('#tsPmt', '20'); await p.fill('#tsProvider', '');
      await p.click('#tsProgAdd');
      await p.fill('#tsProgTable tbody tr:nth-child(2) td:nth-child(2) input', 'News');
      await okFormat(p);
    },
    check: (ch) => assert.deepStrictEqual(ch.output.formatOptions, ["-program program_num=1:title='Program01':if=0",
      "-program program_num=2:title='News':if=1", '-streamid 0:0x200'])
  },
  {
    name: 'MPEG-TS output over RTP with FEC',
    target: { format: 'rtpts', url: 'rtp://127.0.0.1:1234' },
    steps: async (p) => {
      await formatTab(p, 'MPEG-TS Output');
      await p.check('#tsFec'); await p.fill('#tsFecCol', '4'); await p.fill('#tsAudio', '0x300');
      await p.click('#tsProgTable tbody tr:nth-child(1) td:nth-child(1)'); await p.click('#tsProgDel');
      await okFormat(p);
    },
    check: (ch) => assert.deepStrictEqual(ch.output.formatOptions,
      ['-streamid 1:0x300', "-metadata service_provider='" + site + "'", '-fec prompeg=l=4:d=5'])
  },
  {
    name: 'MPEG-TS input streams by PID and by program',
    steps: async (p) => {
      await formatTab(p, 'MPEG-TS Input');
      await p.click('#tsInAdd'); await cell(p, 'tsInTable', 1, 2, '0x100');
      await p.click('#tsInAdd');
      await okFormat(p);
    },
    check: (ch) => assert.deepStrictEqual(ch.input.map, ['#0x100', 'p:2'])
  },
  {
    name: 'HLS with the defaults and one target writes no HLS option',
    target: hlsTarget,
    steps: async (p) => { await formatTab(p, 'HLS Config'); assert.ok(await p.isDisabled('#hlsMaster')); await okFormat(p); },
    check: (ch) => assert.deepStrictEqual(ch.output.formatOptions, [])
  },
  {
    name: 'HLS with two targets writes the master playlist',
    target: hlsTarget,
    steps: async (p) => {
      await p.click('#tabAdd'); await p.fill('#tUrl', '/media/tovu_ch1_low.m3u8');
      await formatTab(p, 'HLS Config'); await okFormat(p);
    },
    check: (ch) => {
      assert.deepStrictEqual(ch.output.formatOptions, ['-master_pl_name master.m3u8']);
      assert.deepStrictEqual(ch.output.targets.map((t) => t.url), ['/media/tovu_ch1.m3u8', '/media/tovu_ch1_low.m3u8']);
    }
  },
  {
    name: 'HLS segment length 6, index start 0, fragmented MP4, base URL',
    target: hlsTarget,
    steps: async (p) => {
      await formatTab(p, 'HLS Config');
      await p.fill('#hlsTime', '6'); await p.fill('#hlsStart', '0'); await p.selectOption('#hlsType', 'fmp4');
      await p.fill('#hlsBase', ' http://cdn.example/live/ ');
      await okFormat(p);
    },
    check: (ch) => assert.deepStrictEqual(ch.output.formatOptions,
      ['-hls_segment_type fmp4', '-hls_time 6', '-hls_base_url http://cdn.example/live/'])
  },
  {
    name: 'SRT source left in Caller writes no SRT option',
    source: { format: 'srt', url: 'srt://10.1.1.1:9000' },
    steps: async (p) => {
      await formatTab(p, 'SRT Config');
      assert.strictEqual(await p.inputValue('#srtMode'), 'caller');
      assert.strictEqual(await p.inputValue('#srtRemote1'), '10.1.1.1');
      await okFormat(p);
    },
    check: (ch) => {
      assert.deepStrictEqual(ch.input.formatOptions, []);
      assert.strictEqual(ch.input.sources[0].url, 'srt://10.1.1.1:9000');
    }
  },
  {
    name: 'SRT source switched to Listener writes -mode listener',
    source: { format: 'srt', url: 'srt://10.1.1.1:9000' },
    steps: async (p) => {
      await formatTab(p, 'SRT Config'); await p.selectOption('#srtMode', 'listener');
      assert.ok(await p.isDisabled('#srtRemote1'));
      await okFormat(p);
    },
    check: (ch) => assert.deepStrictEqual(ch.input.formatOptions, ['-mode listener'])
  },
  {
    name: 'SRT caller with a backup connection in broadcast',
    source: { format: 'srt', url: 'srt://10.1.1.1:9000' },
    steps: async (p) => {
      await formatTab(p, 'SRT Config');
      await p.fill('#srtRemote1', '10.2.2.2'); await p.fill('#srtRemote2', '10.3.3.3');
      await p.selectOption('#srtGroup', 'broadcast'); await p.fill('#srtStable', '500');
      await okFormat(p);
    },
    check: (ch) => {
      assert.deepStrictEqual(ch.input.formatOptions, ['-backup_remote 10.3.3.3', '-grouptype broadcast', '-minstable_timeout 500']);
      assert.strictEqual(ch.input.sources[0].url, 'srt://10.2.2.2:9000');
    }
  },
  {
    name: 'RTMP config is written with an rtmp target',
    target: { format: 'rtmp', url: 'rtmp://127.0.0.1/live/tovu_ch1' },
    steps: async (p) => {
      await formatTab(p, 'RTMP Config');
      await p.fill('#rtmpFlash', 'FMLE/3.0'); await p.fill('#rtmpUser', 'pub'); await p.fill('#rtmpPass', 'p@ss');
      await okFormat(p);
    },
    check: (ch) => assert.deepStrictEqual(target(ch).rtmp, { flashVer: 'FMLE/3.0', swfUrl: '', user: 'pub', passwd: 'p@ss' })
  },
  {
    name: 'custom source and target parameters',
    steps: async (p) => {
      await formatTab(p, 'Custom Param');
      await p.fill('#customSrc', '-re'); await p.fill('#customTgt', '-flush_packets 1');
      await okFormat(p);
    },
    check: (ch) => {
      assert.strictEqual(ch.input.customOptions, '-re');
      assert.strictEqual(ch.output.customOptions, '-flush_packets 1');
    }
  },
  {
    name: 'Cancel of the format dialog writes nothing',
    steps: async (p) => {
      await formatTab(p, 'Custom Param'); await p.fill('#customSrc', '-re'); await p.click('#dlgFormat .cancel');
    },
    check: (ch) => assert.strictEqual(ch.input.customOptions, '')
  }
];

function caseChannel(c) {
  const ch = channel('/tmp/in.mp4', c.target);
  if (c.source) Object.assign(ch.input.sources[0], c.source);
  return ch;
}

const MAX_CHANNELS = 16;

// Cases run in batches: one channel per case, one page load per batch.
test('option dialogs: each case stored as written, and stored again unchanged', async (ctx) => {
  const global = Object.assign({}, ...CASES.map((c) => c.global || {}));
  const d = await ctx.daemon({ config: config([]) });
  const page = await ctx.page();
  site = JSON.parse(await (await fetch(h.BASE + '/runtime')).text()).website;
  const failures = [];
  for (let first = 0; first < CASES.length; first += MAX_CHANNELS) {
    const batch = CASES.slice(first, first + MAX_CHANNELS);
    const r = await fetch(h.BASE + '/config', { method: 'POST', headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(config(batch.map(caseChannel), global)) });
    assert.strictEqual(r.status, 200);
    await ctx.open();
    for (let i = 0; i < batch.length; i++) {
      const c = batch[i], n = i + 1;
      try {
        await h.edit(page, n);
        await c.steps(page);
        await h.apply(page);
        const stored = (await d.config()).channels[i];
        c.check(stored);
        await h.edit(page, n);
        await h.apply(page);
        assert.deepStrictEqual((await d.config()).channels[i], stored, 'applied again without changes');
        if (c.after) await c.after(page, n);
      } catch (e) {
        failures.push(c.name + ': ' + e.message);
        await ctx.snap(c.name);
        if (await page.evaluate(() => window.editing)) await page.click('#btnCancel').catch(() => {});
        await page.keyboard.press('Escape');
      }
    }
  }
  assert.deepStrictEqual(failures, []);
});

test('screenshots of every dialog tab', async (ctx) => {
  await ctx.daemon({ config: config([caseChannel({ target: { format: 'udp', url: 'udp://127.0.0.1:1234' } })]) });
  const page = await ctx.open();
  await h.edit(page, 1);
  for (const t of ['H.264/HEVC/VPX/AV1 Encodings', 'Overlay', 'Misc.']) { await videoTab(page, t); await ctx.snap('video ' + t); }
  await okVideo(page);
  for (const t of ['MPEG-TS Input', 'MPEG-TS Output', 'HLS Config', 'SRT Config', 'RTMP Config', 'Custom Param']) {
    await formatTab(page, t); await ctx.snap('format ' + t);
  }
  await okFormat(page);
});

/* ------------------------------------------------------------ end to end */

async function runningWithGrowingTime(d, i) {
  const times = [];
  await waitFor('channel ' + (i + 1) + ' running with a growing time', async () => {
    const s = (await d.status()).channels[i];
    if (s.state !== 'running') return false;
    const m = /(\d+):(\d\d):(\d\d)/.exec(s.status);
    if (!m) return false;
    times.push(Number(m[1]) * 3600 + Number(m[2]) * 60 + Number(m[3]));
    return times.length > 1 && times[times.length - 1] >= times[0] + 2;
  }, 60000);
}

test('a channel with these options runs on the stand-in transcoder', async (ctx) => {
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'tovul-e2e-'));
  const video = h.makeVideo(path.join(work, 'in.mp4'), 10);
  const hls = path.join(work, 'hls');
  fs.mkdirSync(hls);
  const d = await ctx.daemon({ transcoder: 'standin',
    config: config([channel(video), channel(video, { format: 'hls', url: path.join(hls, 'high.m3u8') })], { autoRestart: 1, log: 32 }) });
  const page = await ctx.open();

  // channel 1: software H.264 with a text overlay to MPEG-TS with a custom video PID
  await h.edit(page, 1);
  await videoTab(page, 'Overlay'); await page.check('#oEnable'); await page.fill('#oText', 'tovul test');
  await okVideo(page);
  await formatTab(page, 'MPEG-TS Output');
  await page.fill('#tsVideo', '0x200');
  // stock ffmpeg knows no program input index: leave the program table empty
  await page.click('#tsProgTable tbody tr:nth-child(1) td:nth-child(1)'); await page.click('#tsProgDel');
  await okFormat(page);
  await h.apply(page);

  // channel 2: HLS with two targets and a master playlist
  await h.edit(page, 2);
  await page.click('#tabAdd');
  await page.fill('#tUrl', path.join(hls, 'low.m3u8'));
  await page.selectOption('#vSize', 'qvga');
  await formatTab(page, 'HLS Config'); await okFormat(page);
  await h.apply(page);

  const stored = await d.config();
  assert.deepStrictEqual(stored.channels[0].input.filters, ["drawtext=text='tovul test':fontsize=16:fontcolor=#00ffff:x=0:y=0"]);
  assert.ok(stored.channels[0].output.formatOptions.includes('-streamid 0:0x200'));
  assert.deepStrictEqual(stored.channels[1].output.formatOptions, ['-master_pl_name master.m3u8']);

  for (const n of [1, 2]) {
    await page.click('#chTable tbody tr:nth-child(' + n + ')');
    await page.click('#btnStart');
    await waitFor('start request', () => ctx.sent('/channel' + n + '?start').length === 1);
  }
  await runningWithGrowingTime(d, 0);
  await runningWithGrowingTime(d, 1);
  await waitFor('both HLS playlists and the master playlist', () =>
    ['high.m3u8', 'low.m3u8', 'master.m3u8'].every((f) => fs.existsSync(path.join(hls, f))), 30000);
  await ctx.snap('running');
  for (const n of [1, 2]) {
    await page.click('#chTable tbody tr:nth-child(' + n + ')');
    await page.click('#btnStop');
  }
  await waitFor('both idle', async () => (await d.status()).channels.every((c) => c.state === 'idle'), 30000);
  const log = d.channelLog(1);
  assert.ok(/drawtext/.test(log) && /-streamid 0:0x200/.test(log), 'the argument string carries the options');
});

/* ------------------------------------------- texts between quotes, as typed */

// Texts with an apostrophe, a percent sign, a backslash, '=' and a double quote.
const TYPED_TEXT = 'Bob\'s "5%" C:\\a=1';
const TYPED_TITLE = 'Bob\'s "5%" C:\\n=1';
const TYPED_PROVIDER = 'Bob\'s "5%" C:\\tv=2';
const OVERLAY_AT = 'fontsize=16:fontcolor=#00ffff:x=w-tw-10:y=h-th-20';
const TEXT_CORNER = '200:40:iw-200:ih-50';

function ffmpeg(args) {
  const r = spawnSync('ffmpeg', ['-nostdin', '-hide_banner', '-v', 'error', '-y'].concat(args));
  if (r.status !== 0) throw new Error('ffmpeg ' + args.join(' ') + ': ' + r.stderr);
}

// the overlay's corner of a frame at about two seconds, in grey
function corner(media, out) {
  ffmpeg(['-i', media, '-vf', 'select=gte(n\\,50),crop=' + TEXT_CORNER + ',format=gray', '-frames:v', '1', '-f', 'rawvideo', out]);
  return fs.readFileSync(out);
}

// the same corner as ffmpeg draws it from the text given in a file
function referenceCorner(text, dir) {
  const file = path.join(dir, 'reference.txt'), out = path.join(dir, 'reference.gray');
  fs.writeFileSync(file, text);
  ffmpeg(['-f', 'lavfi', '-i', 'color=c=black:size=320x240:rate=25', '-vf',
    "drawtext=textfile='" + file + "':expansion=none:" + OVERLAY_AT + ',crop=' + TEXT_CORNER + ',format=gray',
    '-frames:v', '1', '-f', 'rawvideo', out]);
  return fs.readFileSync(out);
}

function differing(a, b) {
  assert.strictEqual(a.length, b.length);
  let n = 0;
  for (let k = 0; k < a.length; k++) n += (a[k] > 128) !== (b[k] > 128);
  return n;
}

test('texts between quotes come out as typed: overlay text, program name, provider', async (ctx) => {
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'tovul-quotes-'));
  const clip = path.join(work, 'black.mp4');
  ffmpeg(['-f', 'lavfi', '-i', 'color=c=black:size=320x240:rate=25', '-f', 'lavfi', '-i', 'sine=sample_rate=48000',
    '-t', '30', '-c:v', 'libx264', '-preset', 'ultrafast', '-c:a', 'aac', '-shortest', clip]);
  // the channel's UDP output, captured as it comes
  const captured = path.join(work, 'out.ts');
  const sock = dgram.createSocket('udp4');
  const out = fs.openSync(captured, 'w');
  sock.on('message', (m) => fs.writeSync(out, m));
  await new Promise((r) => sock.bind(0, '127.0.0.1', r));
  const url = 'udp://127.0.0.1:' + sock.address().port + '?pkt_size=1316';
  const d = await ctx.daemon({ transcoder: 'standin', config: config([channel(clip, { url })], { autoRestart: 1, log: 32 }) });
  const page = await ctx.open();
  try {
    await h.edit(page, 1);
    // a character that cannot be carried is refused by name, and the dialog stays
    await videoTab(page, 'Overlay'); await page.check('#oEnable');
    await page.fill('#oText', 'a\tb');
    await okVideo(page);
    assert.match(ctx.dialogs.pop().message, /Overlay Text holds a tab \(U\+0009\)/);
    assert.ok(await page.isVisible('#dlgVideo'), 'the dialog stays open');
    // left behind with Cancel, it is refused by Apply, which stores nothing
    await page.click('#dlgVideo .cancel');
    await page.click('#btnApply');
    assert.match(ctx.dialogs.pop().message, /Overlay Text holds a tab \(U\+0009\)/);
    assert.strictEqual(ctx.sent('/config', 'POST').length, 0);
    assert.ok(await page.evaluate(() => window.editing), 'still editing');
    await videoTab(page, 'Overlay');
    await page.fill('#oText', TYPED_TEXT);
    await page.selectOption('#oHSide', 'right'); await page.fill('#oHPad', '10');
    await page.selectOption('#oVSide', 'bottom'); await page.fill('#oVPad', '20');
    await ctx.snap('overlay text');
    await okVideo(page);
    assert.ok(!(await page.isVisible('#dlgVideo')));
    await formatTab(page, 'MPEG-TS Output');
    await cell(page, 'tsProgTable', 1, 2, TYPED_TITLE);
    await page.fill('#tsProvider', 'a\tb');
    await okFormat(page);
    assert.match(ctx.dialogs.pop().message, /Provider holds a tab \(U\+0009\)/);
    assert.ok(await page.isVisible('#dlgFormat'), 'the dialog stays open');
    await page.fill('#tsProvider', TYPED_PROVIDER);
    await ctx.snap('program name and provider');
    await okFormat(page);
    await h.apply(page);

    const stored = await d.config();
    assert.deepStrictEqual(stored.channels[0].input.filters, ["drawtext=text='Bob'\\''s \"5\\%\" C:\\\\a=1':" + OVERLAY_AT]);
    assert.deepStrictEqual(stored.channels[0].output.formatOptions,
      ["-program program_num=1:title='Bob'\\''s \"5%\" C:\\n=1':if=0", "-metadata service_provider='Bob'\"'\"'s \"5%\" C:\\tv=2'"]);

    // the dialogs read back what they wrote
    await h.edit(page, 1);
    await videoTab(page, 'Overlay');
    assert.strictEqual(await page.inputValue('#oText'), TYPED_TEXT);
    await okVideo(page);
    await formatTab(page, 'MPEG-TS Output');
    assert.strictEqual(await page.inputValue('#tsProvider'), TYPED_PROVIDER);
    assert.strictEqual(await page.textContent('#tsProgTable tbody tr:nth-child(1) td:nth-child(2)'), TYPED_TITLE);
    await okFormat(page);
    await h.apply(page);
    assert.deepStrictEqual((await d.config()).channels[0], stored.channels[0]);

    await page.click('#chTable tbody tr:nth-child(1)');
    await page.click('#btnStart');
    await runningWithGrowingTime(d, 0);
    await waitFor('five seconds of stream', async () => {
      const m = /(\d+):(\d\d):(\d\d)/.exec((await d.status()).channels[0].status);
      return m && Number(m[3]) + 60 * Number(m[2]) >= 5;
    }, 60000);
    await ctx.snap('running');
    await page.click('#btnStop');
    await waitFor('idle', async () => (await d.status()).channels[0].state === 'idle', 30000);
  } finally {
    sock.close();
    fs.closeSync(out);
  }

  // the program's name and provider as ffprobe reads them
  const probe = spawnSync('ffprobe', ['-v', 'error', '-show_programs', '-of', 'json', captured]);
  const programs = JSON.parse(probe.stdout).programs;
  assert.strictEqual(programs.length, 1, d.channelLog(1));
  assert.strictEqual(programs[0].tags.service_name, TYPED_TITLE);
  assert.strictEqual(programs[0].tags.service_provider, TYPED_PROVIDER);
  // the drawn text against the same text drawn by ffmpeg from a file, and
  // against the text without its backslash
  ffmpeg(['-i', captured, '-vf', 'select=gte(n\\,50)', '-frames:v', '1', path.join(h.artifactDir, 'quoted_texts-drawn_frame.png')]);
  const drawn = corner(captured, path.join(work, 'drawn.gray'));
  const right = differing(drawn, referenceCorner(TYPED_TEXT, work));
  const wrong = differing(drawn, referenceCorner(TYPED_TEXT.replace('\\', ''), work));
  console.log('overlay: ' + right + ' pixels differ from the text drawn from a file, ' + wrong + ' from the text without its backslash');
  assert.ok(right * 4 < wrong, right + ' against ' + wrong);
});

h.run();
