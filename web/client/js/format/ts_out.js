/*
 * "Advanced Format Settings", MPEG-TS output tab: programs, PIDs, provider
 * and FEC, shown from and written to the output "formatOptions" of the
 * transport-stream target formats.
 */
import { ParseInt, optionPairs, removeOptions, splitOutsideQuotes } from '../util.js';
import { ffQuote, ffRead, argQuote, argUnquote, uncarriable } from '../quoting.js';
import { state } from '../state.js';
import { EditTable } from '../ui.js';

var TS_FORMATS = ['udp', 'omxts', 'http', 'rtpts', 'srt'];

export var tsOutTab = {
  table: null,
  REMOVE: ['-program ', '-mpegts_pmt_start_pid ', '-mpegts_service_id ', '-streamid ', '-metadata ', '-fec '],
  init: function () {
    tsOutTab.table = new EditTable('tsProgTable');
    $('#tsProgAdd').on('click', function () {
      var n = tsOutTab.table.count() + 1;
      tsOutTab.table.add([n, 'Program' + (n < 10 ? '0' : '') + n, n], true);
    });
    $('#tsProgDel').on('click', function () { tsOutTab.table.removeSelected(); });
  },
  active: function (fmt) { return TS_FORMATS.indexOf(fmt) >= 0; },
  show: function (options, fmt) {
    var rt = state.jsonRuntime;
    $('#tsPmt').val('0x1000');
    $('#tsProvider').val(rt && rt.website ? String(rt.website) : '');
    $('#tsVideo').val('0x100'); $('#tsAudio').val('0x101'); $('#tsSub').val('0x102');
    $('#tsFec').prop('checked', false); $('#tsFecCol').val('5'); $('#tsFecRow').val('5');
    tsOutTab.table.clear();
    var programs = 0;
    optionPairs(options).forEach(function (p) {
      var o = p[0], v = p[1];
      if (o === '-program') {
        programs++;
        var num = 0, title = '', src = '';
        splitOutsideQuotes(v, ':').forEach(function (kv) {
          if (kv.indexOf('program_num=') === 0) num = ParseInt(kv.slice(12));
          else if (kv.indexOf('title=') === 0) title = ffRead(kv, 6, '').value;
          else if (kv.indexOf('if=') === 0) src = kv.slice(3);
        });
        if (num > 0 && src !== '') tsOutTab.table.add([num, title, ParseInt(src) + 1]);
      } else if (o === '-mpegts_pmt_start_pid') $('#tsPmt').val(v);
      else if (o === '-streamid') {
        var sid = { '0:': '#tsVideo', '1:': '#tsAudio', '2:': '#tsSub' }[v.slice(0, 2)];
        if (sid) $(sid).val(v.slice(2));
      } else if (o === '-metadata') {
        if (v.indexOf('service_provider=') === 0) $('#tsProvider').val(argUnquote(v.slice(17)));
      } else if (o === '-fec' && v.indexOf('prompeg') === 0 && fmt === 'rtpts') {
        $('#tsFec').prop('checked', true);
        var l = /l=(\d+)/.exec(v), d = /d=(\d+)/.exec(v);
        if (l) $('#tsFecCol').val(l[1]);
        if (d) $('#tsFecRow').val(d[1]);
      }
    });
    if (!programs) tsOutTab.table.add([1, 'Program01', 1]);
    $('#fmtTsOut .ts, #fmtTsOut input').prop('disabled', !tsOutTab.active(fmt));
    $('#fmtTsOut .fec').prop('disabled', fmt !== 'rtpts');
  },
  // Why the tab cannot be written as it stands, or ''.
  problem: function (fmt) {
    if (!tsOutTab.active(fmt)) return '';
    var rows = tsOutTab.table.rows();
    for (var i = 0; i < rows.length; i++) {
      var p = uncarriable('The name of program ' + rows[i][0], rows[i][1]);
      if (p) return p;
    }
    return uncarriable('The Provider', $('#tsProvider').val());
  },
  pid: function (sel, def) {
    var v = ParseInt($(sel).val());
    return v >= 32 && v <= 8186 && v !== def;
  },
  write: function (output, fmt) {
    var opts = removeOptions(output.formatOptions, tsOutTab.REMOVE);
    if (tsOutTab.active(fmt)) {
      tsOutTab.table.rows().forEach(function (r) {
        if (r[0] === '' || r[2] === '') return;
        opts.push('-program program_num=' + r[0] + (r[1] !== '' ? ':title=' + ffQuote(r[1]) : '') + ':if=' + (ParseInt(r[2]) - 1));
      });
      if (tsOutTab.pid('#tsPmt', 4096)) opts.push('-mpegts_pmt_start_pid ' + $('#tsPmt').val().trim());
      if (tsOutTab.pid('#tsVideo', 256)) opts.push('-streamid 0:' + $('#tsVideo').val().trim());
      if (tsOutTab.pid('#tsAudio', 257)) opts.push('-streamid 1:' + $('#tsAudio').val().trim());
      if (tsOutTab.pid('#tsSub', 258)) opts.push('-streamid 2:' + $('#tsSub').val().trim());
      var prov = $('#tsProvider').val();
      if (prov !== '') opts.push('-metadata service_provider=' + argQuote(prov));
      if (fmt === 'rtpts' && $('#tsFec').prop('checked')) {
        opts.push('-fec prompeg=l=' + ParseInt($('#tsFecCol').val()) + ':d=' + ParseInt($('#tsFecRow').val()));
      }
    }
    output.formatOptions = opts;
  }
};
