/*
 * The shared pieces of the page's panels: pop-up windows (showing, dragging,
 * tabs, Escape), editable choice lists, tables edited in place, the pickers'
 * row lists, and drop-downs filled from tables.
 */
import { ParseInt } from './util.js';

var TXT_SEARCHING = 'Searching...';

// what Escape does when no pop-up is open (the editor cancels editing)
var escapeIdle = function () {};

export var popup = {
  open: function (id) {
    var $p = $('#' + id);
    if (!$p.data('placed')) {
      $p.css({ left: Math.max(10, ($(window).width() - $p.outerWidth()) / 2) + 'px', top: '60px' });
      $p.data('placed', true);
    }
    $p.find('.tabBar a').first().click();
    $p.show();
  },
  close: function (id) { $('#' + id).hide(); },
  anyOpen: function () { return $('.popup:visible').length > 0; },
  closeAll: function () { $('.popup:visible').hide(); },
  onEscape: function (fn) { escapeIdle = fn; },
  // cross and Cancel close; dragging by the title bar
  init: function () {
    $('.popup .close, .popup .cancel').on('click', function (e) {
      e.preventDefault();
      $(this).closest('.popup').hide();
    });
    $('.popup .title').on('mousedown', function (e) {
      if ($(e.target).is('.close')) return;
      var $p = $(this).closest('.popup');
      var off = $p.offset(), dx = e.pageX - off.left, dy = e.pageY - off.top;
      e.preventDefault();
      $(document).on('mousemove.drag', function (m) {
        $p.css({ left: (m.pageX - dx) + 'px', top: Math.max(0, m.pageY - dy) + 'px' });
      }).on('mouseup.drag', function () { $(document).off('.drag'); });
    });
    $('.tabBar a').on('click', function (e) {
      e.preventDefault();
      var $bar = $(this).closest('.tabBar');
      $bar.find('a').removeClass('active');
      $(this).addClass('active');
      var $p = $(this).closest('.popup');
      $p.find('.tabPage').hide();
      $p.find('#' + $(this).data('tab')).show();
    });
    $(document).on('keydown', function (e) {
      if (e.key !== 'Escape') return;
      if (popup.anyOpen()) popup.closeAll();
      else escapeIdle();
    });
  }
};

// An editable choice list: a drop-down whose choice is copied into the text
// field next to it; the field is what is read.
export function Choice(boxId, inputId, items, cls) {
  var $box = $('#' + boxId);
  this.$input = $('<input type="text">').attr('id', inputId).addClass(cls || '');
  this.$select = $('<select class="choiceList">').addClass(cls || '');
  var self = this;
  this.setItems(items);
  this.$select.on('change', function () {
    var i = this.selectedIndex;
    if (i >= 0) self.$input.val($(this.options[i]).text()).trigger('change');
    this.selectedIndex = -1;
  });
  $box.append(this.$input, this.$select);
}
Choice.prototype.setItems = function (items) {
  var $s = this.$select.empty();
  items.forEach(function (t) { $s.append($('<option>').text(String(t))); });
  $s[0].selectedIndex = -1;
};
Choice.prototype.val = function (v) {
  if (v === undefined) return this.$input.val();
  this.$input.val(v);
  return this;
};
Choice.prototype.enable = function (on) {
  this.$input.prop('disabled', !on);
  this.$select.prop('disabled', !on);
};

// A table edited in place: clicking a cell turns the row's cells into text
// fields until the focus leaves the row; clicking a row selects it.
export function EditTable(tableId) {
  this.$body = $('#' + tableId + ' tbody');
  var self = this;
  this.$body.on('click', 'td', function () {
    var $tr = $(this).closest('tr');
    self.select($tr);
    self.openRow($tr, $tr.children('td').index(this));
  });
  this.$body.on('focusout', 'tr', function (e) {
    var $tr = $(this);
    if (e.relatedTarget && $.contains(this, e.relatedTarget)) return;
    self.closeRow($tr);
  });
}
EditTable.prototype.select = function ($tr) {
  this.$body.children('tr').removeClass('selected');
  $tr.addClass('selected');
};
EditTable.prototype.openRow = function ($tr, cell) {
  if ($tr.hasClass('open')) return;
  $tr.addClass('open');
  $tr.children('td').each(function () {
    var t = $(this).text();
    $(this).empty().append($('<input type="text">').val(t));
  });
  $tr.children('td').eq(cell >= 0 ? cell : 0).find('input').focus();
};
EditTable.prototype.closeRow = function ($tr) {
  if (!$tr.hasClass('open')) return;
  $tr.removeClass('open');
  $tr.children('td').each(function () {
    var v = $(this).find('input').val();
    $(this).empty().text(v === undefined ? '' : v);
  });
};
EditTable.prototype.clear = function () { this.$body.empty(); };
EditTable.prototype.count = function () { return this.$body.children('tr').length; };
EditTable.prototype.add = function (cells, open) {
  var $tr = $('<tr>');
  cells.forEach(function (c) { $tr.append($('<td>').text(String(c))); });
  this.$body.append($tr);
  if (open) { this.select($tr); this.openRow($tr, 0); }
  return $tr;
};
EditTable.prototype.removeSelected = function () { this.$body.children('tr.selected').remove(); };
EditTable.prototype.rows = function () {
  var out = [];
  this.$body.children('tr').each(function () {
    out.push($(this).children('td').map(function () {
      var $i = $(this).find('input');
      return ($i.length ? $i.val() : $(this).text()).trim();
    }).get());
  });
  return out;
};

// A list of rows in a picker table; one row can be selected.
export function pickList($table, texts, empty, onSelect) {
  var $b = $table.find('tbody').empty();
  if (!texts.length) {
    $b.append($('<tr class="none">').append($('<td>').text(empty)));
    return;
  }
  texts.forEach(function (t, i) {
    var $tr = $('<tr>').attr('data-i', i).append($('<td>').text(t));
    $tr.on('click', function () {
      $b.children('tr').removeClass('selected');
      $tr.addClass('selected');
      if (onSelect) onSelect(i);
    });
    $b.append($tr);
  });
  $b.children('tr').first().click();
}

export function pickSelected($table) {
  var i = $table.find('tbody tr.selected').attr('data-i');
  return i === undefined ? -1 : ParseInt(i);
}

export function pickSearching($table) {
  $table.find('tbody').empty().append($('<tr class="none">').append($('<td>').text(TXT_SEARCHING)));
}

// Shows a value in a drop-down; a stored value that the list does not offer
// (an older or hand-written configuration) gets an entry of its own, so that
// storing the form writes it back unchanged instead of nothing.
export function selectValue(sel, value) {
  var $s = $(sel), v = String(value);
  $s.find('option.extra').filter(function () { return this.value !== v; }).remove();
  if (!$s.find('option').filter(function () { return this.value === v; }).length) {
    $s.append($('<option class="extra">').val(v).text(v));
  }
  $s.val(v);
}

// Fills a drop-down from [value, label] pairs.
export function fillSelect(sel, items) {
  var $s = $(sel).empty();
  items.forEach(function (it) { $s.append($('<option>').val(String(it[0])).text(it[1])); });
}
