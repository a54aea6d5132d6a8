/*
 * "Advanced Format Settings", HLS tab: segment format, length, playlist
 * size, index start, key file, base URL and master playlist, shown from and
 * written to the output "formatOptions" of an HLS target.
 */
import { ParseInt, optionPairs, removeOptions } from '../util.js';

export var hlsTab = {
  REMOVE: ['-hls_segment_type ', '-hls_time ', '-hls_list_size ', '-start_number ', '-hls_base_url ', '-hls_enc ',
    '-hls_key_info_file ', '-master_pl_name '],
  show: function (options, fmt, nTargets) {
    $('#hlsType').val('mpegts'); $('#hlsTime').val('2'); $('#hlsSize').val('5'); $('#hlsStart').val('1');
    $('#hlsKey').val(''); $('#hlsBase').val(''); $('#hlsMaster').val('master.m3u8');
    optionPairs(options).forEach(function (p) {
      var ids = {
        '-hls_time': '#hlsTime', '-hls_list_size': '#hlsSize', '-start_number': '#hlsStart',
        '-hls_key_info_file': '#hlsKey', '-hls_base_url': '#hlsBase', '-master_pl_name': '#hlsMaster'
      };
      if (p[0] === '-hls_segment_type') $('#hlsType').val(p[1] === 'fmp4' ? 'fmp4' : 'mpegts');
      else if (ids[p[0]]) $(ids[p[0]]).val(p[1]);
    });
    $('#fmtHls .hls').prop('disabled', fmt !== 'hls');
    $('#hlsMaster').prop('disabled', fmt !== 'hls' || nTargets < 2);
  },
  write: function (output, fmt, nTargets) {
    var opts = removeOptions(output.formatOptions, hlsTab.REMOVE);
    if (fmt === 'hls') {
      var num = function (sel, def, name) {
        var v = ParseInt($(sel).val());
        if (v !== 0 && v !== def) opts.push(name + ' ' + v);
      };
      var text = function (sel, name) {
        var v = $(sel).val().trim();
        if (v !== '') opts.push(name + ' ' + v);
      };
      if ($('#hlsType').val() === 'fmp4') opts.push('-hls_segment_type fmp4');
      num('#hlsTime', 2, '-hls_time');
      num('#hlsSize', 5, '-hls_list_size');
      num('#hlsStart', 1, '-start_number');
      text('#hlsKey', '-hls_key_info_file');
      text('#hlsBase', '-hls_base_url');
      if (nTargets >= 2) text('#hlsMaster', '-master_pl_name');
    }
    output.formatOptions = opts;
  }
};
