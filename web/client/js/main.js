/*
 * The web client's script, bundled at build time into the served main.js.
 * It reads the service's facts and its whole configuration document, shows
 * the channel list with a status poll every second, starts, stops and
 * previews channels, edits the global settings and the channels, and always
 * uploads the whole document back.
 *
 * This module starts the page; each panel's module wires its own events:
 *   util.js, state.js     helpers; the shared state and the document's readers
 *   api.js                every request to the service, and how each can fail
 *   notice.js             the notice box: what failed and why, the login offer
 *   address.js            where the web interface went after a port or HTTPS change
 *   ui.js                 pop-ups, editable choices and tables, picker lists
 *   logo.js               the colour walk over the product name
 *   chlist.js             the channel list and its selection
 *   status.js             the status poll, load panels, the Preview rule
 *   buttons.js            start, stop, preview and the player, online manual
 *   settings.js           the global settings, import and export
 *   pickers.js            DeckLink devices and NDI sources
 *   video/                Advanced Video Settings: codec, overlay, misc tabs
 *   format/               Advanced Format Settings: MPEG-TS, HLS, SRT, RTMP tabs
 *   editor/               channel editor: the channel, its targets, binds
 *
 * Every text that comes from the service or from other hosts is put into the
 * page as text (jQuery .text/.val/.attr), never as markup.
 */
import { str } from './util.js';
import { state, channels, maxChannels, takeDocument } from './state.js';
import { api, versionOf } from './api.js';
import { popup } from './ui.js';
import { notice } from './notice.js';
import { logo } from './logo.js';
import { chlist } from './chlist.js';
import { statusPoll } from './status.js';
import { buttons } from './buttons.js';
import { settings } from './settings.js';
import { deckPicker, ndiPicker } from './pickers.js';
import { videoDialog } from './video/dialog.js';
import { formatDialog } from './format/dialog.js';
import { editor } from './editor/channel.js';
import { address } from './address.js';

var TXT_LOAD_ERROR = 'The page could not load: ';
var TXT_LOAD_AGAIN = 'Load the page again once the service answers.';
var TXT_CURRENT_ERROR = 'The configuration in use could not be loaded: ';

function loadFailed(f) {
  notice.failed('load', TXT_LOAD_ERROR, f, f.login ? '' : TXT_LOAD_AGAIN);
}

// Shows doc, numbered version by the service, as the page's copy, keeping
// the selection where the channel is still there.
function show(doc, version) {
  takeDocument(doc, version);
  settings.showWarning();
  settings.fill();
  chlist.fill();
  var n = Math.min(state.selRow, channels().length);
  if (n > 0) chlist.select(n); else chlist.highlight(0);
}

// The document as the service holds it now, in place of the page's copy,
// unless an edit, a dialog or an upload is under way (what that sends is
// answered for by the service).
function reload() {
  if (state.editing || popup.anyOpen() || api.uploading()) return;
  api.config().done(function (cfg, xhr) {
    if (state.editing || popup.anyOpen() || api.uploading()) return;
    show(cfg, versionOf(xhr));
  });
}

// The operator's answer to a refusal of a copy that was changed elsewhere:
// the configuration in use in place of the page's copy. An open edit or
// dialog goes (notice.js has asked first).
function loadCurrent() {
  if (api.uploading()) return;
  if (state.editing) editor.cancel();
  popup.closeAll();
  api.config().done(function (cfg, xhr) {
    show(cfg, versionOf(xhr));
    notice.clear('load');
    notice.clearConflicts();
  }).fail(function (f) {
    notice.failed('load', TXT_CURRENT_ERROR, f);
  });
}

function loaded() {
  notice.init();
  popup.init();
  buttons.init();
  settings.init();
  videoDialog.init();
  formatDialog.init();
  deckPicker.init();
  ndiPicker.init();
  address.onBackHere(reload);
  notice.onLoadCurrent(loadCurrent);

  statusPoll.start();
  api.runtime().done(function (rt) {
    state.jsonRuntime = rt;
    document.title = str(rt.title);
    chlist.build(maxChannels());
    editor.init();
    logo.show(str(rt.app));
    $('#appVersion').text('Version ' + str(rt.version));
    api.config().done(function (cfg, xhr) {
      show(cfg, versionOf(xhr));
      statusPoll.poll();
      chlist.resizable();
      if (channels().length) chlist.select(1);
    }).fail(loadFailed);
  }).fail(loadFailed);
}

$(loaded);
