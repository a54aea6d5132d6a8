/*
 * "Advanced Format Settings", MPEG-TS input tab: the source streams chosen
 * by PID or program, shown from and written to the input "map".
 */
import { isArray } from '../util.js';
import { EditTable } from '../ui.js';

export var tsInTab = {
  table: null,
  init: function () {
    tsInTab.table = new EditTable('tsInTable');
    $('#tsInAdd').on('click', function () { tsInTab.table.add([tsInTab.table.count() + 1, ''], true); });
    $('#tsInDel').on('click', function () { tsInTab.table.removeSelected(); });
  },
  show: function (map) {
    tsInTab.table.clear();
    (isArray(map) ? map : []).forEach(function (e) {
      if (typeof e !== 'string' || e === '') return;
      var prog = '', pid = '', parts = e.split(':');
      parts.forEach(function (p, i) {
        if (p.charAt(0) === 'p' && p.length > 1) prog = p.slice(1);
        else if (p === 'p' && i + 1 < parts.length) prog = parts[i + 1];
        else if (p.charAt(0) === '#') pid = p.slice(1);
      });
      tsInTab.table.add([prog, pid]);
    });
  },
  write: function (input) {
    var map = [];
    tsInTab.table.rows().forEach(function (r) {
      if (r[1] !== '') map.push('#' + r[1]);
      else if (r[0] !== '') map.push('p:' + r[0]);
    });
    input.map = map;
  }
};
