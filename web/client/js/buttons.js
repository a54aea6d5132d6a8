/*
 * The channel buttons below the list: start, stop (each also for all
 * channels, from its drop-down), preview with the page's player, and the
 * online manual.
 */
import { str, TXT_SELECT_FIRST } from './util.js';
import { state, channels, stateOf, firstTarget } from './state.js';
import { api } from './api.js';
import { chlist } from './chlist.js';
import { showPreview } from './status.js';
import { notice } from './notice.js';

var MANUAL_PATH = '/manual/';
var PLAYER_RETRIES = 20;
var PLAYER_RETRY_MS = 1000;
var TXT_ACTION_ERRORS = { start: 'Channel start error! ', stop: 'Channel stop error! ', preview: 'Channel preview error! ' };
var HTTP_BAD_REQUEST = 400;

function setEnable(n, action) {
  var ch = channels()[n - 1];
  if (ch && action !== 'preview') ch.enable = action === 'start';
}

// Sends a start, stop or preview of channel n. The service stores a start's
// or a stop's "enable" whenever it answers the request, also when it refuses
// the action (400), and the page's copy follows it then, and only then. A
// failure is told on the channel's line of the notice box; a success there
// clears it.
function channelAction(n, action) {
  var key = 'channel' + n;
  return api.channel(n, action).done(function () {
    setEnable(n, action);
    notice.clear(key);
  }).fail(function (f, xhr) {
    if (!f.login && xhr && xhr.status === HTTP_BAD_REQUEST) setEnable(n, action);
    notice.failed(key, TXT_ACTION_ERRORS[action] + 'Channel ' + n + ': ', f);
  });
}

export var buttons = {
  previewLabel: function (t) { $('#btnPreview span').text(t); },
  start: function () {
    if (!state.selRow) { alert(TXT_SELECT_FIRST); return; }
    var n = state.selRow, st = stateOf(n), ch = channels()[n - 1];
    if (!ch || (st !== undefined && st !== 'idle')) return;
    channelAction(n, 'start').done(function () {
      chlist.setStatus(n, 'running', 'RUNNING');
    });
  },
  startAll: function (e) {
    e.preventDefault(); e.stopPropagation();
    channels().forEach(function (ch, i) {
      var st = stateOf(i + 1);
      if (st === undefined || st === 'idle') {
        channelAction(i + 1, 'start').done(function () { chlist.setStatus(i + 1, 'running', 'RUNNING'); });
      }
    });
    $(this).closest('.dropMenu').stop(true, true).slideUp(100);
  },
  stop: function () {
    if (!state.selRow) { alert(TXT_SELECT_FIRST); return; }
    var n = state.selRow, ch = channels()[n - 1];
    if (!ch) return;
    // A preview that this page is showing is ended through the player; one
    // started elsewhere (or before a reload) is stopped directly.
    if (stateOf(n) === 'preview' && state.playerOn) buttons.preview();
    else channelAction(n, 'stop');
  },
  stopAll: function (e) {
    e.preventDefault(); e.stopPropagation();
    channels().forEach(function (ch, i) { channelAction(i + 1, 'stop'); });
    $(this).closest('.dropMenu').stop(true, true).slideUp(100);
  },
  preview: function () {
    var n = state.selRow, st = stateOf(n), ch = channels()[n - 1];
    var player = $('#player')[0];
    if (!n || st === undefined || !ch) return;
    if (state.playerOn) {
      state.playerOn = false;
      if (st === 'preview') channelAction(n, 'stop');
      player.pause();
      player.removeAttribute('src');
      player.load();
      $('#player').hide();
      $('#logo').show();
      buttons.previewLabel('Preview');
      showPreview();
      return;
    }
    var t = firstTarget(ch);
    if (st === 'idle') {
      channelAction(n, 'preview').done(function () {
        chlist.setStatus(n, 'preview', 'PREVIEW');
        buttons.play(location.protocol + '//' + location.hostname + ':' + state.jsonRuntime.previewPort);
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
    state.playerOn = true;
    buttons.startPlayer(player);
    buttons.previewLabel('Stop');
    showPreview();
  },
  startPlayer: function (player) {
    var p = player.play();
    if (p && p.catch) p.catch(function () {});
  },
  // The transcoder needs a moment before it serves the stream: a player that
  // finds nothing there yet tries again, for a while.
  playerError: function () {
    var player = this;
    if (!state.playerOn || buttons.playTries >= PLAYER_RETRIES) return;
    buttons.playTries++;
    setTimeout(function () {
      if (!state.playerOn) return;
      player.src = buttons.playSrc;
      buttons.startPlayer(player);
    }, PLAYER_RETRY_MS);
  },
  manual: function () {
    var rt = state.jsonRuntime;
    var site = rt && rt.website ? rt.website : '';
    window.open('https://' + site + MANUAL_PATH, '_blank', 'noopener');
  },
  init: function () {
    $('#btnStart').on('click', buttons.start);
    $('#btnStartAll').on('click', buttons.startAll);
    $('#btnStop').on('click', buttons.stop);
    $('#btnStopAll').on('click', buttons.stopAll);
    $('#btnPreview').on('click', buttons.preview);
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
