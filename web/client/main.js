/*
 * The web client's script. It reads the service's facts and its whole
 * configuration document, shows the channel list with a status poll every
 * second, starts, stops and previews channels, edits the global settings and
 * the channels, and always uploads the whole document back.
 *
 * Organised by panel, top to bottom:
 *   helpers            numbers, option lists, deep copies, safe text
 *   requests           every call of the service's API
 *   pop-ups            showing, dragging, tabs, Escape; editable choices and tables
 *   logo               the colour walk over the product name
 *   channel table      rows, selection
 *   status poll        state cells, Preview button, CPU and GPU panels
 *   channel buttons    start, stop, preview
 *   settings dialog    the fourteen global keys, import and export
 *   pickers            DeckLink devices and NDI sources
 *   codec tab, overlay tab, misc tab      (Advanced Video Settings)
 *   format tabs        MPEG-TS, HLS, SRT, RTMP, custom (Advanced Format Settings)
 *   channel editor     showing, editing, Apply, Cancel, New, Remove, target tabs
 *   start-up
 *
 * Every text that comes from the service or from other hosts is put into the
 * page as text (jQuery .text/.val/.attr), never as markup.
 */
'use strict';

/* ------------------------------------------------------------------ state */

var jsonRuntime = null;   // the "/runtime" answer
var jsonConfig = null;    // the configuration document; the only copy edited and uploaded
var channelStatus = [];   // "channels" of the last "/status" answer
var curChannel = null;    // the channel shown, or while editing a deep copy of it
var decklink = null;      // last "/decklink_config" answer
var ndi = null;           // last "/ndi_config" answer

var selRow = 0;           // selected row (channel number from 1), 0 = none
var editing = false;      // editing mode
var editingNew = false;   // the channel under edit is a new one
var curTarget = 0;        // index of the target shown
var srcSchemeWritten = ''; // scheme of the shown source as written ("https", "sftp")
var playerOn = false;     // the preview player is showing

var STATUS_PERIOD_MS = 1000;
var LOGO_PERIOD_MS = 30;
var CPU_CELLS_PER_ROW = 16;
var MAX_TARGETS = 5;
var MAX_SOURCES = 20;
var MANUAL_PATH = '/manual/';
var PLAYER_RETRIES = 20;
var PLAYER_RETRY_MS = 1000;

var TXT_SELECT_FIRST = 'Please select channel first.';
var TXT_START_ERROR = 'Channel start error! ';
var TXT_NO_DL_FORMAT = 'No device format selected';
var TXT_NO_DL_DEVICE = 'No Decklink devices found';
var TXT_NO_NDI = 'No NDI sources found';
var TXT_SEARCHING = 'Searching...';
var TXT_SRC_EMPTY = 'Setting Error: Source URL empty!';
var TXT_BIND_INVALID = 'Error: Bind channel invalid!';
var TXT_TGT_EMPTY = 'Setting Error: Target URL empty!';
var TXT_DUP_TARGETS = 'Duplicated target URLs found in multi-bitrate output!\nSure to continue?';
var TXT_STOP_ALL_FIRST = 'Please stop all channels before removing this channel.';
var TXT_REMOVE = 'Warning: Remove this channel?';
var TXT_OMX = 'Please make sure to install MainConcept FFmpeg Plugin and\nconfigure plugin core file path in Global Settings to use MainConcept encoder.';
var TXT_CBR_ZERO = 'Cannot enable CBR with ZERO video bitrate!';
var TXT_CHANNELS_FULL = 'Every channel is configured already: remove a channel to make room for a new one.';

/* ---------------------------------------------------------------- helpers */

function ParseInt(text) {
  var v = parseInt(text);
  return isNaN(v) ? 0 : v;
}

function ParseFloat(text) {
  var v = parseFloat(text);
  return isNaN(v) ? 0 : v;
}

function deepCopy(o) {
  return JSON.parse(JSON.stringify(o));
}

function isArray(a) {
  return Array.isArray(a);
}

function str(v) {
  return typeof v === 'string' ? v : '';
}

// Removes every entry that is empty (or not text) or contains one of the texts.
function removeOptions(list, texts) {
  if (!isArray(list)) return [];
  return list.filter(function (o) {
    if (typeof o !== 'string' || o === '') return false;
    for (var i = 0; i < texts.length; i++) {
      if (o.indexOf(texts[i]) >= 0) return false;
    }
    return true;
  });
}

// Splits at blanks that stand outside single quotes.
function splitOutsideQuotes(text, sep) {
  var parts = [], cur = '', quoted = false;
  for (var i = 0; i < text.length; i++) {
    var c = text.charAt(i);
    if (c === "'") quoted = !quoted;
    if (!quoted && (sep === ' ' ? /\s/.test(c) : c === sep)) {
      if (cur !== '') parts.push(cur);
      cur = '';
    } else {
      cur += c;
    }
  }
  if (cur !== '') parts.push(cur);
  return parts;
}

// Words of every entry of an option list, as [option, value] pairs.
function optionPairs(list) {
  var pairs = [];
  (isArray(list) ? list : []).forEach(function (o) {
    if (typeof o !== 'string') return;
    var w = splitOutsideQuotes(o, ' ');
    if (w.length < 2) return;
    pairs.push([w[0], w.slice(1).join(' ')]);
  });
  return pairs;
}

function unquote(s) {
  return s.length >= 2 && s.charAt(0) === "'" && s.charAt(s.length - 1) === "'" ? s.slice(1, -1) : s;
}

function pageHost() {
  return location.hostname;
}

function pagePort() {
  return location.port || (location.protocol === 'https:' ? '443' : '80');
}

function isWindows() {
  return jsonRuntime && jsonRuntime.platform === 'windows';
}

function maxChannels() {
  return jsonRuntime && jsonRuntime.channels > 0 ? jsonRuntime.channels : 16;
}

function channels() {
  if (!jsonConfig || typeof jsonConfig !== 'object') return [];
  if (!isArray(jsonConfig.channels)) jsonConfig.channels = [];
  return jsonConfig.channels;
}

function globals() {
  if (!jsonConfig.global || typeof jsonConfig.global !== 'object') jsonConfig.global = {};
  return jsonConfig.global;
}

function firstSource(ch) {
  return ch && ch.input && isArray(ch.input.sources) ? ch.input.sources[0] : undefined;
}

function firstTarget(ch) {
  return ch && ch.output && isArray(ch.output.targets) ? ch.output.targets[0] : undefined;
}

function ensureList(obj, key) {
  if (!isArray(obj[key])) obj[key] = [];
  return obj[key];
}

function stateOf(n) {
  var s = channelStatus[n - 1];
  return s ? s.state : undefined;
}

/* --------------------------------------------------------------- requests */

var api = {
  runtime: function () { return $.ajax({ url: '/runtime', dataType: 'json', cache: false }); },
  config: function () { return $.ajax({ url: '/config', dataType: 'json', cache: false }); },
  status: function () { return $.ajax({ url: '/status', dataType: 'json', cache: false }); },
  // The action is the whole query ("?start"): no cache-buster may be added.
  channel: function (n, action) { return $.ajax({ url: '/channel' + n + '?' + action, dataType: 'text' }); },
  upload: function () {
    return $.ajax({
      url: '/config', type: 'POST', data: JSON.stringify(jsonConfig),
      contentType: 'application/json', dataType: 'json', processData: false
    });
  },
  decklink: function (output) { return $.ajax({ url: '/decklink_config?output=' + output, dataType: 'json', cache: false }); },
  ndi: function (secs) { return $.ajax({ url: '/ndi_config?timeout=' + secs, dataType: 'json' }); }
};

/* ---------------------------------------------------------------- pop-ups */

var popup = {
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
      else if (editing) editor.cancel();
    });
  }
};

// An editable choice list: a drop-down whose choice is copied into the text
// field next to it; the field is what is read.
function Choice(boxId, inputId, items, cls) {
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
function EditTable(tableId) {
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

/* ------------------------------------------------------------------- logo */

var logo = {
  colors: [], walk: null, step: null, timer: null,
  randStep: function () { return 1 + Math.floor(Math.random() * 4); },
  // One component moved by its step; the step reverses past the bounds.
  move: function (c, s, k, top) {
    var v = c[k] + s[k];
    if (v < 0 || (top && v > 255)) { s[k] = -s[k]; v = c[k] + s[k]; }
    return Math.max(0, Math.min(255, v));
  },
  show: function (name) {
    var $n = $('#appName').empty();
    var chars = Array.from(name);
    chars.forEach(function (ch) { $n.append($('<span>').text(ch)); });
    var c = [Math.floor(Math.random() * 256), Math.floor(Math.random() * 256), Math.floor(Math.random() * 256)];
    var down = [-logo.randStep(), -logo.randStep(), -logo.randStep()];
    logo.walk = c.slice();
    logo.step = [-down[0], -down[1], -down[2]];
    logo.colors = [c.slice()];
    for (var i = 1; i < chars.length; i++) {
      var prev = logo.colors[i - 1];
      logo.colors.push([0, 1, 2].map(function (k) { return logo.move(prev, down, k, false); }));
    }
    logo.paint();
    if (logo.timer) clearInterval(logo.timer);
    logo.timer = setInterval(logo.tick, LOGO_PERIOD_MS);
  },
  tick: function () {
    var w = logo.walk;
    logo.walk = [0, 1, 2].map(function (k) { return logo.move(w, logo.step, k, true); });
    logo.colors.pop();
    logo.colors.unshift(logo.walk.slice());
    logo.paint();
  },
  paint: function () {
    $('#appName span').each(function (i) {
      var c = logo.colors[i];
      if (c) this.style.color = 'rgb(' + c[0] + ',' + c[1] + ',' + c[2] + ')';
    });
  }
};

/* ---------------------------------------------------------- channel table */

var table = {
  $body: null,
  build: function (n) {
    table.$body = $('#chTable tbody').empty();
    for (var i = 1; i <= n; i++) {
      var $tr = $('<tr>').attr('data-ch', i);
      for (var c = 0; c < 5; c++) $tr.append('<td></td>');
      table.$body.append($tr);
    }
    table.$body.on('click', 'tr', function () {
      if (editing) return;
      var n = ParseInt($(this).attr('data-ch'));
      if (n <= channels().length) table.select(n);
    });
    table.$body.on('dblclick', 'tr', function () {
      if (editing) return;
      var n = ParseInt($(this).attr('data-ch'));
      if (n <= channels().length) { table.select(n); editor.edit(); }
    });
  },
  row: function (n) { return table.$body.children('tr').eq(n - 1); },
  cell: function (n, c) { return table.row(n).children('td').eq(c); },
  fill: function () {
    var list = channels();
    table.$body.children('tr').each(function (i) {
      var $td = $(this).children('td');
      var ch = list[i];
      $(this).toggleClass('configured', !!ch);
      if (!ch) {
        $td.eq(0).text(''); $td.eq(1).text('').removeAttr('title'); $td.eq(2).text(''); $td.eq(3).text('');
        $td.eq(4).empty();
        return;
      }
      var s = firstSource(ch) || {};
      var url = str(s.url);
      $td.eq(0).text(String(i + 1));
      $td.eq(1).text(' ' + url).attr('title', url);
      $td.eq(2).text(ch.bind ? String(ch.bind) : '');
      $td.eq(3).text(str(ch.memo));
    });
  },
  select: function (n) {
    table.$body.children('tr').removeClass('selected');
    selRow = n;
    if (n > 0) {
      table.row(n).addClass('selected');
      if (n <= channels().length) editor.show(n);
    }
  },
  setStatus: function (n, state, text) {
    var $c = table.cell(n, 4).empty();
    $c.append($('<img class="state">').attr('src', String(state) + '.png'), document.createTextNode(' ' + text));
  },
  resizable: function () {
    $('#chTable').colResizable({
      liveDrag: true, headerOnly: true, resizeMode: 'overflow',
      gripInnerHtml: "<div class='grip'></div>", draggingClass: 'dragging'
    });
  }
};

/* ------------------------------------------------------------ status poll */

var statusPoll = {
  poll: function () {
    api.status().done(statusPoll.show);
  },
  show: function (ans) {
    if (!ans || !isArray(ans.channels)) return;
    channelStatus = ans.channels;
    var rows = table.$body ? table.$body.children('tr').length : 0;
    channelStatus.forEach(function (s, i) {
      if (i < rows && s) table.setStatus(i + 1, s.state, str(s.status));
    });
    if (selRow > 0 && curChannel) {
      var st = stateOf(selRow), t = firstTarget(curChannel);
      buttons.previewEnabled(!(st === 'running' && !(t && t.format === 'html5')));
    }
    statusPoll.showLoads(isArray(ans.cpu) ? ans.cpu : [], ans.gpu);
  },
  loadColor: function (load) {
    var v = Number(load) || 0;
    var r = Math.min(55 + 4 * v, 255);
    var g = v < 50 ? 255 : Math.max(0, 255 - 5 * (v - 50));
    return 'rgb(' + Math.round(r) + ', ' + Math.round(g) + ', 0)';
  },
  loadCell: function ($td, v) {
    $td.text(String(v) + '%').css('background-color', statusPoll.loadColor(v));
  },
  showLoads: function (cpu, gpu) {
    var $b = $('#cpuTable tbody');
    if ($b.find('td').length !== cpu.length) {
      $b.empty();
      var $tr = null;
      for (var i = 0; i < cpu.length; i++) {
        if (i % CPU_CELLS_PER_ROW === 0) { $tr = $('<tr>'); $b.append($tr); }
        $tr.append('<td></td>');
      }
    }
    $b.find('td').each(function (i) { statusPoll.loadCell($(this), cpu[i]); });
    var $g = $('#gpuTable tbody');
    if (gpu) {
      if (!$g.find('td').length) $g.empty().append($('<tr>').append('<td></td>'));
      statusPoll.loadCell($g.find('td').first(), gpu);
    } else {
      $g.empty();
    }
  }
};

/* -------------------------------------------------------- channel buttons */

var buttons = {
  previewEnabled: function (on) { $('#btnPreview').prop('disabled', !on); },
  previewLabel: function (t) { $('#btnPreview span').text(t); },
  start: function () {
    if (!selRow) { alert(TXT_SELECT_FIRST); return; }
    var n = selRow, st = stateOf(n), ch = channels()[n - 1];
    if (!ch || (st !== undefined && st !== 'idle')) return;
    ch.enable = true;
    api.channel(n, 'start').done(function () {
      table.setStatus(n, 'running', 'RUNNING');
    }).fail(function (xhr) {
      alert(TXT_START_ERROR + xhr.statusText);
    });
  },
  startAll: function (e) {
    e.preventDefault(); e.stopPropagation();
    channels().forEach(function (ch, i) {
      ch.enable = true;
      var st = stateOf(i + 1);
      if (st === undefined || st === 'idle') {
        api.channel(i + 1, 'start').done(function () { table.setStatus(i + 1, 'running', 'RUNNING'); });
      }
    });
    $(this).closest('.dropMenu').stop(true, true).slideUp(100);
  },
  stop: function () {
    if (!selRow) { alert(TXT_SELECT_FIRST); return; }
    var n = selRow, ch = channels()[n - 1];
    if (!ch) return;
    ch.enable = false;
    // A preview that this page is showing is ended through the player; one
    // started elsewhere (or before a reload) is stopped directly.
    if (stateOf(n) === 'preview' && playerOn) buttons.preview();
    else api.channel(n, 'stop');
  },
  stopAll: function (e) {
    e.preventDefault(); e.stopPropagation();
    channels().forEach(function (ch, i) {
      ch.enable = false;
      api.channel(i + 1, 'stop');
    });
    $(this).closest('.dropMenu').stop(true, true).slideUp(100);
  },
  preview: function () {
    var n = selRow, st = stateOf(n), ch = channels()[n - 1];
    var player = $('#player')[0];
    if (!n || st === undefined || !ch) return;
    if (playerOn) {
      playerOn = false;
      if (st === 'preview') api.channel(n, 'stop');
      player.pause();
      player.removeAttribute('src');
      player.load();
      $('#player').hide();
      $('#logo').show();
      buttons.previewLabel('Preview');
      return;
    }
    var t = firstTarget(ch);
    if (st === 'idle') {
      api.channel(n, 'preview').done(function () {
        table.setStatus(n, 'preview', 'PREVIEW');
        buttons.play(location.protocol + '//' + location.hostname + ':' + jsonRuntime.previewPort);
      });
    } else if (t && t.format === 'html5') {
      buttons.play(str(t.url));
    }
  },
  play: function (src) {
    var player = $('#player')[0];
    $('#logo').hide();
    buttons.playSrc = src;
    buttons.playTries = 0;
    player.src = src;
    $('#player').show();
    playerOn = true;
    buttons.startPlayer(player);
    buttons.previewLabel('Stop');
  },
  startPlayer: function (player) {
    var p = player.play();
    if (p && p.catch) p.catch(function () {});
  },
  // The transcoder needs a moment before it serves the stream: a player that
  // finds nothing there yet tries again, for a while.
  playerError: function () {
    var player = this;
    if (!playerOn || buttons.playTries >= PLAYER_RETRIES) return;
    buttons.playTries++;
    setTimeout(function () {
      if (!playerOn) return;
      player.src = buttons.playSrc;
      buttons.startPlayer(player);
    }, PLAYER_RETRY_MS);
  },
  manual: function () {
    var site = jsonRuntime && jsonRuntime.website ? jsonRuntime.website : '';
    window.open('https://' + site + MANUAL_PATH, '_blank', 'noopener');
  },
  init: function () {
    $('#btnStart').on('click', buttons.start);
    $('#btnStartAll').on('click', buttons.startAll);
    $('#btnStop').on('click', buttons.stop);
    $('#btnStopAll').on('click', buttons.stopAll);
    $('#btnPreview').on('click', buttons.preview);
    $('#btnSettings').on('click', settings.open);
    $('#btnManual').on('click', buttons.manual);
    $('#player').on('error', buttons.playerError);
    // drop-downs slide open while the pointer rests on the arrow
    $('.dropBtn .arrow').on('mouseenter', function () {
      $(this).siblings('.dropMenu').stop(true, true).slideDown(150);
    });
    $('.dropBtn').on('mouseleave', function () {
      $(this).find('.dropMenu').stop(true, true).slideUp(150);
    });
  }
};

/* -------------------------------------------------------- settings dialog */

var settings = {
  KEYS: ['log', 'httpPort', 'sslEnable', 'sslCert', 'sslKey', 'ipACL', 'autoRun', 'autoRestart',
    'folderRecur', 'folderShuffle', 'altInput', 'omxPath', 'ytdlpPath', 'loginPass'],
  fill: function () {
    var g = (jsonConfig && jsonConfig.global && typeof jsonConfig.global === 'object') ? jsonConfig.global : {};
    var cert = str(g.sslCert), key = str(g.sslKey);
    $('#gLog').prop('checked', ParseInt(g.log) > 0);
    $('#gPort').val(g.httpPort === undefined ? '' : String(g.httpPort));
    $('#gSsl').prop('checked', g.sslEnable === true && cert !== '' && key !== '');
    $('#gCert').val(cert);
    $('#gKey').val(key);
    $('#gAcl').val(str(g.ipACL));
    $('#gAutoRun').prop('checked', g.autoRun === true);
    $('#gAutoRestart').prop('checked', ParseInt(g.autoRestart) > 0);
    $('#gRestartSecs').val(g.autoRestart === undefined ? '' : String(g.autoRestart));
    $('#gRecur').prop('checked', g.folderRecur === true);
    $('#gShuffle').prop('checked', g.folderShuffle === true);
    var alt = str(g.altInput);
    $('#gAlt').prop('checked', alt !== '');
    $('#gAltFile').val(alt === 'default' ? '' : alt).prop('disabled', alt === '');
    $('#gOmx').val(str(g.omxPath));
    $('#gYtdlp').val(str(g.ytdlpPath));
    $('#gPass').val(str(g.loginPass)).toggleClass('unset', str(g.loginPass) === '');
  },
  open: function () {
    settings.fill();
    popup.open('dlgSettings');
  },
  ok: function () {
    if ($('#gPort').val() === '') return;
    var cert = $('#gCert').val(), key = $('#gKey').val();
    var alt = '';
    if ($('#gAlt').prop('checked')) alt = $('#gAltFile').val() === '' ? 'default' : $('#gAltFile').val();
    var values = {
      log: $('#gLog').prop('checked') ? 32 : 0,
      httpPort: ParseInt($('#gPort').val()),
      sslEnable: $('#gSsl').prop('checked') && cert !== '' && key !== '',
      sslCert: cert,
      sslKey: key,
      ipACL: $('#gAcl').val(),
      autoRun: $('#gAutoRun').prop('checked'),
      autoRestart: ParseInt($('#gRestartSecs').val()),
      folderRecur: $('#gRecur').prop('checked'),
      folderShuffle: $('#gShuffle').prop('checked'),
      altInput: alt,
      omxPath: $('#gOmx').val(),
      ytdlpPath: $('#gYtdlp').val(),
      loginPass: $('#gPass').val()
    };
    var g = {};
    settings.KEYS.forEach(function (k) { g[k] = values[k]; });
    jsonConfig.global = g;
    api.upload();
    popup.close('dlgSettings');
  },
  importChosen: function () {
    var f = this.files && this.files[0];
    if (!f) return;
    if (confirm('Import all channels from <' + f.name + '>?\nAll current channel settings will be OVERWRITTEN!')) {
      $('#importForm')[0].submit();
    } else {
      $(this).val('');
    }
  },
  init: function () {
    $('#dlgSettings .ok').on('click', settings.ok);
    $('#gAutoRestart').on('change', function () { $('#gRestartSecs').val(this.checked ? '1' : '0'); });
    $('#gAlt').on('change', function () {
      $('#gAltFile').prop('disabled', !this.checked);
      if (!this.checked) $('#gAltFile').val('');
    });
    $('#btnImport').on('click', function () { $('#importFile').click(); });
    $('#importFile').on('change', settings.importChosen);
    $('#btnExport').on('click', function () { $('#exportForm')[0].submit(); });
  }
};

/* ---------------------------------------------------------------- pickers */

// A list of rows in a picker table; one row can be selected.
function pickList($table, texts, empty, onSelect) {
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

function pickSelected($table) {
  var i = $table.find('tbody tr.selected').attr('data-i');
  return i === undefined ? -1 : ParseInt(i);
}

function pickSearching($table) {
  $table.find('tbody').empty().append($('<tr class="none">').append($('<td>').text(TXT_SEARCHING)));
}

function fourcc(code) {
  var c = Number(code) >>> 0;
  return String.fromCharCode((c >>> 24) & 255, (c >>> 16) & 255, (c >>> 8) & 255, c & 255);
}

var deckPicker = {
  forTarget: false,
  modeText: function (m) {
    return m.width + 'x' + m.height + (m.interlaced ? 'i' : 'p') + ' @ ' + m.numFrame + '/' + m.denFrame + ' fps';
  },
  devices: function () { return decklink && isArray(decklink.devices) ? decklink.devices : []; },
  open: function (forTarget) {
    deckPicker.forTarget = forTarget;
    $('#dlgDecklink .ok').prop('disabled', true);
    pickSearching($('#dlDevices'));
    $('#dlFormats tbody').empty();
    popup.open('dlgDecklink');
    api.decklink(forTarget ? 1 : 0).done(function (ans) {
      decklink = ans;
      var devs = deckPicker.devices();
      pickList($('#dlDevices'), devs.map(function (d) { return str(d.name); }), TXT_NO_DL_DEVICE, function (i) {
        var modes = isArray(devs[i].formats) ? devs[i].formats : [];
        pickList($('#dlFormats'), modes.map(deckPicker.modeText), '', null);
      });
      $('#dlgDecklink .ok').prop('disabled', false);
    });
  },
  ok: function () {
    var d = pickSelected($('#dlDevices'));
    if (d < 0) return;
    var dev = deckPicker.devices()[d];
    var modes = isArray(dev.formats) ? dev.formats : [];
    var m = pickSelected($('#dlFormats'));
    var mode = m >= 0 ? modes[m] : null;
    if (deckPicker.forTarget) {
      if (!mode) { alert(TXT_NO_DL_FORMAT); return; }
      $('#tUrl').val(str(dev.name));
      var t = curChannel.output.targets[curTarget];
      t.video = t.video || {};
      t.video.width = ParseInt(mode.width);
      t.video.height = ParseInt(mode.height);
      editor.showSize(t.video.width, t.video.height);
      $('#vRate').val(String(mode.denFrame ? mode.numFrame / mode.denFrame : 0));
      $('#mScan').val(mode.interlaced ? '2' : '0');
    } else {
      $('#sUrl').val(str(dev.name));
      if (mode) ensureList(curChannel.input, 'formatOptions').push('-format_code ' + fourcc(mode.fmtcode));
    }
    popup.close('dlgDecklink');
  }
};

var ndiPicker = {
  sources: function () { return ndi && isArray(ndi.sources) ? ndi.sources : []; },
  timeout: function () { return Math.max(1, ParseInt($('#ndiTimeout').val())); },
  open: function () {
    $('#dlgNDI .ok').prop('disabled', true);
    popup.open('dlgNDI');
    ndiPicker.search();
  },
  search: function () {
    pickSearching($('#ndiSources'));
    $('body').addClass('waiting');
    var secs = ndiPicker.timeout();
    $('#ndiTimeout').val(String(secs));
    api.ndi(secs).done(function (ans) {
      ndi = ans;
      pickList($('#ndiSources'), ndiPicker.sources().map(function (s) {
        return str(s.name) + ' (' + str(s.addr) + ')';
      }), TXT_NO_NDI, null);
      $('#dlgNDI .ok').prop('disabled', false);
      $('body').removeClass('waiting');
    });
  },
  ok: function () {
    var i = pickSelected($('#ndiSources'));
    if (i < 0) return;
    $('#sUrl').val(str(ndiPicker.sources()[i].name));
    ensureList(curChannel.input, 'formatOptions').push('-wait_sources ' + ndiPicker.timeout());
    popup.close('dlgNDI');
  }
};

/* -------------------------------------------- Advanced Video Settings: codec */

var videoPresets = ['ultrafast', 'superfast', 'veryfast', 'faster', 'fast', 'medium', 'slow', 'slower', 'veryslow'];
var videoPresetsNV = ['fast', 'llhp', 'hp', 'default', 'bd', 'medium', 'hq', 'llhq', 'll'];
var videoPresetsAMF = ['speed', 'balanced', 'quality'];

var codecTab = {
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
  // Shown with each target: the codec's lists and slider, then its options.
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

/* ------------------------------------------ Advanced Video Settings: overlay */

var overlayTab = {
  reset: function () {
    $('#oEnable').prop('checked', false);
    $('#oVideo').val('');
    $('#oText').val('%timestamp');
    $('#oSize').val('16');
    $('#oColor').val('#00ffff');
    $('#oHSide').val('left'); $('#oVSide').val('top');
    $('#oHPad').val('0'); $('#oVPad').val('0');
  },
  side: function (value, prefix, sideSel, padSel, far) {
    var right = value.indexOf(prefix) === 0;
    $(sideSel).val(right ? far : (far === 'right' ? 'left' : 'top'));
    $(padSel).val(String(ParseInt(right ? value.slice(prefix.length) : value)));
  },
  show: function (filters) {
    overlayTab.reset();
    (isArray(filters) ? filters : []).forEach(function (f) {
      if (typeof f !== 'string') return;
      var m = /^movie='([^']*)'.*overlay=([^:]*):(.*)$/.exec(f);
      if (m) {
        $('#oEnable').prop('checked', true);
        $('#oVideo').val(m[1]);
        overlayTab.side(m[2], 'W-w-', '#oHSide', '#oHPad', 'right');
        overlayTab.side(m[3], 'H-h-', '#oVSide', '#oVPad', 'bottom');
        return;
      }
      m = /^drawtext=(?:text='(.*?)':)?fontsize=([^:]*):fontcolor=([^:]*):x=([^:]*):y=(.*)$/.exec(f);
      if (m) {
        $('#oEnable').prop('checked', true);
        $('#oText').val(m[1] === undefined ? '%timestamp' : m[1]);
        $('#oSize').val(m[2]);
        if (/^#[0-9a-fA-F]{6}$/.test(m[3])) $('#oColor').val(m[3].toLowerCase());
        overlayTab.side(m[4], 'w-tw-', '#oHSide', '#oHPad', 'right');
        overlayTab.side(m[5], 'h-th-', '#oVSide', '#oVPad', 'bottom');
      }
    });
  },
  // The overlay filter, or nothing.
  write: function () {
    if (!$('#oEnable').prop('checked')) return [];
    var right = $('#oHSide').val() === 'right', bottom = $('#oVSide').val() === 'bottom';
    var h = ParseInt($('#oHPad').val()), v = ParseInt($('#oVPad').val());
    var file = $('#oVideo').val().trim(), text = $('#oText').val();
    if (file !== '') {
      return ["movie='" + file + "', setpts=N/TB/FR[logo]; [0][logo]overlay=" + (right ? 'W-w-' : '') + h + ':' +
        (bottom ? 'H-h-' : '') + v];
    }
    if (text !== '') {
      var size = ParseInt($('#oSize').val()) || 16;
      var color = /^#[0-9a-fA-F]{6}$/.test($('#oColor').val()) ? $('#oColor').val() : '#00ffff';
      return ['drawtext=' + (text.toLowerCase() !== '%timestamp' ? "text='" + text + "':" : '') + 'fontsize=' + size +
        ':fontcolor=' + color + ':x=' + (right ? 'w-tw-' : '') + h + ':y=' + (bottom ? 'h-th-' : '') + v];
    }
    return [];
  }
};

/* --------------------------------------------- Advanced Video Settings: misc */

var miscTab = {
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

/* --------------------------------------------------- Advanced Format Settings */

var TS_FORMATS = ['udp', 'omxts', 'http', 'rtpts', 'srt'];

var tsInTab = {
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

var tsOutTab = {
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
    $('#tsPmt').val('0x1000');
    $('#tsProvider').val(jsonRuntime && jsonRuntime.website ? String(jsonRuntime.website) : '');
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
          else if (kv.indexOf('title=') === 0) title = unquote(kv.slice(6));
          else if (kv.indexOf('if=') === 0) src = kv.slice(3);
        });
        if (num > 0 && src !== '') tsOutTab.table.add([num, title, ParseInt(src) + 1]);
      } else if (o === '-mpegts_pmt_start_pid') $('#tsPmt').val(v);
      else if (o === '-streamid') {
        var sid = { '0:': '#tsVideo', '1:': '#tsAudio', '2:': '#tsSub' }[v.slice(0, 2)];
        if (sid) $(sid).val(v.slice(2));
      } else if (o === '-metadata') {
        var m = /^service_provider='(.*)'$/.exec(v);
        if (m) $('#tsProvider').val(m[1]);
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
  pid: function (sel, def) {
    var v = ParseInt($(sel).val());
    return v >= 32 && v <= 8186 && v !== def;
  },
  write: function (output, fmt) {
    var opts = removeOptions(output.formatOptions, tsOutTab.REMOVE);
    if (tsOutTab.active(fmt)) {
      tsOutTab.table.rows().forEach(function (r) {
        if (r[0] === '' || r[2] === '') return;
        opts.push('-program program_num=' + r[0] + (r[1] !== '' ? ":title='" + r[1] + "'" : '') + ':if=' + (ParseInt(r[2]) - 1));
      });
      if (tsOutTab.pid('#tsPmt', 4096)) opts.push('-mpegts_pmt_start_pid ' + $('#tsPmt').val().trim());
      if (tsOutTab.pid('#tsVideo', 256)) opts.push('-streamid 0:' + $('#tsVideo').val().trim());
      if (tsOutTab.pid('#tsAudio', 257)) opts.push('-streamid 1:' + $('#tsAudio').val().trim());
      if (tsOutTab.pid('#tsSub', 258)) opts.push('-streamid 2:' + $('#tsSub').val().trim());
      var prov = $('#tsProvider').val();
      if (prov !== '') opts.push("-metadata service_provider='" + prov + "'");
      if (fmt === 'rtpts' && $('#tsFec').prop('checked')) {
        opts.push('-fec prompeg=l=' + ParseInt($('#tsFecCol').val()) + ':d=' + ParseInt($('#tsFecRow').val()));
      }
    }
    output.formatOptions = opts;
  }
};

var hlsTab = {
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

var srtTab = {
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

var rtmpTab = {
  show: function (t) {
    var r = t.rtmp && typeof t.rtmp === 'object' ? t.rtmp : {};
    $('#rtmpFlash').val(str(r.flashVer)); $('#rtmpSwf').val(str(r.swfUrl));
    $('#rtmpUser').val(str(r.user)); $('#rtmpPass').val(str(r.passwd));
    rtmpTab.formatChanged();
  },
  formatChanged: function () { $('#fmtRtmp .rtmp').prop('disabled', $('#tFormat').val() !== 'rtmp'); },
  write: function (t) {
    var on = t.format === 'rtmp';
    t.rtmp = {
      flashVer: on ? $('#rtmpFlash').val() : '', swfUrl: on ? $('#rtmpSwf').val() : '',
      user: on ? $('#rtmpUser').val() : '', passwd: on ? $('#rtmpPass').val() : ''
    };
  }
};

var formatDialog = {
  open: function () {
    var ch = curChannel, fmt = $('#tFormat').val(), n = ch.output.targets.length;
    tsInTab.show(ch.input.map);
    tsOutTab.show(ch.output.formatOptions, fmt);
    hlsTab.show(ch.output.formatOptions, fmt, n);
    srtTab.show(ch, $('#sFormat').val(), fmt);
    $('#customSrc').val(str(ch.input.customOptions));
    $('#customTgt').val(str(ch.output.customOptions));
    popup.open('dlgFormat');
  },
  ok: function () {
    var ch = curChannel, fmt = $('#tFormat').val(), n = ch.output.targets.length;
    tsInTab.write(ch.input);
    tsOutTab.write(ch.output, fmt);
    hlsTab.write(ch.output, fmt, n);
    srtTab.write(ch);
    ch.input.customOptions = $('#customSrc').val();
    ch.output.customOptions = $('#customTgt').val();
    popup.close('dlgFormat');
  },
  init: function () {
    tsInTab.init();
    tsOutTab.init();
    $('#srtMode').on('change', srtTab.modeChanged);
    $('#dlgFormat .ok').on('click', formatDialog.ok);
    $('#dlgVideo .ok').on('click', function () { popup.close('dlgVideo'); });
    $('#btnFormatAdv').on('click', function () { if (editing) formatDialog.open(); });
    $('#btnVideoAdv').on('click', function () { if (editing) popup.open('dlgVideo'); });
  }
};

/* --------------------------------------------------------- channel editor */

var frameSizes = [
  ['original', 'Original', 0, 0], ['qvga', 'QVGA', 320, 240], ['nhd', 'nHD', 640, 360], ['vga', 'VGA', 640, 480],
  ['sd', 'SDTV', 720, 576], ['hd', 'HD', 1280, 720], ['fhd', 'FullHD', 1920, 1080], ['qhd', '2K', 2048, 1080],
  ['uhd', '4K', 3840, 2160], ['other', 'Other']
];
var mbrFormats = ['rtmp', 'udp', 'omxts', 'rtpts', 'hls', 'dash'];

var SOURCE_FORMATS = [
  ['file', 'Local File/Folder'], ['device', 'V4L2'], ['decklink', 'Decklink'], ['ndi', 'NewTek NDI'],
  ['ftp', 'FTP/SFTP'], ['http', 'HTTP/HTTPS'], ['ytdlp', 'yt-dlp'], ['udp', 'UDP'], ['rtp', 'RTP'], ['srt', 'SRT'],
  ['rtsp', 'RTSP'], ['rtspt', 'RTSP over TCP'], ['rtmp', 'RTMP'], ['mms', 'MMS'], ['mmst', 'MMS over TCP']
];
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
// source formats whose address is written with the format as scheme when it has none
var SCHEME_FORMATS = ['ftp', 'http', 'udp', 'rtp', 'srt', 'rtsp', 'rtspt', 'rtmp', 'mms', 'mmst'];
var SCHEME_SHOWN = { https: 'http', sftp: 'ftp' };

// Shows a value in a drop-down; a stored value that the list does not offer
// (an older or hand-written configuration) gets an entry of its own, so that
// storing the form writes it back unchanged instead of nothing.
function selectValue(sel, value) {
  var $s = $(sel), v = String(value);
  $s.find('option.extra').filter(function () { return this.value !== v; }).remove();
  if (!$s.find('option').filter(function () { return this.value === v; }).length) {
    $s.append($('<option class="extra">').val(v).text(v));
  }
  $s.val(v);
}

function fillSelect(sel, items) {
  var $s = $(sel).empty();
  items.forEach(function (it) { $s.append($('<option>').val(String(it[0])).text(it[1])); });
}

function newChannelObject() {
  var host = pageHost();
  return {
    enable: false,
    input: {
      sources: [{ format: 'file', url: '', video: { options: [] } }],
      formatOptions: [], filters: [], map: [], customOptions: ''
    },
    output: {
      targets: [{
        format: 'udp', url: 'udp://' + host + ':1234',
        video: {
          enable: true, codec: 'h264', width: 0, height: 0, frameRate: 0, keyFrameInterval: 5, quality: 0,
          bitRate: 0, scanType: 0, IP: '127.0.0.1', port: 1234, globalHeader: 'inBand', options: ['-preset:v faster']
        },
        audio: { enable: true, codec: 'aac', sampleRate: 0, channels: 2, bitRate: 0 },
        mux: { bitRate: 0, cbr: false },
        rtmp: { flashVer: '', swfUrl: '', user: '', passwd: '' }
      }],
      formatOptions: [], customOptions: ''
    },
    memo: ''
  };
}

function defaultTargetUrl(fmt, n) {
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

var editor = {
  vRate: null, vBitrate: null, aRate: null, aBitrate: null,

  init: function () {
    var src = SOURCE_FORMATS.map(function (f) { return f[0] === 'device' && isWindows() ? ['device', 'DirectShow'] : f; });
    fillSelect('#sFormat', src);
    fillSelect('#tFormat', TARGET_FORMATS);
    fillSelect('#vCodec', VIDEO_CODECS);
    fillSelect('#aCodec', AUDIO_CODECS);
    fillSelect('#aChannels', AUDIO_CHANNELS);
    fillSelect('#vSize', frameSizes);
    editor.vRate = new Choice('vRateBox', 'vRate', FRAME_RATES, 'edit vfield');
    editor.vBitrate = new Choice('vBitrateBox', 'vBitrate', VIDEO_BITRATES, 'edit vfield');
    editor.aRate = new Choice('aRateBox', 'aRate', SAMPLE_RATES, 'edit afield');
    editor.aBitrate = new Choice('aBitrateBox', 'aBitrate', AUDIO_BITRATES, 'edit afield');

    $('#btnEdit').on('click', editor.edit);
    $('#btnApply').on('click', editor.apply);
    $('#btnCancel').on('click', editor.cancel);
    $('#btnNew').on('click', editor.newChannel);
    $('#btnRemove').on('click', editor.remove);
    $('#tabAdd').on('click', editor.addTarget);
    $('#tabDel').on('click', editor.delTarget);
    $('#tabList').on('click', '.tab', function () {
      var i = ParseInt($(this).attr('data-i'));
      if (i === curTarget) return;
      if (editing) editor.storeTarget();
      editor.chooseTab(i);
    });
    $('#sFormat').on('change', editor.sourceFormatChanged);
    $('#tFormat').on('change', editor.targetFormatChanged);
    $('#vCodec').on('focus', function () { $(this).data('prev', this.value); }).on('change', editor.codecChanged);
    $('#vSize').on('change', function () {
      var fs = frameSizes[this.selectedIndex];
      if (fs[0] !== 'other') { $('#vWidth').val(String(fs[2])); $('#vHeight').val(String(fs[3])); }
      editor.updateEnables();
    });
    $('#vEnable, #aEnable').on('change', editor.updateEnables);
    $('#muxCbr').on('change', function () {
      if (this.checked && ParseInt(editor.vBitrate.val()) === 0) {
        alert(TXT_CBR_ZERO);
        this.checked = false;
      }
    });
    editor.updateEnables();
  },

  // --- showing

  show: function (n, obj) {
    curChannel = obj || channels()[n - 1];
    var ch = curChannel;
    if (!ch) return;
    var st = stateOf(n), t0 = firstTarget(ch);
    buttons.previewEnabled(!(st !== undefined && st !== 'idle' && !(t0 && t0.format === 'html5')));
    var src = firstSource(ch);
    if (!src || !t0) return;
    if (!src.video || typeof src.video !== 'object') src.video = { options: [] };
    if (!isArray(src.video.options)) src.video.options = [];
    ensureList(ch.input, 'formatOptions');
    ensureList(ch.input, 'filters');
    ensureList(ch.input, 'map');
    ensureList(ch.output, 'formatOptions');
    var url = str(src.url), fmt = str(src.format);
    var k = url.indexOf('://');
    var written = k >= 0 ? url.slice(0, k).toLowerCase() : '';
    var scheme = SCHEME_SHOWN[written] || written;
    srcSchemeWritten = written;
    if (editing) {
      var offered = $('#sFormat option:not(.extra)').filter(function () { return this.value === scheme; }).length > 0;
      if (fmt !== 'ytdlp' && k >= 0 && offered) {
        selectValue('#sFormat', scheme);
        $('#sUrl').val(url.slice(k + 3));
      } else {
        selectValue('#sFormat', fmt);
        $('#sUrl').val(url);
        srcSchemeWritten = '';
      }
      $('#sBind').val(ch.bind ? String(ch.bind) : '');
      $('#sMemo').val(str(ch.memo));
    }
    overlayTab.show(ch.input.filters);
    editor.buildTabs();
    editor.chooseTab(0);
  },

  tabLabel: function (url) {
    var u = str(url);
    return u.slice(Math.max(u.lastIndexOf('/'), u.lastIndexOf('\\')) + 1);
  },

  buildTabs: function () {
    var ch = curChannel, $l = $('#tabList').empty();
    var multi = mbrFormats.indexOf(str(firstTarget(ch).format)) >= 0;
    ch.output.targets.forEach(function (t, i) {
      $l.append($('<a class="tab" href="#">').attr('data-i', i).text(editor.tabLabel(t.url) || String(i + 1)));
    });
    $('#targetTabs').toggle(multi);
    $('#tabAdd, #tabDel').toggle(multi && editing);
  },

  chooseTab: function (i) {
    curTarget = i;
    $('#tabList .tab').removeClass('active').eq(i).addClass('active');
    editor.showTarget(curChannel.output.targets[i]);
  },

  showSize: function (w, h) {
    var idx = frameSizes.findIndex(function (f) { return f[0] !== 'other' && f[2] === w && f[3] === h; });
    if (idx < 0) idx = frameSizes.length - 1;
    $('#vSize')[0].selectedIndex = idx;
    $('#vWidth').val(String(w)); $('#vHeight').val(String(h));
    editor.updateEnables();
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
    editor.showSize(ParseInt(v.width), ParseInt(v.height));
    editor.vRate.val(ParseFloat(v.frameRate) ? String(v.frameRate) : 'Original');
    $('#vQuality').val(ParseInt(v.quality) ? String(v.quality) : 'Default');
    editor.vBitrate.val(ParseInt(v.bitRate) ? String(v.bitRate) : 'Default');
    $('#vKeyInt').val(v.keyFrameInterval === undefined ? '' : String(v.keyFrameInterval));
    codecTab.show(codec, v.options, firstSource(curChannel).video.options);
    miscTab.show(v);
    $('#muxBitrate').val(String(ParseInt(m.bitRate)));
    $('#muxCbr').prop('checked', m.cbr === true);
    $('#aEnable').prop('checked', a.enable === true);
    selectValue('#aCodec', str(a.codec).toLowerCase());
    editor.aRate.val(ParseInt(a.sampleRate) ? String(a.sampleRate) : 'Original');
    selectValue('#aChannels', ParseInt(a.channels));
    editor.aBitrate.val(ParseInt(a.bitRate) ? String(a.bitRate) : 'Default');
    editor.updateEnables();
  },

  // --- storing

  storeTarget: function () {
    var ch = curChannel, t = ch.output.targets[curTarget];
    if (!t) return;
    t.format = $('#tFormat').val();
    t.url = $('#tUrl').val();
    var v = t.video && typeof t.video === 'object' ? t.video : (t.video = {});
    v.enable = $('#vEnable').prop('checked');
    v.codec = $('#vCodec').val();
    v.width = ParseInt($('#vWidth').val());
    v.height = ParseInt($('#vHeight').val());
    v.frameRate = ParseFloat(editor.vRate.val());
    v.quality = ParseInt($('#vQuality').val());
    v.bitRate = ParseInt(editor.vBitrate.val());
    v.keyFrameInterval = ParseInt($('#vKeyInt').val());
    v.options = codecTab.write(v.codec, v.width, v.height);
    ch.input.filters = miscTab.write(ch, v, overlayTab.write());
    t.audio = {
      enable: $('#aEnable').prop('checked'),
      codec: $('#aCodec').val(),
      sampleRate: ParseInt(editor.aRate.val()),
      channels: ParseInt($('#aChannels').val()),
      bitRate: ParseInt(editor.aBitrate.val())
    };
    if (!t.mux || typeof t.mux !== 'object') t.mux = {};
    t.mux.bitRate = ParseInt($('#muxBitrate').val());
    t.mux.cbr = $('#muxCbr').prop('checked');
    rtmpTab.write(t);
  },

  // --- editing mode

  updateEnables: function () {
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

  // Moves the source controls into the row of channel n, or back out.
  placeSourceControls: function (n) {
    if (n) {
      table.cell(n, 1).empty().append($('#srcControls'));
      table.cell(n, 2).empty().append($('#sBind'));
      table.cell(n, 3).empty().append($('#sMemo'));
    } else {
      $('#srcHolder').append($('#srcControls'), $('#sBind'), $('#sMemo'));
    }
  },

  begin: function (n, obj) {
    editing = true;
    editor.placeSourceControls(n);
    editor.show(n, obj);
    editor.updateEnables();
  },

  end: function () {
    editing = false;
    editingNew = false;
    popup.closeAll();
    editor.placeSourceControls(0);
    table.fill();
    editor.updateEnables();
  },

  edit: function () {
    if (!selRow) { alert(TXT_SELECT_FIRST); return; }
    if (editing || !channels()[selRow - 1]) return;
    editor.begin(selRow, deepCopy(channels()[selRow - 1]));
  },

  newChannel: function () {
    if (editing) return;
    var n = channels().length;
    if (n >= maxChannels()) { alert(TXT_CHANNELS_FULL); return; }
    table.$body.children('tr').removeClass('selected');
    selRow = n + 1;
    table.row(selRow).addClass('selected');
    table.cell(selRow, 0).text(String(selRow));
    editingNew = true;
    editor.begin(selRow, newChannelObject());
  },

  invalid: function (text, sel) {
    alert(text);
    $(sel).focus();
  },

  apply: function () {
    if (!editing) return;
    var n = selRow, ch = curChannel;
    var addr = $('#sUrl').val().trim();
    var b = ParseInt($('#sBind').val());
    if (addr === '') return editor.invalid(TXT_SRC_EMPTY, '#sUrl');
    // a bind names another configured channel (the one that carries the stream)
    if (b === n || b > maxChannels() || (b > 0 && !channels()[b - 1])) return editor.invalid(TXT_BIND_INVALID, '#sBind');
    if ($('#tUrl').val().trim() === '') return editor.invalid(TXT_TGT_EMPTY, '#tUrl');
    var fmt = $('#sFormat').val();
    if (SCHEME_FORMATS.indexOf(fmt) >= 0 && addr.indexOf('://') < 0) {
      // an "https"/"sftp" address shown under "http"/"ftp" keeps its scheme
      var scheme = SCHEME_SHOWN[srcSchemeWritten] === fmt ? srcSchemeWritten : fmt;
      addr = scheme + '://' + addr;
    }
    ch.enable = false;
    var src = firstSource(ch);
    src.format = fmt;
    src.url = addr;
    editor.storeTarget();
    var targets = ch.output.targets;
    if (mbrFormats.indexOf(str(targets[0].format)) < 0) {
      ch.output.targets = targets.slice(0, 1);
    } else {
      var urls = targets.map(function (t) { return str(t.url); });
      var dup = urls.some(function (u, i) { return urls.indexOf(u) !== i; });
      if (dup && !confirm(TXT_DUP_TARGETS)) return;
    }
    var list = channels();
    var stored = list[n - 1];
    var o = stored && !editingNew ? ParseInt(stored.bind) : 0;
    if (b > 0) ch.bind = b; else delete ch.bind;
    if (b !== o) {
      var host = list[o - 1];
      if (o > 0 && host && host.input && isArray(host.input.sources)) {
        host.input.sources = host.input.sources.filter(function (s, i) { return i === 0 || ParseInt(s.bind) !== n; });
      }
      var guest = list[b - 1];
      if (b > 0 && guest && guest.input) {
        var srcs = ensureList(guest.input, 'sources');
        var has = srcs.some(function (s, i) { return i > 0 && ParseInt(s.bind) === n; });
        if (!has && srcs.length < MAX_SOURCES) srcs.push({ bind: n });
      }
    }
    ch.memo = $('#sMemo').val();
    list[n - 1] = ch;
    editor.end();
    api.upload().done(function (ans) {
      jsonConfig = ans;
      table.fill();
      if (channels()[n - 1]) table.select(n);
    });
  },

  cancel: function () {
    if (!editing) return;
    var wasNew = editingNew;
    editor.end();
    if (wasNew) {
      table.cell(selRow, 0).text('');
      table.select(channels().length);
    } else {
      table.select(selRow);
    }
  },

  // Channel numbers in binds follow a removal: binds to the removed channel
  // go, and numbers above it move down by one.
  renumberBinds: function (removed) {
    channels().forEach(function (ch) {
      var b = ParseInt(ch.bind);
      if (b === removed) delete ch.bind;
      else if (b > removed) ch.bind = b - 1;
      if (ch.input && isArray(ch.input.sources)) {
        ch.input.sources = ch.input.sources.filter(function (s, i) {
          if (i === 0 || !s || s.bind === undefined) return true;
          var sb = ParseInt(s.bind);
          if (sb === removed) return false;
          if (sb > removed) s.bind = sb - 1;
          return true;
        });
      }
    });
  },

  remove: function () {
    if (!selRow) { alert(TXT_SELECT_FIRST); return; }
    if (editing) return;
    var n = selRow, list = channels();
    if (!list[n - 1]) return;
    for (var i = n; i <= list.length; i++) {
      var st = stateOf(i);
      if (st !== undefined && st !== 'idle') { alert(TXT_STOP_ALL_FIRST); return; }
    }
    if (!confirm(TXT_REMOVE)) return;
    list.splice(n - 1, 1);
    editor.renumberBinds(n);
    api.upload().done(function (ans) {
      jsonConfig = ans;
      table.fill();
      if (channels()[n - 1]) table.select(n);
      else table.select(n - 1);
    });
  },

  // --- target tabs

  addTarget: function () {
    var ts = curChannel.output.targets;
    if (!editing || ts.length >= MAX_TARGETS) return;
    editor.storeTarget();
    ts.push(deepCopy(ts[ts.length - 1]));
    editor.buildTabs();
    editor.chooseTab(ts.length - 1);
  },

  delTarget: function () {
    var ts = curChannel.output.targets;
    if (!editing || ts.length < 2) return;
    ts.splice(curTarget, 1);
    editor.buildTabs();
    editor.chooseTab(0);
  },

  // --- format and codec changes

  sourceFormatChanged: function () {
    var fmt = $('#sFormat').val();
    $('#sUrl').val('');
    curChannel.input.formatOptions = [];
    firstSource(curChannel).video.options = [];
    $('#mDecoder').val('none');   // it is shown from those options
    srcSchemeWritten = '';
    if (fmt === 'decklink') deckPicker.open(false);
    else if (fmt === 'ndi') ndiPicker.open();
    else if (fmt === 'udp' || fmt === 'rtp') $('#sUrl').val('0.0.0.0:1234');
    else if (fmt === 'srt') $('#sUrl').val(pageHost() + ':1234');
  },

  targetFormatChanged: function () {
    var fmt = $('#tFormat').val(), ch = curChannel;
    editor.storeTarget();
    var t = ch.output.targets[curTarget];
    t.format = fmt;
    t.url = defaultTargetUrl(fmt, selRow);
    t.video.enable = true;
    t.video.codec = fmt === 'httpmjpg' ? 'mjpeg' : 'h264';
    t.video.quality = 0;
    t.video.options = [];
    t.mux = { bitRate: 0, cbr: false };
    t.audio = { enable: fmt !== 'httpmjpg', codec: 'aac', sampleRate: 0, channels: 2, bitRate: t.audio.bitRate };
    ch.output.targets = [t];
    ch.output.formatOptions = [];
    editor.buildTabs();
    editor.chooseTab(0);
    if (fmt === 'decklink') deckPicker.open(true);
  },

  codecChanged: function () {
    var codec = $('#vCodec').val(), prev = $('#vCodec').data('prev');
    if ((codec === 'omx264' || codec === 'omx265') && str(globals().omxPath) === '') {
      alert(TXT_OMX);
      if (prev !== undefined) $('#vCodec').val(prev);
      return;
    }
    $('#vCodec').data('prev', codec);
    editor.storeTarget();
    var v = curChannel.output.targets[curTarget].video;
    v.codec = codec;
    if (codec === 'copy') {
      v.width = 0; v.height = 0; v.frameRate = 0; v.quality = 0; v.bitRate = 0; v.keyFrameInterval = 5;
    }
    v.options = [];
    editor.showTarget(curChannel.output.targets[curTarget]);
  }
};

/* --------------------------------------------------------------- start-up */

function showWarning() {
  var g = jsonConfig && jsonConfig.global;
  var pass = g && typeof g === 'object' ? str(g.loginPass) : '';
  var $w = $('#warning').empty();
  if (pass !== '') { $w.hide(); return; }
  $w.append($('<b>').text('CAUTION'), document.createTextNode(' Your ' + str(jsonRuntime.appAbbr) +
    ' web interface is INSECURE! Channel configuration details and HTTP streams could be exposed to unexpected' +
    ' streamers over the internet. Please set up web login password in Global Settings immediately!'));
  $w.show();
}

function loaded() {
  popup.init();
  buttons.init();
  settings.init();
  codecTab.init();
  formatDialog.init();
  $('#dlgDecklink .ok').on('click', deckPicker.ok);
  $('#dlgNDI .ok').on('click', ndiPicker.ok);
  $('#ndiSearch').on('click', ndiPicker.search);
  $('#tFormat').on('change', rtmpTab.formatChanged);

  setInterval(statusPoll.poll, STATUS_PERIOD_MS);
  api.runtime().done(function (rt) {
    jsonRuntime = rt;
    document.title = str(rt.title);
    table.build(maxChannels());
    editor.init();
    logo.show(str(rt.app));
    $('#appVersion').text('Version ' + str(rt.version));
    api.config().done(function (cfg) {
      jsonConfig = cfg;
      showWarning();
      settings.fill();
      table.fill();
      statusPoll.poll();
      table.resizable();
      if (channels().length) table.select(1);
    });
  });
}

$(loaded);
