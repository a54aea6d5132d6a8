/*
 * The status poll: the state icon and text of every channel, the CPU and GPU
 * load panels, and the one rule that enables the "Preview" button.
 */
import { isArray, str } from './util.js';
import { state, stateOf, firstTarget } from './state.js';
import { api, TXT_UNREACHABLE } from './api.js';
import { chlist } from './chlist.js';
import { notice, because } from './notice.js';
import { address } from './address.js';

var STATUS_PERIOD_MS = 1000;
var CPU_CELLS_PER_ROW = 16;
var TXT_STATUS_UNREACHABLE = 'The service cannot be reached: the states shown are the last known.';
var TXT_STATUS_LOGIN = 'The login has ended: the states shown are the last known.';
var TXT_STATUS_ERROR = 'Status error! ';

var polling = false;   // a "/status" is out
var paused = 0;        // searches of this page that hold the service's one thread
var sent = 0;          // the number of the last "/status" sent
var watchers = [];     // called with each answer shown and the number of its request
var unanswered = false;   // the last poll got no answer

// Whether "Preview" does something for channel n shown as ch: it ends the
// preview this page is playing; it starts one on an idle channel (or one
// whose state is not known yet); it plays the first target of an HTML5
// channel. A running, stopping or previewing channel otherwise has nothing
// to preview, so the button is disabled.
export function previewAllowed(n, ch) {
  if (state.playerOn) return true;
  var st = stateOf(n), t = firstTarget(ch);
  return st === undefined || st === 'idle' || !!(t && t.format === 'html5');
}

// Applies that rule to the button, for the channel shown.
export function showPreview() {
  if (state.selRow > 0 && state.curChannel) {
    $('#btnPreview').prop('disabled', !previewAllowed(state.selRow, state.curChannel));
  }
}

export var statusPoll = {
  start: function () { setInterval(statusPoll.poll, STATUS_PERIOD_MS); },
  // One "/status" at a time: while one is out, or while a search of this
  // page keeps the service busy, the next tick sends nothing. While no
  // answer comes, the page says so, and the first answer mends it.
  poll: function () {
    if (polling || paused) return;
    polling = true;
    var seq = ++sent;
    api.status().done(function (ans) {
      notice.clear('status');
      $('#chTable').removeClass('stale');
      address.pollAnswered();
      // back after a time without: the service may have started anew
      if (unanswered) api.syncVersion();
      unanswered = false;
      statusPoll.show(ans);
      watchers.forEach(function (fn) { fn(seq); });
    }).fail(function (f) {
      $('#chTable').addClass('stale');
      if (!f.login) unanswered = true;
      // after a move of the web interface, the page says where it went instead
      if (!f.login && address.pollFailed()) notice.clear('status');
      else if (f.login) notice.set('status', TXT_STATUS_LOGIN, true);
      else if (f.text === TXT_UNREACHABLE) notice.set('status', TXT_STATUS_UNREACHABLE);
      else notice.set('status', TXT_STATUS_ERROR + because(f.text));
    }).always(function () { polling = false; });
  },
  // The number of the last "/status" sent: an answer to a later one tells
  // of what the service did after this moment.
  sentCount: function () { return sent; },
  // fn(seq) after each answer has been shown
  watch: function (fn) { watchers.push(fn); },
  // Around a request that the service answers only after a while (a search):
  // the poll waits for it rather than call the service unreachable.
  pause: function () { paused++; },
  resume: function () { if (paused > 0) paused--; },
  show: function (ans) {
    if (!ans || !isArray(ans.channels)) return;
    state.channelStatus = ans.channels;
    var rows = chlist.rows();
    state.channelStatus.forEach(function (s, i) {
      if (i < rows && s) chlist.setStatus(i + 1, s.state, str(s.status));
    });
    showPreview();
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
