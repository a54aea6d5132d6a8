/*
 * The channel editor: showing a channel, the editing mode with the source
 * controls in the channel's row, "Edit", "Apply", "Cancel", "New Channel"
 * and "Remove Channel", and the change of source format. The target panel is
 * editor/targets.js, the binds editor/binds.js.
 */
import { ParseInt, deepCopy, isArray, ensureList, str, pageHost, TXT_SELECT_FIRST } from '../util.js';
import { state, channels, firstSource, firstTarget, stateOf, maxChannels, isWindows, takeDocument } from '../state.js';
import { api, versionOf } from '../api.js';
import { popup, selectValue, fillSelect } from '../ui.js';
import { chlist } from '../chlist.js';
import { showPreview } from '../status.js';
import { notice } from '../notice.js';
import { deckPicker, ndiPicker, fourcc } from '../pickers.js';
import { overlayTab } from '../video/overlay.js';
import { targets, mbrFormats, newTarget } from './targets.js';
import { applyBind, renumberBinds } from './binds.js';

var TXT_SRC_EMPTY = 'Setting Error: Source URL empty!';
var TXT_BIND_INVALID = 'Error: Bind channel invalid!';
var TXT_TGT_EMPTY = 'Setting Error: Target URL empty!';
var TXT_DUP_TARGETS = 'Duplicated target URLs found in multi-bitrate output!\nSure to continue?';
var TXT_STOP_ALL_FIRST = 'Please stop all channels before removing this channel.';
var TXT_REMOVE = 'Warning: Remove this channel?';
var TXT_CHANNELS_FULL = 'Every channel is configured already: remove a channel to make room for a new one.';
var TXT_APPLY_ERROR = 'Apply error! Channel %d was not saved: ';
var TXT_APPLY_AGAIN = 'The edit is still open: Apply again, or Cancel.';
var TXT_REMOVE_ERROR = 'Remove Channel error! Channel %d was not removed: ';
var KEY_UPLOAD = 'upload';

var SOURCE_FORMATS = [
  ['file', 'Local File/Folder'], ['device', 'V4L2'], ['decklink', 'Decklink'], ['ndi', 'NewTek NDI'],
  ['ftp', 'FTP/SFTP'], ['http', 'HTTP/HTTPS'], ['ytdlp', 'yt-dlp'], ['udp', 'UDP'], ['rtp', 'RTP'], ['srt', 'SRT'],
  ['rtsp', 'RTSP'], ['rtspt', 'RTSP over TCP'], ['rtmp', 'RTMP'], ['mms', 'MMS'], ['mmst', 'MMS over TCP']
];
// source formats whose address is written with the format as scheme when it has none
var SCHEME_FORMATS = ['ftp', 'http', 'udp', 'rtp', 'srt', 'rtsp', 'rtspt', 'rtmp', 'mms', 'mmst'];
var SCHEME_SHOWN = { https: 'http', sftp: 'ftp' };

function newChannelObject() {
  return {
    enable: false,
    input: {
      sources: [{ format: 'file', url: '', video: { options: [] } }],
      formatOptions: [], filters: [], map: [], customOptions: ''
    },
    output: { targets: [newTarget()], formatOptions: [], customOptions: '' },
    memo: ''
  };
}

export var editor = {
  init: function () {
    var src = SOURCE_FORMATS.map(function (f) { return f[0] === 'device' && isWindows() ? ['device', 'DirectShow'] : f; });
    fillSelect('#sFormat', src);
    targets.init();

    $('#btnEdit').on('click', editor.edit);
    $('#btnApply').on('click', editor.apply);
    $('#btnCancel').on('click', editor.cancel);
    $('#btnNew').on('click', editor.newChannel);
    $('#btnRemove').on('click', editor.remove);
    $('#sFormat').on('change', editor.sourceFormatChanged);
    chlist.onShow(function (n) { editor.show(n); });
    chlist.onEdit(editor.edit);
    popup.onEscape(function () { if (state.editing) editor.cancel(); });
    targets.updateEnables();
  },

  // --- showing

  show: function (n, obj) {
    state.curChannel = obj || channels()[n - 1];
    var ch = state.curChannel;
    if (!ch) return;
    showPreview();
    var src = firstSource(ch), t0 = firstTarget(ch);
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
    state.srcSchemeWritten = written;
    if (state.editing) {
      var offered = $('#sFormat option:not(.extra)').filter(function () { return this.value === scheme; }).length > 0;
      if (fmt !== 'ytdlp' && k >= 0 && offered) {
        selectValue('#sFormat', scheme);
        $('#sUrl').val(url.slice(k + 3));
      } else {
        selectValue('#sFormat', fmt);
        $('#sUrl').val(url);
        state.srcSchemeWritten = '';
      }
      $('#sBind').val(ch.bind ? String(ch.bind) : '');
      $('#sMemo').val(str(ch.memo));
    }
    overlayTab.show(ch.input.filters);
    targets.buildTabs();
    targets.chooseTab(0);
  },

  // --- editing mode

  // Moves the source controls into the row of channel n, or back out.
  placeSourceControls: function (n) {
    if (n) {
      chlist.cell(n, 1).empty().append($('#srcControls'));
      chlist.cell(n, 2).empty().append($('#sBind'));
      chlist.cell(n, 3).empty().append($('#sMemo'));
    } else {
      $('#srcHolder').append($('#srcControls'), $('#sBind'), $('#sMemo'));
    }
  },

  begin: function (n, obj) {
    state.editing = true;
    editor.placeSourceControls(n);
    editor.show(n, obj);
    targets.updateEnables();
  },

  end: function () {
    state.editing = false;
    state.editingNew = false;
    popup.closeAll();
    editor.placeSourceControls(0);
    chlist.fill();
    targets.updateEnables();
  },

  edit: function () {
    var n = state.selRow;
    if (!n) { alert(TXT_SELECT_FIRST); return; }
    if (state.editing || api.uploading() || !channels()[n - 1]) return;
    editor.begin(n, deepCopy(channels()[n - 1]));
  },

  newChannel: function () {
    if (state.editing || api.uploading()) return;
    var n = channels().length;
    if (n >= maxChannels()) { alert(TXT_CHANNELS_FULL); return; }
    chlist.highlight(n + 1);
    chlist.cell(n + 1, 0).text(String(n + 1));
    state.editingNew = true;
    editor.begin(n + 1, newChannelObject());
  },

  invalid: function (text, sel) {
    alert(text);
    $(sel).focus();
  },

  apply: function () {
    if (!state.editing || api.uploading()) return;
    var n = state.selRow, ch = state.curChannel;
    var addr = $('#sUrl').val().trim();
    var b = ParseInt($('#sBind').val());
    if (addr === '') return editor.invalid(TXT_SRC_EMPTY, '#sUrl');
    // a bind names another configured channel (the one that carries the stream)
    if (b === n || b > maxChannels() || (b > 0 && !channels()[b - 1])) return editor.invalid(TXT_BIND_INVALID, '#sBind');
    if ($('#tUrl').val().trim() === '') return editor.invalid(TXT_TGT_EMPTY, '#tUrl');
    // the overlay is read now: one that cannot be carried is not written
    var overlayProblem = overlayTab.problem();
    if (overlayProblem) return alert(overlayProblem);
    var fmt = $('#sFormat').val();
    if (SCHEME_FORMATS.indexOf(fmt) >= 0 && addr.indexOf('://') < 0) {
      // an "https"/"sftp" address shown under "http"/"ftp" keeps its scheme
      var scheme = SCHEME_SHOWN[state.srcSchemeWritten] === fmt ? state.srcSchemeWritten : fmt;
      addr = scheme + '://' + addr;
    }
    ch.enable = false;
    var src = firstSource(ch);
    src.format = fmt;
    src.url = addr;
    targets.storeTarget();
    var ts = ch.output.targets;
    if (mbrFormats.indexOf(str(ts[0].format)) < 0) {
      ch.output.targets = ts.slice(0, 1);
    } else {
      var urls = ts.map(function (t) { return str(t.url); });
      var dup = urls.some(function (u, i) { return urls.indexOf(u) !== i; });
      if (dup && !confirm(TXT_DUP_TARGETS)) return;
    }
    // The edit goes into a copy of the document, which is uploaded; the
    // page's own copy takes the service's answer once it has accepted it.
    // Until then the edit stays open, and after a failure too.
    var doc = deepCopy(state.jsonConfig);
    var list = ensureList(doc, 'channels');
    var stored = channels()[n - 1];
    applyBind(list, n, ch, b, stored && !state.editingNew ? ParseInt(stored.bind) : 0);
    ch.memo = $('#sMemo').val();
    list[n - 1] = ch;
    api.upload(doc).done(function (ans, xhr) {
      takeDocument(ans, versionOf(xhr));
      notice.clear(KEY_UPLOAD);
      if (state.editing) editor.end();
      chlist.fill();
      if (channels()[n - 1]) chlist.select(n);
    }).fail(function (f) {
      notice.failed(KEY_UPLOAD, TXT_APPLY_ERROR.replace('%d', String(n)), f, state.editing ? TXT_APPLY_AGAIN : '');
    });
  },

  cancel: function () {
    if (!state.editing) return;
    var wasNew = state.editingNew;
    editor.end();
    if (wasNew) {
      chlist.cell(state.selRow, 0).text('');
      chlist.select(channels().length);
    } else {
      chlist.select(state.selRow);
    }
  },

  remove: function () {
    if (!state.selRow) { alert(TXT_SELECT_FIRST); return; }
    if (state.editing || api.uploading()) return;
    var n = state.selRow, list = channels();
    if (!list[n - 1]) return;
    for (var i = n; i <= list.length; i++) {
      var st = stateOf(i);
      if (st !== undefined && st !== 'idle') { alert(TXT_STOP_ALL_FIRST); return; }
    }
    if (!confirm(TXT_REMOVE)) return;
    var doc = deepCopy(state.jsonConfig);
    var left = ensureList(doc, 'channels');
    left.splice(n - 1, 1);
    renumberBinds(left, n);
    api.upload(doc).done(function (ans, xhr) {
      takeDocument(ans, versionOf(xhr));
      notice.clear(KEY_UPLOAD);
      chlist.fill();
      if (channels()[n - 1]) chlist.select(n);
      else chlist.select(n - 1);
    }).fail(function (f) {
      notice.failed(KEY_UPLOAD, TXT_REMOVE_ERROR.replace('%d', String(n)), f);
    });
  },

  // --- source format change

  sourceFormatChanged: function () {
    var fmt = $('#sFormat').val(), ch = state.curChannel;
    $('#sUrl').val('');
    ch.input.formatOptions = [];
    firstSource(ch).video.options = [];
    $('#mDecoder').val('none');   // it is shown from those options
    state.srcSchemeWritten = '';
    if (fmt === 'decklink') deckPicker.open(false, editor.deckLinkChosen);
    else if (fmt === 'ndi') ndiPicker.open(editor.ndiChosen);
    else if (fmt === 'udp' || fmt === 'rtp') $('#sUrl').val('0.0.0.0:1234');
    else if (fmt === 'srt') $('#sUrl').val(pageHost() + ':1234');
  },

  // A DeckLink capture card chosen as the source, with the mode to open it in.
  deckLinkChosen: function (dev, mode) {
    $('#sUrl').val(str(dev.name));
    if (mode) ensureList(state.curChannel.input, 'formatOptions').push('-format_code ' + fourcc(mode.fmtcode));
  },

  // An NDI source chosen, found within the search timeout.
  ndiChosen: function (source, timeout) {
    $('#sUrl').val(str(source.name));
    ensureList(state.curChannel.input, 'formatOptions').push('-wait_sources ' + timeout);
  }
};
