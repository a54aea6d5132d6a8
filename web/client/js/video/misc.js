/*
 * "Advanced Video Settings", misc tab: scan type, GPU decoding and the GPU
 * number; written after the overlay, it rebuilds the first source's video
 * options and puts the filters it needs in front of the others.
 */
import { ParseInt, str } from '../util.js';
import { firstSource } from '../state.js';

export var miscTab = {
  HW_ENCODERS: ['nv264', 'nv265', 'nvav1', 'qsv264', 'qsv265', 'qsvvp9', 'qsvmp2v', 'qsvav1', 'amf264', 'amf265', 'amfav1'],
  show: function (video) {
    $('#mScan').val(String(ParseInt(video.scanType)));
    if ($('#mScan').val() === null) $('#mScan').val('0');
  },
  // After the overlay: scan type, decoder options of the first source, filters in front.
  write: function (ch, video, filters) {
    var scan = ParseInt($('#mScan').val());
    video.scanType = scan;
    var src = firstSource(ch);
    src.video = src.video && typeof src.video === 'object' ? src.video : {};
    var opts = src.video.options = [];
    if (filters.length) $('#mDecoder').val('none');
    var dec = $('#mDecoder').val() || 'none';
    var w = ParseInt(video.width), h = ParseInt(video.height), gpu = ParseInt($('#mGpu').val());
    var front = [];
    if (dec === 'h264_cuvid' || dec === 'hevc_cuvid') {
      opts.push('-hwaccel cuda -hwaccel_output_format cuda');
      if (scan === 1) { opts.push('-deint adaptive'); opts.push('-surfaces 9'); }
      if (w && h) opts.push('-resize ' + w + 'x' + h);
      if (gpu !== 0) { opts.push('-hwaccel_device ' + gpu); opts.push('-gpu ' + gpu); }
    } else if (dec === 'h264_qsv' || dec === 'hevc_qsv') {
      opts.push('-hwaccel qsv -hwaccel_output_format qsv');
      var parts = [];
      if (scan === 1) parts.push('deinterlace=2');
      if (w && h) { parts.push('w=' + w); parts.push('h=' + h); }
      if (parts.length) front.push('vpp_qsv=' + parts.join(':'));
    } else if (scan === 1) {
      front.push('yadif');
    }
    if (dec !== 'none') {
      opts.push('-c:v ' + dec);
      if (miscTab.HW_ENCODERS.indexOf(str(video.codec)) < 0) front = ['hwdownload', 'format=nv12'].concat(front);
    }
    return front.concat(filters);
  }
};
