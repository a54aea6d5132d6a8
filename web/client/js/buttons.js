/*
 * The channel buttons below the list: start, stop (each also for all
 * channels, from its drop-down), preview with the page's player, and the
 * online manual.
 */
import { str, oneLine, TXT_SELECT_FIRST } from './util.js';
import { state, channels, stateOf, firstTarget } from './state.js';
import { api, versionOf, followVersion } from './api.js';
import { chlist } from './chlist.js';
import { showPreview, statusPoll } from './status.js';
import { notice, because } from './notice.js';

var MANUAL_PATH = '/manual/';
var PLAYER_RETRIES = 20;
var PLAYER_RETRY_MS = 1000;
var TXT_ACTION_ERRORS = { start: 'Channel start error! ', stop: 'Channel stop error! ', preview: 'Channel preview error! ' };
var TXT_NOT_KEPT = { start: 'Channel start not saved! ', stop: 'Channel stop not saved! ' };
var HTTP_BAD_REQUEST = 400;
var MEDIA_ERR_DECODE = 3;
var TXT_NOT_PLAYED = 'The preview could not be played: ';
var WHY_PREVIEW_ENDED = 'the channel\'s preview ended before anything played (its channel log says why).';
var WHY_NO_STREAM = 'no stream that the browser can play came from %s.';
var WHY_DECODE = 'the browser could not decode the stream.';

// The player's own state: what it plays, for which preview, whether
// anything has played, and the caption that says why nothing does.
var player = {
  src: '',
  tries: 0,
  channel: 0,      // the channel whose preview this page started, 0 for an HTML5 target played directly
  since: 0,        // the status polls sent before that preview was answered
  played: false,
  failed: false
};

// Stops the player and lets go of its stream.
function emptyPlayer(video) {
  video.pause();
  video.removeAttribute('src');
  video.load();
}

function playerSays(why) {
  var video = $('#player')[0];
  player.failed = true;   // the retries look no further
  emptyPlayer(video);
  video.controls = false;   // no spinner over a player that waits for nothing
  $('#playerMsg').text(TXT_NOT_PLAYED + why).show();
}

function setEnable(n, action) {
  var ch = channels()[n - 1];
  if (ch && action !== 'preview') ch.enable = action === 'start';
}

// Sends a start, stop or preview of channel n. The service stores a start's
// or a stop's "enable" whenever it answers the request, also when it refuses
// the action (400), and the page's copy follows it then, and only then, with
// the document's new number (api.js). A failure is told on the channel's line
// of the notice box, and so is a start or stop that acted but whose save
// failed (a 200 with a text: the change will not survive a restart, and
// why); a plain success clears the line.
function channelAction(n, action) {
  var key = 'channel' + n;
  return api.channel(n, action).done(function (text, xhr) {
    setEnable(n, action);
    followVersion(versionOf(xhr));
    var why = typeof text === 'string' ? oneLine(text) : '';
    if (why !== '' && TXT_NOT_KEPT[action]) notice.set(key, TXT_NOT_KEPT[action] + 'Channel ' + n + ': ' + because(why));
    else notice.clear(key);
  }).fail(function (f, xhr) {
    if (!f.login && xhr && xhr.status === HTTP_BAD_REQUEST) {
      setEnable(n, action);
      followVersion(versionOf(xhr));
    }
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
    var video = $('#player')[0];
    if (!n || st === undefined || !ch) return;
    if (state.playerOn) {
      state.playerOn = false;
      if (st === 'preview') channelAction(n, 'stop');
      emptyPlayer(video);
      $('#player, #playerMsg').hide();
      $('#logo').show();
      buttons.previewLabel('Preview');
      showPreview();
      return;
    }
    var t = firstTarget(ch);
    if (st === 'idle') {
      channelAction(n, 'preview').done(function () {
        chlist.setStatus(n, 'preview', 'PREVIEW');
        buttons.play(location.protocol + '//' + location.hostname + ':' + state.jsonRuntime.previewPort, n);
      });
    } else if (t && t.format === 'html5') {
      buttons.play(str(t.url), 0);
    }
  },
  // Plays src, the preview of channel n (0: an HTML5 target played directly).
  play: function (src, n) {
    var video = $('#player')[0];
    $('#logo').hide();
    $('#playerMsg').hide().text('');
    player.src = src;
    player.tries = 0;
    player.channel = n || 0;
    player.since = statusPoll.sentCount();
    player.played = false;
    player.failed = false;
    video.src = src;
    video.controls = true;
    $('#player').show();
    state.playerOn = true;
    buttons.startPlayer(video);
    buttons.previewLabel('Stop');
    showPreview();
  },
  startPlayer: function (video) {
    var p = video.play();
    if (p && p.catch) p.catch(function () {});
  },
  playerPlaying: function () {
    if (!state.playerOn) return;
    player.played = true;
    player.failed = false;
    $('#playerMsg').hide();
  },
  // The transcoder needs a moment before it serves the stream: a player that
  // finds nothing there yet tries again, for a while, and then says so. A
  // stream that played and then cannot be decoded is not waited for.
  playerError: function () {
    var video = this;
    if (!state.playerOn || player.failed) return;
    if (player.played && video.error && video.error.code === MEDIA_ERR_DECODE) { playerSays(WHY_DECODE); return; }
    if (player.tries >= PLAYER_RETRIES) { playerSays(WHY_NO_STREAM.replace('%s', player.src)); return; }
    player.tries++;
    setTimeout(function () {
      if (!state.playerOn || player.failed) return;
      video.src = player.src;
      buttons.startPlayer(video);
    }, PLAYER_RETRY_MS);
  },
  // A status answer to a poll sent after the preview was answered that finds
  // the channel idle again: its transcoder has ended, and will serve nothing.
  previewWatch: function (seq) {
    var n = player.channel;
    if (!state.playerOn || !n || player.played || player.failed || seq <= player.since) return;
    if (stateOf(n) === 'idle') playerSays(WHY_PREVIEW_ENDED);
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
    $('#player').on('error', buttons.playerError).on('playing', buttons.playerPlaying);
    statusPoll.watch(buttons.previewWatch);
    // drop-downs slide open while the pointer rests on the arrow
    $('.dropBtn .arrow').on('mouseenter', function () {
      $(this).siblings('.dropMenu').stop(true, true).slideDown(150);
    });
    $('.dropBtn').on('mouseleave', function () {
      $(this).find('.dropMenu').stop(true, true).slideUp(150);
    });
  }
};
