/*
 * The channel list: one row per channel the service offers, filled from the
 * configuration, with the selection and the status cells. Choosing a row
 * hands it to the editor through the hooks it sets.
 */
import { ParseInt, str } from './util.js';
import { state, channels, firstSource } from './state.js';

// set by the editor: show channel n; open the selected channel for editing
var hooks = { show: function () {}, edit: function () {} };

export var chlist = {
  $body: null,
  onShow: function (fn) { hooks.show = fn; },
  onEdit: function (fn) { hooks.edit = fn; },
  build: function (n) {
    chlist.$body = $('#chTable tbody').empty();
    for (var i = 1; i <= n; i++) {
      var $tr = $('<tr>').attr('data-ch', i);
      for (var c = 0; c < 5; c++) $tr.append('<td></td>');
      chlist.$body.append($tr);
    }
    chlist.$body.on('click', 'tr', function () {
      if (state.editing) return;
      var n = ParseInt($(this).attr('data-ch'));
      if (n <= channels().length) chlist.select(n);
    });
    chlist.$body.on('dblclick', 'tr', function () {
      if (state.editing) return;
      var n = ParseInt($(this).attr('data-ch'));
      if (n <= channels().length) { chlist.select(n); hooks.edit(); }
    });
  },
  rows: function () { return chlist.$body ? chlist.$body.children('tr').length : 0; },
  row: function (n) { return chlist.$body.children('tr').eq(n - 1); },
  cell: function (n, c) { return chlist.row(n).children('td').eq(c); },
  fill: function () {
    var list = channels();
    chlist.$body.children('tr').each(function (i) {
      var $td = $(this).children('td');
      var ch = list[i];
      $(this).toggleClass('configured', !!ch);
      if (!ch) {
        $td.eq(0).text(''); $td.eq(1).text('').removeAttr('title'); $td.eq(2).text(''); $td.eq(3).text('').removeAttr('title');
        $td.eq(4).empty();
        return;
      }
      var s = firstSource(ch) || {};
      var url = str(s.url);
      $td.eq(0).text(String(i + 1));
      $td.eq(1).text(' ' + url).attr('title', url);
      $td.eq(2).text(ch.bind ? String(ch.bind) : '');
      $td.eq(3).text(str(ch.memo)).attr('title', str(ch.memo));
    });
  },
  // Marks row n (0: none) as the selection; a configured channel is shown.
  highlight: function (n) {
    chlist.$body.children('tr').removeClass('selected');
    state.selRow = n;
    if (n > 0) chlist.row(n).addClass('selected');
  },
  select: function (n) {
    chlist.highlight(n);
    if (n > 0 && n <= channels().length) hooks.show(n);
  },
  setStatus: function (n, st, text) {
    // a cell too narrow for its text cuts it; the whole text is its tool tip
    var $c = chlist.cell(n, 4).empty().attr('title', text);
    $c.append($('<img class="state">').attr('src', String(st) + '.png'), document.createTextNode(' ' + text));
  },
  resizable: function () {
    $('#chTable').colResizable({
      liveDrag: true, headerOnly: true, resizeMode: 'overflow',
      gripInnerHtml: "<div class='grip'></div>", draggingClass: 'dragging'
    });
  }
};
