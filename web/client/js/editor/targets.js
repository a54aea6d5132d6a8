/*
 * The channel editor's target panel: target format and URL, the video,
 * audio and multiplex fields, and the target tabs of a multi-bitrate
 * output; showing a target, storing it back (with the option dialogs'
 * tabs), and the changes of target format and video codec.
 */
import { ParseInt, ParseFloat, deepCopy, str, pageHost, pagePort } from '../util.js';
import { state, globals, firstSource, firstTarget, isWindows } from '../state.js';
import { Choice, selectValue, fillSelect } from '../ui.js';
import { deckPicker } from '../pickers.js';
import { codecTab } from '../video/codec.js';
import { overlayTab } from '../video/overlay.js';
import { miscTab } from '../video/misc.js';
import { rtmpTab } from '../format/rtmp.js';

var MAX_TARGETS = 5;
var TXT_OMX = 'Please make sure to install MainConcept FFmpeg Plugin and\nconfigure plugin core file path in Global Settings to use MainConcept encoder.';
var TXT_CBR_ZERO = 'Cannot enable CBR with ZERO video bitrate!';

export var frameSizes = [
  ['original', 'Original', 0, 0], ['qvga', 'QVGA', 320, 240], ['nhd', 'nHD', 640, 360], ['vga', 'VGA', 640, 480],
  ['sd', 'SDTV', 720, 576], ['hd', 'HD', 1280, 720], ['fhd', 'FullHD', 1920, 1080], ['qhd', '2K', 2048, 1080],
  ['uhd', '4K', 3840, 2160], ['other', 'Other']
];
// the target formats that may have up to 5 targets (multi-bitrate)
export var mbrFormats = ['rtmp', 'udp', 'omxts', 'rtpts', 'hls', 'dash'];

var TARGET_FORMATS = [
  ['rtmp', 'RTMP'], ['udp', 'MPEG-TS over UDP'], ['http', 'MPEG-TS over HTTP'], ['html5', 'HTML5 Video'],
  ['rtpts', 'MPEG-TS over RTP'], ['omxts', 'MainConcept MPEG-TS'], ['hls', 'm3u8 Playlist (HLS)'], ['dash', 'MPEG-DASH'],
  ['srt', 'SRT (Secure Reliable Transport)'], ['rtsp', 'RTSP'], ['file', 'Local File'], ['ftp', 'FTP/SFTP'],
  ['decklink', 'Decklink Playback Card'], ['ndi', 'NewTek NDI'], ['httpmjpg', 'MJPEG over HTTP']
];
var VIDEO_CODECS = [
  ['h264', 'H.264 (x264)'], ['nv264', 'H.264 (NVENC)'], ['qsv264', 'H.264 (Quick Sync)'], ['amf264', 'H.264 (AMF)'],
  ['omx264', 'H.264 (MainConcept)'], ['ni264', 'H.264 (NETINT Quadra)'], ['h265', 'HEVC (x265)'], ['nv265', 'HEVC (NVENC)'],
  ['qsv265', 'HEVC (Quick Sync)'], ['amf265', 'HEVC (AMF)'], ['omx265', 'HEVC (MainConcept)'], ['ni265', 'HEVC (NETINT Quadra)'],
  ['mp1v', 'MPEG-1 Video'], ['mp2v', 'MPEG-2 Video'], ['qsvmp2v', 'MPEG-2 Video (Quick Sync)'],
  ['omxmp2v', 'MPEG-2 Video (MainConcept)'], ['mp4v', 'MPEG-4 Visual'], ['av1', 'AV1 (SVT)'], ['nvav1', 'AV1 (NVENC)'],
  ['qsvav1', 'AV1 (Quick Sync)'], ['amfav1', 'AV1 (AMF)'], ['niav1', 'AV1 (NETINT Quadra)'], ['vp8', 'VP8'], ['vp9', 'VP9'],
  ['qsvvp9', 'VP9 (Quick Sync)'], ['flv', 'FLV'], ['prores', 'Apple ProRes'], ['mjpeg', 'MJPEG'], ['copy', 'Original']
];
var AUDIO_CODECS = [
  ['pcm16s', 'PCM'], ['mp2a', 'MP2'], ['mp3', 'MP3'], ['aac', 'AAC-LC'], ['heaac', 'HE-AAC'], ['ac3', 'AC3'], ['copy', 'Original']
];
var AUDIO_CHANNELS = [[0, 'Original'], [1, 'Mono'], [2, 'Stereo'], [3, '2.1'], [4, '4'], [5, '5'], [6, '5.1'], [8, '7.1']];
var FRAME_RATES = ['Original', 15, 20, 23.976, 24, 25, 29.97, 30, 59.94, 60];
var VIDEO_BITRATES = ['Default', 200, 500, 800, 1200, 1600, 2000, 4000];
var SAMPLE_RATES = ['Original', 8000, 11025, 22050, 24000, 32000, 44100, 48000];
var AUDIO_BITRATES = ['Default', 64, 128, 256];

// The target of a new channel; the key-frame interval is in frames (2 s at 25 fps).
export function newTarget() {
  return {
    format: 'udp', url: 'udp://' + pageHost() + ':1234',
    video: {
      enable: true, codec: 'h264', width: 0, height: 0, frameRate: 0, keyFrameInterval: 50, quality: 0,
      bitRate: 0, scanType: 0, IP: '127.0.0.1', port: 1234, globalHeader: 'inBand', options: ['-preset:v faster']
    },
    audio: { enable: true, codec: 'aac', sampleRate: 0, channels: 2, bitRate: 0 },
    mux: { bitRate: 0, cbr: false },
    rtmp: { flashVer: '', swfUrl: '', user: '', passwd: '' }
  };
}

export function defaultTargetUrl(fmt, n) {
  var host = pageHost(), media = isWindows() ? 'c:\\media\\' : '/media/';
  var web = location.protocol + '//' + host + ':' + pagePort() + '/tovu_ch' + n;
  switch (fmt) {
    case 'rtmp': return 'rtmp://127.0.0.1/live/tovu_ch' + n;
    case 'udp': case 'omxts': return 'udp://' + host + ':1234';
    case 'http': case 'html5': case 'httpmjpg': return web;
    case 'hls': return media + 'tovu_ch' + n + '.m3u8';
    case 'dash': return media + 'tovu_ch' + n + '.mpd';
    case 'file': return media + 'tovu_ch' + n + '_recorded.mp4';
    case 'srt': return 'srt://0.0.0.0:1234';
    case 'rtpts': return 'rtp://' + host + ':1234';
    case 'rtsp': return 'rtsp://127.0.0.1:8554/tovu_ch' + n;
    case 'ftp': return 'ftp://192.168.1.2/media/stream.mp4';
    case 'ndi': return 'tovu_ch' + n;
  }
  return '';
}

export var targets = {
  vRate: null, vBitrate: null, aRate: null, aBitrate: null,

  init: function () {
    fillSelect('#tFormat', TARGET_FORMATS);
    fillSelect('#vCodec', VIDEO_CODECS);
    fillSelect('#aCodec', AUDIO_CODECS);
    fillSelect('#aChannels', AUDIO_CHANNELS);
    fillSelect('#vSize', frameSizes);
    targets.vRate = new Choice('vRateBox', 'vRate', FRAME_RATES, 'edit vfield');
    targets.vBitrate = new Choice('vBitrateBox', 'vBitrate', VIDEO_BITRATES, 'edit vfield');
    targets.aRate = new Choice('aRateBox', 'aRate', SAMPLE_RATES, 'edit afield');
    targets.aBitrate = new Choice('aBitrateBox', 'aBitrate', AUDIO_BITRATES, 'edit afield');

    $('#tabAdd').on('click', targets.addTarget);
    $('#tabDel').on('click', targets.delTarget);
    $('#tabList').on('click', '.tab', function () {
      var i = ParseInt($(this).attr('data-i'));
      if (i === state.curTarget) return;
      if (state.editing) targets.storeTarget();
      targets.chooseTab(i);
    });
    $('#tFormat').on('change', targets.targetFormatChanged);
    $('#vCodec').on('focus', function () { $(this).data('prev', this.value); }).on('change', targets.codecChanged);
    $('#vSize').on('change', function () {
      var fs = frameSizes[this.selectedIndex];
      if (fs[0] !== 'other') { $('#vWidth').val(String(fs[2])); $('#vHeight').val(String(fs[3])); }
      targets.updateEnables();
    });
    $('#vEnable, #aEnable').on('change', targets.updateEnables);
    $('#muxCbr').on('change', function () {
      if (this.checked && ParseInt(targets.vBitrate.val()) === 0) {
        alert(TXT_CBR_ZERO);
        this.checked = false;
      }
    });
  },

  // --- showing

  tabLabel: function (url) {
    var u = str(url);
    return u.slice(Math.max(u.lastIndexOf('/'), u.lastIndexOf('\\')) + 1);
  },

  buildTabs: function () {
    var ch = state.curChannel, $l = $('#tabList').empty();
    var multi = mbrFormats.indexOf(str(firstTarget(ch).format)) >= 0;
    ch.output.targets.forEach(function (t, i) {
      $l.append($('<a class="tab" href="#">').attr('data-i', i).text(targets.tabLabel(t.url) || String(i + 1)));
    });
    $('#targetTabs').toggle(multi);
    $('#tabAdd, #tabDel').toggle(multi && state.editing);
  },

  chooseTab: function (i) {
    state.curTarget = i;
    $('#tabList .tab').removeClass('active').eq(i).addClass('active');
    targets.showTarget(state.curChannel.output.targets[i]);
  },

  showSize: function (w, h) {
    var idx = frameSizes.findIndex(function (f) { return f[0] !== 'other' && f[2] === w && f[3] === h; });
    if (idx < 0) idx = frameSizes.length - 1;
    $('#vSize')[0].selectedIndex = idx;
    $('#vWidth').val(String(w)); $('#vHeight').val(String(h));
    targets.updateEnables();
  },

  showTarget: function (t) {
    var v = t.video && typeof t.video === 'object' ? t.video : (t.video = {});
    var a = t.audio && typeof t.audio === 'object' ? t.audio : (t.audio = {});
    var m = t.mux && typeof t.mux === 'object' ? t.mux : {};
    selectValue('#tFormat', str(t.format));
    $('#tUrl').val(str(t.url)).attr('title', str(t.url));
    rtmpTab.show(t);
    $('#vEnable').prop('checked', v.enable === true);
    var codec = str(v.codec).toLowerCase();
    selectValue('#vCodec', codec);
    $('#vCodec').data('prev', codec);
    targets.showSize(ParseInt(v.width), ParseInt(v.height));
    targets.vRate.val(ParseFloat(v.frameRate) ? String(v.frameRate) : 'Original');
    $('#vQuality').val(ParseInt(v.quality) ? String(v.quality) : 'Default');
    targets.vBitrate.val(ParseInt(v.bitRate) ? String(v.bitRate) : 'Default');
    $('#vKeyInt').val(v.keyFrameInterval === undefined ? '' : String(v.keyFrameInterval));
    codecTab.show(codec, v.options, firstSource(state.curChannel).video.options);
    miscTab.show(v);
    $('#muxBitrate').val(String(ParseInt(m.bitRate)));
    $('#muxCbr').prop('checked', m.cbr === true);
    $('#aEnable').prop('checked', a.enable === true);
    selectValue('#aCodec', str(a.codec).toLowerCase());
    targets.aRate.val(ParseInt(a.sampleRate) ? String(a.sampleRate) : 'Original');
    selectValue('#aChannels', ParseInt(a.channels));
    targets.aBitrate.val(ParseInt(a.bitRate) ? String(a.bitRate) : 'Default');
    targets.updateEnables();
  },

  // --- storing

  storeTarget: function () {
    var ch = state.curChannel, t = ch.output.targets[state.curTarget];
    if (!t) return;
    t.format = $('#tFormat').val();
    t.url = $('#tUrl').val();
    var v = t.video && typeof t.video === 'object' ? t.video : (t.video = {});
    v.enable = $('#vEnable').prop('checked');
    v.codec = $('#vCodec').val();
    v.width = ParseInt($('#vWidth').val());
    v.height = ParseInt($('#vHeight').val());
    v.frameRate = ParseFloat(targets.vRate.val());
    v.quality = ParseInt($('#vQuality').val());
    v.bitRate = ParseInt(targets.vBitrate.val());
    v.keyFrameInterval = ParseInt($('#vKeyInt').val());
    v.options = codecTab.write(v.codec, v.width, v.height);
    ch.input.filters = miscTab.write(ch, v, overlayTab.write());
    t.audio = {
      enable: $('#aEnable').prop('checked'),
      codec: $('#aCodec').val(),
      sampleRate: ParseInt(targets.aRate.val()),
      channels: ParseInt($('#aChannels').val()),
      bitRate: ParseInt(targets.aBitrate.val())
    };
    if (!t.mux || typeof t.mux !== 'object') t.mux = {};
    t.mux.bitRate = ParseInt($('#muxBitrate').val());
    t.mux.cbr = $('#muxCbr').prop('checked');
    rtmpTab.write(t);
  },

  // The editor's fields and buttons as the mode and the video and audio boxes allow.
  updateEnables: function () {
    var editing = state.editing;
    var vOn = $('#vEnable').prop('checked'), aOn = $('#aEnable').prop('checked');
    var notCopy = $('#vCodec').val() !== 'copy';
    $('#editor .edit').prop('disabled', !editing);
    $('#vCodec').prop('disabled', !editing || !vOn);
    $('#editor .vfield').prop('disabled', !editing || !vOn || !notCopy);
    $('#editor .afield').prop('disabled', !editing || !aOn);
    var other = $('#vSize')[0].selectedIndex === frameSizes.length - 1;
    $('#vWidth, #vHeight').prop('readonly', !other);
    $('#btnApply, #btnCancel').prop('disabled', !editing);
    $('#btnEdit, #btnNew, #btnRemove').prop('disabled', editing);
    $('#chTable').toggleClass('editing', editing);
  },

  // --- target tabs

  addTarget: function () {
    var ts = state.curChannel.output.targets;
    if (!state.editing || ts.length >= MAX_TARGETS) return;
    targets.storeTarget();
    ts.push(deepCopy(ts[ts.length - 1]));
    targets.buildTabs();
    targets.chooseTab(ts.length - 1);
  },

  delTarget: function () {
    var ts = state.curChannel.output.targets;
    if (!state.editing || ts.length < 2) return;
    ts.splice(state.curTarget, 1);
    targets.buildTabs();
    targets.chooseTab(0);
  },

  // --- format and codec changes

  // The one change handler of the target format; showing the target again
  // also sets which tabs of the format dialog apply.
  targetFormatChanged: function () {
    var fmt = $('#tFormat').val(), ch = state.curChannel;
    targets.storeTarget();
    var t = ch.output.targets[state.curTarget];
    t.format = fmt;
    t.url = defaultTargetUrl(fmt, state.selRow);
    t.video.enable = true;
    t.video.codec = fmt === 'httpmjpg' ? 'mjpeg' : 'h264';
    t.video.quality = 0;
    t.video.options = [];
    t.mux = { bitRate: 0, cbr: false };
    t.audio = { enable: fmt !== 'httpmjpg', codec: 'aac', sampleRate: 0, channels: 2, bitRate: t.audio.bitRate };
    ch.output.targets = [t];
    ch.output.formatOptions = [];
    targets.buildTabs();
    targets.chooseTab(0);
    if (fmt === 'decklink') deckPicker.open(true, targets.deckLinkChosen);
  },

  // A DeckLink playback card and mode chosen for the target: its address,
  // frame size, rate and scan type.
  deckLinkChosen: function (dev, mode) {
    $('#tUrl').val(str(dev.name));
    var t = state.curChannel.output.targets[state.curTarget];
    t.video = t.video || {};
    t.video.width = ParseInt(mode.width);
    t.video.height = ParseInt(mode.height);
    targets.showSize(t.video.width, t.video.height);
    $('#vRate').val(String(mode.denFrame ? mode.numFrame / mode.denFrame : 0));
    $('#mScan').val(mode.interlaced ? '2' : '0');
  },

  codecChanged: function () {
    var codec = $('#vCodec').val(), prev = $('#vCodec').data('prev');
    if ((codec === 'omx264' || codec === 'omx265') && str(globals().omxPath) === '') {
      alert(TXT_OMX);
      if (prev !== undefined) $('#vCodec').val(prev);
      return;
    }
    $('#vCodec').data('prev', codec);
    targets.storeTarget();
    var v = state.curChannel.output.targets[state.curTarget].video;
    v.codec = codec;
    if (codec === 'copy') {
      v.width = 0; v.height = 0; v.frameRate = 0; v.quality = 0; v.bitRate = 0; v.keyFrameInterval = 5;
    }
    v.options = [];
    targets.showTarget(state.curChannel.output.targets[state.curTarget]);
  }
};
