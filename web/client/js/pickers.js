/*
 * The DeckLink and NDI pickers: each asks the service for what it finds,
 * lists it, and on "OK" hands the choice to the panel that opened it.
 */
import { ParseInt, isArray, str } from './util.js';
import { state } from './state.js';
import { api } from './api.js';
import { popup, pickList, pickSelected, pickSearching } from './ui.js';
import { notice, because } from './notice.js';
import { statusPoll } from './status.js';

var TXT_NO_DL_FORMAT = 'No device format selected';
var TXT_NO_DL_DEVICE = 'No Decklink devices found';
var TXT_NO_NDI = 'No NDI sources found';
var TXT_DL_ERROR = 'DeckLink search error! The search failed: ';
var TXT_NDI_ERROR = 'NDI search error! The search failed: ';

// A search that failed: told in the picker's table and in the notice box.
function searchFailed($table, key, what, f) {
  $table.find('tbody').empty().append($('<tr class="none failed">').append($('<td>').text('Search failed: ' + because(f.text))));
  notice.failed(key, what, f);
}

// the four characters of a DeckLink mode code, most significant byte first
export function fourcc(code) {
  var c = Number(code) >>> 0;
  return String.fromCharCode((c >>> 24) & 255, (c >>> 16) & 255, (c >>> 8) & 255, c & 255);
}

export var deckPicker = {
  forTarget: false,
  chosen: null,
  modeText: function (m) {
    return m.width + 'x' + m.height + (m.interlaced ? 'i' : 'p') + ' @ ' + m.numFrame + '/' + m.denFrame + ' fps';
  },
  devices: function () { return state.decklink && isArray(state.decklink.devices) ? state.decklink.devices : []; },
  // Opens the picker for a target or a source; chosen(device, mode) takes the
  // choice on "OK" (mode null when the source's device lists none).
  open: function (forTarget, chosen) {
    deckPicker.forTarget = forTarget;
    deckPicker.chosen = chosen;
    $('#dlgDecklink .ok').prop('disabled', true);
    pickSearching($('#dlDevices'));
    $('#dlFormats tbody').empty();
    popup.open('dlgDecklink');
    statusPoll.pause();
    api.decklink(forTarget ? 1 : 0).always(statusPoll.resume).done(function (ans) {
      state.decklink = ans;
      notice.clear('decklink');
      var devs = deckPicker.devices();
      pickList($('#dlDevices'), devs.map(function (d) { return str(d.name); }), TXT_NO_DL_DEVICE, function (i) {
        var modes = isArray(devs[i].formats) ? devs[i].formats : [];
        pickList($('#dlFormats'), modes.map(deckPicker.modeText), '', null);
      });
      $('#dlgDecklink .ok').prop('disabled', false);
    }).fail(function (f) {
      searchFailed($('#dlDevices'), 'decklink', TXT_DL_ERROR, f);
    });
  },
  ok: function () {
    var d = pickSelected($('#dlDevices'));
    if (d < 0) return;
    var dev = deckPicker.devices()[d];
    var modes = isArray(dev.formats) ? dev.formats : [];
    var m = pickSelected($('#dlFormats'));
    var mode = m >= 0 ? modes[m] : null;
    if (deckPicker.forTarget && !mode) { alert(TXT_NO_DL_FORMAT); return; }
    if (deckPicker.chosen) deckPicker.chosen(dev, mode);
    popup.close('dlgDecklink');
  },
  init: function () {
    $('#dlgDecklink .ok').on('click', deckPicker.ok);
  }
};

export var ndiPicker = {
  chosen: null,
  sources: function () { return state.ndi && isArray(state.ndi.sources) ? state.ndi.sources : []; },
  timeout: function () { return Math.max(1, ParseInt($('#ndiTimeout').val())); },
  // Opens the picker and searches; chosen(source, timeout) takes the choice on "OK".
  open: function (chosen) {
    ndiPicker.chosen = chosen;
    $('#dlgNDI .ok').prop('disabled', true);
    popup.open('dlgNDI');
    ndiPicker.search();
  },
  search: function () {
    pickSearching($('#ndiSources'));
    $('body').addClass('waiting');
    var secs = ndiPicker.timeout();
    $('#ndiTimeout').val(String(secs));
    statusPoll.pause();
    api.ndi(secs).always(statusPoll.resume).always(function () {
      $('body').removeClass('waiting');
    }).done(function (ans) {
      state.ndi = ans;
      notice.clear('ndi');
      pickList($('#ndiSources'), ndiPicker.sources().map(function (s) {
        return str(s.name) + ' (' + str(s.addr) + ')';
      }), TXT_NO_NDI, null);
      $('#dlgNDI .ok').prop('disabled', false);
    }).fail(function (f) {
      searchFailed($('#ndiSources'), 'ndi', TXT_NDI_ERROR, f);
    });
  },
  ok: function () {
    var i = pickSelected($('#ndiSources'));
    if (i < 0) return;
    if (ndiPicker.chosen) ndiPicker.chosen(ndiPicker.sources()[i], ndiPicker.timeout());
    popup.close('dlgNDI');
  },
  init: function () {
    $('#dlgNDI .ok').on('click', ndiPicker.ok);
    $('#ndiSearch').on('click', ndiPicker.search);
  }
};
