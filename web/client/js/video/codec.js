/*
 * "Advanced Video Settings", codec tab: profile, level, threads and the
 * encoding preset slider, shown from a target's video options and written
 * back as those options from nothing.
 */
import { ParseInt, optionPairs, splitOutsideQuotes } from '../util.js';
import { Choice } from '../ui.js';

export var videoPresets = ['ultrafast', 'superfast', 'veryfast', 'faster', 'fast', 'medium', 'slow', 'slower', 'veryslow'];
export var videoPresetsNV = ['fast', 'llhp', 'hp', 'default', 'bd', 'medium', 'hq', 'llhq', 'll'];
export var videoPresetsAMF = ['speed', 'balanced', 'quality'];

export var codecTab = {
  PROFILES: {
    h264: ['baseline', 'main', 'high', 'high10', 'high422', 'high444'],
    omx264: ['baseline', 'main', 'extended', 'high', 'high10', 'high422', 'high444'],
    nv264: ['baseline', 'main', 'high', 'high444p'],
    qsv264: ['baseline', 'main', 'high'],
    amf264: ['constrained_baseline', 'main', 'constrained_high', 'high'],
    h265: ['main', 'main10', 'main444-8', 'main422-10', 'main444-10', 'main12', 'main422-12', 'main444-12'],
    omx265: ['main', 'main10', 'main422-10'],
    nv265: ['main', 'main10'],
    qsv265: ['main', 'main10', 'mainsp'],
    amf265: ['main']
  },
  LEVELS: ['default', '1', '1.1', '1.2', '1.3', '2', '2.1', '2.2', '3', '3.1', '3.2', '4', '4.1', '4.2', '5'],
  THREADS: ['auto', '1', '2', '4', '8'],
  // lowest, highest, default slider position
  SLIDER: {
    h264: [0, 8, 3], nv264: [0, 8, 3], qsv264: [2, 8, 5], omx264: [1, 15, 9], amf264: [0, 2, 0],
    h265: [0, 8, 3], nv265: [0, 8, 3], qsv265: [4, 6, 5], amf265: [0, 2, 0],
    vp8: [0, 16, 13], vp9: [0, 8, 5], av1: [0, 13, 0]
  },
  THREAD_CODECS: ['h264', 'h265', 'vp8', 'vp9', 'av1'],
  NV_ENCODERS: ['nv264', 'nv265', 'nvav1'],
  profile: null, level: null, threads: null,
  pixFmt: function (profile) {
    var map = {
      'main444-12': 'yuv444p12', 'main444-10': 'yuv444p10', high444: 'yuv444p', high444p: 'yuv444p',
      'main422-12': 'yuv422p12', 'main422-10': 'yuv422p10', high422: 'yuv422p',
      high10: 'yuv420p10', main10: 'yuv420p10', main12: 'yuv420p12'
    };
    return map[profile] || 'yuv420p';
  },
  slider: function (codec) { return codecTab.SLIDER[codec] || [0, 0, 0]; },
  presetText: function (codec, n) {
    switch (codec) {
      case 'h264': case 'h265': case 'qsv264': case 'qsv265': return '-preset:v ' + videoPresets[n];
      case 'nv264': case 'nv265': return '-preset:v ' + videoPresetsNV[n];
      case 'omx264': return "-omx_param 'perf_level=" + n + "'";
      case 'amf264': case 'amf265': return '-quality:v ' + videoPresetsAMF[n];
      case 'vp8': return '-cpu-used ' + (16 - n);
      case 'vp9': return '-cpu-used ' + (8 - n);
      case 'av1': return '-preset:v ' + (13 - n);
    }
    return '';
  },
  init: function () {
    codecTab.profile = new Choice('cProfileBox', 'cProfile', ['default']);
    codecTab.level = new Choice('cLevelBox', 'cLevel', codecTab.LEVELS);
    codecTab.threads = new Choice('cThreadsBox', 'cThreads', codecTab.THREADS);
    $('#cPreset').on('input change', function () { $('#cPresetVal').text(this.value); });
  },
  // Shown with each target: the codec's lists and slider, then its options
  // (the "Misc." tab's aspect box, GPU number and decoder are read here too).
  show: function (codec, options, srcOptions) {
    codecTab.profile.setItems(['default'].concat(codecTab.PROFILES[codec] || []));
    codecTab.profile.val('default');
    codecTab.level.val('default');
    codecTab.threads.val('auto');
    var sl = codecTab.slider(codec);
    var pos = sl[2];
    $('#mAspect').prop('checked', false);
    $('#mGpu').val('0');
    $('#mDecoder').val('none');
    optionPairs(options).forEach(function (p) {
      var o = p[0], v = p[1];
      if (o === '-profile:v') codecTab.profile.val(v);
      else if (o === '-level' || o === '-level:v') codecTab.level.val(v);
      else if ((o === '-threads' || o === '-threads:v') && codecTab.THREAD_CODECS.indexOf(codec) >= 0) {
        codecTab.threads.val(ParseInt(v) === 0 ? 'auto' : v);
      } else if (o === '-preset:v') {
        if (codec === 'nv264' || codec === 'nv265') pos = videoPresetsNV.indexOf(v);
        else if (codec === 'av1') pos = 13 - ParseInt(v);
        else pos = videoPresets.indexOf(v);
      } else if (o === '-quality:v') pos = videoPresetsAMF.indexOf(v);
      else if (o === '-cpu-used') {
        if (codec === 'vp8') pos = 16 - ParseInt(v);
        else if (codec === 'vp9') pos = 8 - ParseInt(v);
      } else if (o === '-omx_param' && v.indexOf('perf_level=') >= 0 && codec === 'omx264') {
        pos = ParseInt(v.slice(v.indexOf('perf_level=') + 11));
      } else if (o === '-aspect' || o === '-aspect:v') $('#mAspect').prop('checked', true);
      else if (o === '-gpu' || o === '-gpu:v') $('#mGpu').val(String(ParseInt(v)));
    });
    optionPairs(srcOptions).forEach(function (p) {
      var w = splitOutsideQuotes(p[0] + ' ' + p[1], ' ');
      for (var i = 0; i + 1 < w.length; i++) {
        if (w[i] === '-c:v') $('#mDecoder').val(w[i + 1]);
        if ((w[i] === '-gpu' || w[i] === '-hwaccel_device') && ParseInt($('#mGpu').val()) === 0) $('#mGpu').val(String(ParseInt(w[i + 1])));
      }
    });
    if ($('#mDecoder').val() === null) $('#mDecoder').val('none');
    if (pos < sl[0] || pos > sl[1] || isNaN(pos)) pos = sl[2];
    $('#cPreset').attr({ min: sl[0], max: sl[1] }).val(pos).prop('disabled', sl[0] === sl[1]);
    $('#cPresetVal').text(String(pos));
  },
  // The target's video options, written from nothing.
  write: function (codec, width, height) {
    var out = [];
    var profile = codecTab.profile.val().trim(), level = codecTab.level.val().trim(), threads = codecTab.threads.val().trim();
    if (profile !== '' && profile.toLowerCase() !== 'default') out.push('-profile:v ' + profile);
    if (codec === 'h264' || codec === 'h265') out.push('-pix_fmt:v ' + codecTab.pixFmt(profile.toLowerCase()));
    if (level !== '' && level.toLowerCase() !== 'default') out.push('-level:v ' + level);
    if (codecTab.THREAD_CODECS.indexOf(codec) >= 0 && threads !== '' && threads.toLowerCase() !== 'auto') out.push('-threads:v ' + threads);
    var preset = codecTab.presetText(codec, ParseInt($('#cPreset').val()));
    if (preset) out.push(preset);
    if ($('#mAspect').prop('checked') && width && height) out.push('-aspect:v ' + width + ':' + height);
    var gpu = ParseInt($('#mGpu').val());
    if (gpu !== 0 && codecTab.NV_ENCODERS.indexOf(codec) >= 0) out.push('-gpu:v ' + gpu);
    return out;
  }
};
