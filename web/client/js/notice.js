/*
 * The notice box at the top of the page: one line for each thing that has
 * failed and is not mended yet (an upload, a channel's action, a search, the
 * status poll), in the order they first failed. A line goes when the same thing succeeds, or
 * with the box's cross. When the login has ended, the box offers the login
 * page; leaving for it drops an open edit or dialog only on the operator's
 * yes.
 */
import { state } from './state.js';
import { popup } from './ui.js';

var TXT_LOGIN = 'Open the login page';
var TXT_LEAVE = 'Leave this page for the login page?\nWhat has not been applied yet is lost.';

var lines = [];   // { key, text, login }

// "why" as the end of a sentence
export function because(why) {
  return String(why).replace(/[.\s]+$/, '') + '.';
}

function render() {
  var $n = $('#notice');
  var $l = $n.find('.lines').empty();
  lines.forEach(function (l) { $l.append($('<div>').attr('data-key', l.key).text(l.text)); });
  $n.find('.login').toggle(lines.some(function (l) { return l.login; }));
  $n.toggleClass('shown', lines.length > 0);
}

export var notice = {
  // Shows text as the line of key, in the place of what it said before; login
  // marks a failure because the login has ended.
  set: function (key, text, login) {
    var line = { key: key, text: text, login: !!login };
    var i = lines.map(function (l) { return l.key; }).indexOf(key);
    if (i < 0) {
      lines.push(line);
    } else {
      if (lines[i].text === line.text && lines[i].login === line.login) return;
      lines[i] = line;
    }
    render();
  },
  // The line of a failed request: what failed, why (the failure's text), and
  // what the operator can do about it.
  failed: function (key, what, f, after) {
    notice.set(key, what + because(f.text) + (after ? ' ' + after : ''), f.login);
  },
  clear: function (key) {
    var before = lines.length;
    lines = lines.filter(function (l) { return l.key !== key; });
    if (lines.length !== before) render();
  },
  clearAll: function () { lines = []; render(); },
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
        $('<a class="close" href="#" title="Close">').text('\u2715')));
    $n.find('.login').on('click', notice.login);
    $n.find('.close').on('click', function (e) { e.preventDefault(); notice.clearAll(); });
    render();
  }
};
