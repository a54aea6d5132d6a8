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

var MANUAL_PATH = '/manual/';
var PLAYER_RETRIES = 20;
var PLAYER_RETRY_MS = 1000;
var TXT_START_ERROR = 'Channel start error! ';

export var buttons = {
  previewLabel: function (t) { $('#btnPreview span').text(t); },
  start: function () {
    if (!state.selRow) { alert(TXT_SELECT_FIRST); return; }
    var n = state.selRow, st = stateOf(n), ch = channels()[n - 1];
    if (!ch || (st !== undefined && st !== 'idle')) return;
    ch.enable = true;
    api.channel(n, 'start').done(function () {
      chlist.setStatus(n, 'running', 'RUNNING');
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
        api.channel(i + 1, 'start').done(function () { chlist.setStatus(i + 1, 'running', 'RUNNING'); });
      }
    });
    $(this).closest('.dropMenu').stop(true, true).slideUp(100);
  },
  stop: function () {
    if (!state.selRow) { alert(TXT_SELECT_FIRST); return; }
    var n = state.selRow, ch = channels()[n - 1];
    if (!ch) return;
    ch.enable = false;
    // A preview that this page is showing is ended through the player; one
    // started elsewhere (or before a reload) is stopped directly.
    if (stateOf(n) === 'preview' && state.playerOn) buttons.preview();
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
    var n = state.selRow, st = stateOf(n), ch = channels()[n - 1];
    var player = $('#player')[0];
    if (!n || st === undefined || !ch) return;
    if (state.playerOn) {
      state.playerOn = false;
      if (st === 'preview') api.channel(n, 'stop');
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
      api.channel(n, 'preview').done(function () {
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
