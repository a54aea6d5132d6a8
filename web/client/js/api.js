/*
 * Every request of the web client to the service's API.
 *
 * Each request gives a promise that is resolved only with a real answer of
 * the service, and otherwise rejected with a failure { text, login } whose
 * text says why: the service's own text (or its status), "the service cannot
 * be reached", or "the login has ended". A login that has ended (the
 * password was changed elsewhere, the cookie is gone) does not fail the
 * request: the service answers it with its login page, as 200 text/html.
 * No answer of the API is HTML, so any HTML answer is that page.
 *
 * The service numbers each document it installs, and its answers to
 * "/config" and to a channel request carry the number in use. The page's
 * copy keeps the number it came with (state.configVersion) and every upload
 * names it: when the document was changed elsewhere meanwhile, the upload is
 * refused with 409 (a failure with conflict set) instead of undoing that
 * change.
 */
import { state } from './state.js';
import { oneLine } from './util.js';

export var TXT_UNREACHABLE = 'the service cannot be reached';
export var TXT_LOGIN_ENDED = 'the login has ended';
var TXT_UNREADABLE = 'the answer of the service could not be read';
var TXT_CHANGED_ELSEWHERE = 'the configuration was changed elsewhere since this page loaded it';
var SERVICE_TEXT_MAX = 300;
var VERSION_HEADER = 'X-Config-Version';
var HTTP_CONFLICT = 409;
// a "/status" that gets no answer in this time counts as unanswered; the
// service answers it at once unless it is down or hung
var STATUS_TIMEOUT_MS = 10000;

function isLoginPage(xhr) {
  var type = xhr && xhr.getResponseHeader ? xhr.getResponseHeader('Content-Type') : null;
  return /^\s*text\/html/i.test(type || '');
}

function failure(text, login, conflict) {
  return { text: text, login: !!login, conflict: !!conflict };
}

// The document number an answer carries, '' when it carries none.
export function versionOf(xhr) {
  var v = xhr && xhr.getResponseHeader ? xhr.getResponseHeader(VERSION_HEADER) : null;
  return /^\d+$/.test(v || '') ? v : '';
}

// After a start or stop of this page, whose answer carries the number v:
// the page's copy changed as the service's did (its "enable") and takes v
// only when no other change came in between, that is when v follows the
// copy's own number. Otherwise the copy keeps its number, and its next
// upload is refused as made from an older document. Answers to starts sent
// together may arrive out of turn: a number that comes early waits for the
// one before it.
var ownNumbers = [];

export function followVersion(v) {
  var theirs = Number(v);
  if (state.configVersion === '' || v === '' || !Number.isSafeInteger(theirs)) return;
  ownNumbers.push(theirs);
  for (;;) {
    var mine = Number(state.configVersion);
    ownNumbers = ownNumbers.filter(function (x) { return x > mine; });
    if (ownNumbers.indexOf(mine + 1) < 0) return;
    state.configVersion = String(mine + 1);
  }
}

// The service's short text of a refusal, on one line and cut to a length
// that a notice can show.
function serviceText(xhr) {
  var t = typeof xhr.responseText === 'string' ? oneLine(xhr.responseText) : '';
  return t.length > SERVICE_TEXT_MAX ? t.slice(0, SERVICE_TEXT_MAX) + '...' : t;
}

export function failureOf(xhr, textStatus) {
  if (isLoginPage(xhr)) return failure(TXT_LOGIN_ENDED, true);
  if (!xhr || !xhr.status || textStatus === 'timeout') return failure(TXT_UNREACHABLE);
  if (xhr.status >= 400) {
    var conflict = xhr.status === HTTP_CONFLICT;
    return failure(serviceText(xhr) || (conflict ? TXT_CHANGED_ELSEWHERE :
      'the service answered ' + xhr.status + ' ' + (xhr.statusText || '')), false, conflict);
  }
  return failure(TXT_UNREADABLE);
}

function ask(opts) {
  var d = $.Deferred();
  $.ajax(opts).done(function (data, textStatus, xhr) {
    if (isLoginPage(xhr)) d.reject(failureOf(xhr), xhr);
    else d.resolve(data, xhr);
  }).fail(function (xhr, textStatus) {
    d.reject(failureOf(xhr, textStatus), xhr);
  });
  return d.promise();
}

// The import: the form's own request, sent from the page so that a refusal
// leaves the page as it is. The service accepts it with a redirect to "/",
// which is not followed here: the caller reloads the page.
function importFile(form) {
  var d = $.Deferred();
  fetch('/config?import', { method: 'POST', body: new FormData(form), redirect: 'manual', credentials: 'same-origin' })
    .then(function (r) {
      if (r.type === 'opaqueredirect') { d.resolve(); return; }
      return r.text().then(function (text) {
        var xhr = {
          status: r.status, statusText: r.statusText, responseText: text,
          getResponseHeader: function (k) { return r.headers.get(k); }
        };
        d.reject(r.ok && !isLoginPage(xhr) ? failure(TXT_UNREADABLE) : failureOf(xhr));
      });
    }).catch(function () { d.reject(failure(TXT_UNREACHABLE)); });
  return d.promise();
}

// The export: the document as the service's attachment, fetched by the page
// so that an answer that is no attachment (the login page, or none) leaves
// the page where it is; resolved with the file's bytes and name.
function exportFile() {
  var d = $.Deferred();
  fetch('/config?dl=1', { credentials: 'same-origin', cache: 'no-store' }).then(function (r) {
    return r.blob().then(function (blob) {
      var disp = r.headers.get('Content-Disposition') || '';
      var m = /filename="?([^";]+)"?/i.exec(disp);
      if (r.ok && /^attachment/i.test(disp)) { d.resolve(blob, m ? m[1] : 'tovul.json'); return; }
      return blob.text().then(function (text) {
        d.reject(failureOf({
          status: r.status, statusText: r.statusText, responseText: text,
          getResponseHeader: function (k) { return r.headers.get(k); }
        }));
      });
    });
  }).catch(function () { d.reject(failure(TXT_UNREACHABLE)); });
  return d.promise();
}

var uploadsOut = 0;
var syncing = null;   // the "/config" of a check of the copy's number, while it is out

// After a time without answers the service may have been restarted, and a
// restart numbers its document anew. A copy that is still exactly the
// document in use takes the new number, so that its next change is not
// refused for nothing; one that differs keeps its own, and its next upload
// is refused. An upload sent meanwhile waits for the check.
function syncVersion() {
  if (syncing || uploadsOut > 0 || state.configVersion === '') return;
  syncing = api.config().done(function (cfg, xhr) {
    var v = versionOf(xhr);
    if (v !== '' && JSON.stringify(cfg) === JSON.stringify(state.jsonConfig)) {
      state.configVersion = v;
    }
  }).always(function () { syncing = null; });
}

// An upload, sent once a check of the number is done; its request is made
// only then, with the number the copy has at that moment.
function uploadAfterSync(opts) {
  var d = $.Deferred();
  $.when(syncing).always(function () {
    ask(opts()).done(function (data, xhr) { d.resolve(data, xhr); })
      .fail(function (f, xhr) { d.reject(f, xhr); });
  });
  return d.promise();
}

function oneUpload(p) {
  uploadsOut++;
  return p.always(function () { uploadsOut--; });
}

export var api = {
  runtime: function () { return ask({ url: '/runtime', dataType: 'json', cache: false }); },
  config: function () { return ask({ url: '/config', dataType: 'json', cache: false }); },
  status: function () { return ask({ url: '/status', dataType: 'json', cache: false, timeout: STATUS_TIMEOUT_MS }); },
  // The action is the whole query ("?start"): no cache-buster may be added.
  channel: function (n, action) { return ask({ url: '/channel' + n + '?' + action, dataType: 'text' }); },
  // Uploads a whole document made from the page's copy, naming the copy's
  // number; the answer is the document as the service keeps it, whose
  // number the copy takes with it.
  upload: function (doc) {
    return oneUpload(uploadAfterSync(function () {
      var headers = {};
      if (state.configVersion !== '') headers[VERSION_HEADER] = state.configVersion;
      return {
        url: '/config', type: 'POST', data: JSON.stringify(doc), headers: headers,
        contentType: 'application/json', dataType: 'json', processData: false
      };
    }));
  },
  syncVersion: syncVersion,
  exportFile: exportFile,
  importFile: function (form) { return oneUpload(importFile(form)); },
  // An upload is out. Each upload is a whole document made from the page's
  // copy, so a second one sent before the first is answered would be made
  // without the first's change and undo it: the panels send none meanwhile.
  uploading: function () { return uploadsOut > 0; },
  decklink: function (output) { return ask({ url: '/decklink_config?output=' + output, dataType: 'json', cache: false }); },
  ndi: function (secs) { return ask({ url: '/ndi_config?timeout=' + secs, dataType: 'json' }); }
};
