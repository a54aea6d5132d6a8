/*
 * The notice box at the top of the page: one line for each thing that has
 * failed and is not mended yet (an upload, a channel's action, a search, the
 * status poll), in the order they first failed. A line goes when the same thing succeeds, or
 * with the box's cross. When the login has ended, the box offers the login
 * page; when an upload was refused because the configuration was changed
 * elsewhere, it offers the configuration in use. Either drops an open edit or
 * dialog only on the operator's yes.
 */
import { state } from './state.js';
import { popup } from './ui.js';

var TXT_LOGIN = 'Open the login page';
var TXT_LEAVE = 'Leave this page for the login page?\nWhat has not been applied yet is lost.';
var TXT_CURRENT = 'Load the configuration in use';
var TXT_DROP = 'Load the configuration in use in place of this page\'s copy?\nWhat has not been applied yet is lost.';

var lines = [];   // { key, text, login, conflict }
var loadCurrent = function () {};   // set by the page

// "why" as the end of a sentence
export function because(why) {
  return String(why).replace(/[.\s]+$/, '') + '.';
}

function render() {
  var $n = $('#notice');
  var $l = $n.find('.lines').empty();
  lines.forEach(function (l) { $l.append($('<div>').attr('data-key', l.key).text(l.text)); });
  $n.find('.login').toggle(lines.some(function (l) { return l.login; }));
  $n.find('.current').toggle(lines.some(function (l) { return l.conflict; }));
  $n.toggleClass('shown', lines.length > 0);
}

export var notice = {
  // Shows text as the line of key, in the place of what it said before; login
  // marks a failure because the login has ended, conflict an upload refused
  // because the configuration was changed elsewhere.
  set: function (key, text, login, conflict) {
    var line = { key: key, text: text, login: !!login, conflict: !!conflict };
    var i = lines.map(function (l) { return l.key; }).indexOf(key);
    if (i < 0) {
      lines.push(line);
    } else {
      if (lines[i].text === line.text && lines[i].login === line.login && lines[i].conflict === line.conflict) return;
      lines[i] = line;
    }
    render();
  },
  // The line of a failed request: what failed, why (the failure's text), and
  // what the operator can do about it; for a copy changed elsewhere, that is
  // the configuration in use, whatever the caller would have said.
  failed: function (key, what, f, after) {
    if (f.conflict) after = '';
    notice.set(key, what + because(f.text) + (after ? ' ' + after : ''), f.login, f.conflict);
  },
  clear: function (key) {
    var before = lines.length;
    lines = lines.filter(function (l) { return l.key !== key; });
    if (lines.length !== before) render();
  },
  clearAll: function () { lines = []; render(); },
  // the lines of refusals that the configuration in use has answered
  clearConflicts: function () {
    var before = lines.length;
    lines = lines.filter(function (l) { return !l.conflict; });
    if (lines.length !== before) render();
  },
  onLoadCurrent: function (fn) { loadCurrent = fn; },
  current: function () {
    if ((state.editing || popup.anyOpen()) && !confirm(TXT_DROP)) return;
    loadCurrent();
  },
  text: function (key) {
    var l = lines.filter(function (x) { return x.key === key; })[0];
    return l ? l.text : '';
  },
  login: function () {
    if ((state.editing || popup.anyOpen()) && !confirm(TXT_LEAVE)) return;
    location.assign('/');
  },
  init: function () {
    var $n = $('#notice');
    $n.append($('<div class="lines">'),
      $('<div class="acts">').append($('<button class="login small">').text(TXT_LOGIN),
        $('<button class="current small">').text(TXT_CURRENT),
        $('<a class="close" href="#" title="Close">').text('\u2715')));
    $n.find('.login').on('click', notice.login);
    $n.find('.current').on('click', notice.current);
    $n.find('.close').on('click', function (e) { e.preventDefault(); notice.clearAll(); });
    render();
  }
};
