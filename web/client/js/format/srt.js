/*
 * "Advanced Format Settings", SRT tab: mode, the two connections, group type
 * and stable timeout, for an SRT source (input options) or, failing that,
 * an SRT target (output options).
 */
import { ParseInt, optionPairs, removeOptions } from '../util.js';

export var srtTab = {
  REMOVE: ['-mode ', '-grouptype ', '-localaddr ', '-backup_remote ', '-backup_local ', '-minstable_timeout '],
  side: null,  // 'source', 'target' or null when inactive
  hostOf: function (addr) {
    var i = addr.indexOf('://');
    var rest = i >= 0 ? addr.slice(i + 3) : addr;
    var j = rest.indexOf(':');
    return j >= 0 ? rest.slice(0, j) : rest;
  },
  withHost: function (addr, host) {
    var i = addr.indexOf('://');
    var head = i >= 0 ? addr.slice(0, i + 3) : '';
    var rest = i >= 0 ? addr.slice(i + 3) : addr;
    var j = rest.indexOf(':');
    return head + host + (j >= 0 ? rest.slice(j) : '');
  },
  defaultMode: function () { return srtTab.side === 'source' ? 'caller' : 'listener'; },
  $addr: function () { return srtTab.side === 'source' ? $('#sUrl') : $('#tUrl'); },
  options: function (ch) { return srtTab.side === 'source' ? ch.input.formatOptions : ch.output.formatOptions; },
  init: function () {
    $('#srtMode').on('change', srtTab.modeChanged);
  },
  show: function (ch, srcFmt, tgtFmt) {
    srtTab.side = srcFmt === 'srt' ? 'source' : (tgtFmt === 'srt' ? 'target' : null);
    $('#srtRemote1, #srtLocal1, #srtRemote2, #srtLocal2').val('');
    $('#srtGroup').val('backup');
    $('#srtStable').val('200');
    if (!srtTab.side) {
      $('#srtMode').val('caller');
      $('#fmtSrt .srt').prop('disabled', true);
      return;
    }
    $('#srtMode').val(srtTab.defaultMode());
    $('#srtRemote1').val(srtTab.hostOf(srtTab.$addr().val()));
    // the options this tab wrote before are read back, so OK keeps them
    optionPairs(srtTab.options(ch)).forEach(function (p) {
      var ids = { '-localaddr': '#srtLocal1', '-backup_remote': '#srtRemote2', '-backup_local': '#srtLocal2', '-minstable_timeout': '#srtStable' };
      if (p[0] === '-mode' && (p[1] === 'caller' || p[1] === 'listener')) $('#srtMode').val(p[1]);
      else if (p[0] === '-grouptype') $('#srtGroup').val(p[1] === 'broadcast' ? 'broadcast' : 'backup');
      else if (ids[p[0]]) $(ids[p[0]]).val(p[1]);
    });
    $('#fmtSrt .srt').prop('disabled', false);
    srtTab.modeChanged();
  },
  modeChanged: function () {
    if (srtTab.side) $('#fmtSrt .addr').prop('disabled', $('#srtMode').val() === 'listener');
  },
  write: function (ch) {
    if (!srtTab.side) return;
    var list = srtTab.side === 'source' ? 'input' : 'output';
    var opts = removeOptions(ch[list].formatOptions, srtTab.REMOVE);
    var mode = $('#srtMode').val();
    if (mode !== srtTab.defaultMode()) opts.push('-mode ' + mode);
    if (mode === 'caller') {
      var r1 = $('#srtRemote1').val().trim(), l1 = $('#srtLocal1').val().trim();
      var r2 = $('#srtRemote2').val().trim(), l2 = $('#srtLocal2').val().trim();
      if (r1 !== '') srtTab.$addr().val(srtTab.withHost(srtTab.$addr().val(), r1));
      if (l1 !== '') opts.push('-localaddr ' + l1);
      if (r2 !== '') opts.push('-backup_remote ' + r2);
      if (l2 !== '') opts.push('-backup_local ' + l2);
      if (r2 !== '' || l2 !== '') {
        if ($('#srtGroup').val() === 'broadcast') opts.push('-grouptype broadcast');
        var st = ParseInt($('#srtStable').val());
        if (st !== 200) opts.push('-minstable_timeout ' + st);
      }
    }
    ch[list].formatOptions = opts;
  }
};
