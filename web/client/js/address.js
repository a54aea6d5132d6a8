/*
 * Where the web interface answers. A change of its port or of its HTTPS
 * settings restarts the service's web server a second after the answer, at
 * the address those settings give; this page, loaded from the old one, then
 * reaches nothing. So once such a change is accepted, the page says where the
 * service now is, with a link, in place of "the service cannot be reached".
 * Should the status poll be answered here again after it had gone (the
 * server came back on the address it had), the page says that the move did
 * not happen and takes the document as the service now holds it.
 */
import { str, ParseInt, pagePort } from './util.js';
import { notice } from './notice.js';

var DEFAULT_PORT = 9527;
var MAX_PORT = 65535;
var KEY_MOVED = 'moved';
var TXT_MOVED = 'Global Settings saved: the web interface now answers at ';
var TXT_MOVED_END = '. Open it there to go on.';
var TXT_MOVED_TLS = ' The browser may ask you to accept the service\'s certificate first.';
var TXT_NOT_MOVED = 'The web interface did not move to %s: the service answers at this address again.';
// the settings whose change restarts the web server
var SERVER_KEYS = ['httpPort', 'sslEnable', 'sslCert', 'sslKey'];

var moving = null;   // { url, gone }: the address moved to; whether this one has stopped answering
var backHere = function () {};   // set by the page: take the document anew

// The port the service reads from a "httpPort" value: a number cut to an
// integer, a text read in base 10; 0, or what does not read, is the default.
function portOf(v) {
  var p = typeof v === 'number' ? Math.trunc(v) : typeof v === 'string' ? parseInt(v, 10) : v === true ? 1 : 0;
  return p >= 1 && p <= MAX_PORT ? p : DEFAULT_PORT;
}

// HTTPS only when switched on with both of its files named.
export function httpsOf(g) {
  return g.sslEnable === true && str(g.sslCert) !== '' && str(g.sslKey) !== '';
}

function same(a, b) {
  return JSON.stringify(a === undefined ? null : a) === JSON.stringify(b === undefined ? null : b);
}

// the global settings of a document, {} when it has none
export function globalOf(doc) {
  return doc && doc.global && typeof doc.global === 'object' ? doc.global : {};
}

export var address = {
  // The page's address for the web settings of g.
  urlOf: function (g) {
    return (httpsOf(g) ? 'https:' : 'http:') + '//' + location.hostname + ':' + portOf(g.httpPort) + '/';
  },

  // After an accepted upload that replaced the document before with after:
  // when the web server restarts at another address than this page's, say
  // where.
  accepted: function (before, after) {
    var gb = globalOf(before), ga = globalOf(after);
    var restarts = SERVER_KEYS.some(function (k) { return !same(gb[k], ga[k]); });
    if (!restarts) return;
    var url = address.urlOf(ga);
    var here = location.protocol + '//' + location.hostname + ':' + ParseInt(pagePort()) + '/';
    if (url === here) return;
    moving = { url: url, gone: false };
    notice.clear(KEY_MOVED);
    address.render();
  },

  moving: function () { return !!moving; },

  // The status poll got no answer: while a move is under way that is the
  // move, and the page says nothing more.
  pollFailed: function () {
    if (!moving) return false;
    moving.gone = true;
    return true;
  },

  // The status poll was answered here.
  pollAnswered: function () {
    if (!moving || !moving.gone) return;
    var url = moving.url;
    moving = null;
    address.render();
    notice.set(KEY_MOVED, TXT_NOT_MOVED.replace('%s', url));
    backHere();
  },

  onBackHere: function (fn) { backHere = fn; },

  render: function () {
    var $m = $('#moved').empty();
    if (!moving) { $m.hide(); return; }
    $m.append(document.createTextNode(TXT_MOVED), $('<a>').attr('href', moving.url).text(moving.url),
      document.createTextNode(TXT_MOVED_END + (/^https:/.test(moving.url) ? TXT_MOVED_TLS : '')));
    $m.show();
  }
};
