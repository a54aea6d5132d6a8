/*
 * The page's shared state: the service's facts, the configuration document
 * (the only copy the page edits and uploads), the last status answer, the
 * channel shown or under edit, the selection and the modes; and the readers
 * of the document that every panel uses.
 */
import { isArray } from './util.js';

export var state = {
  jsonRuntime: null,      // the "/runtime" answer
  jsonConfig: null,       // the configuration document; the only copy edited and uploaded
  configVersion: '',      // the service's number of the document that copy came from ('' unknown)
  channelStatus: [],      // "channels" of the last "/status" answer
  curChannel: null,       // the channel shown, or while editing a deep copy of it
  decklink: null,         // last "/decklink_config" answer
  ndi: null,              // last "/ndi_config" answer
  selRow: 0,              // selected row (channel number from 1), 0 = none
  editing: false,         // editing mode
  editingNew: false,      // the channel under edit is a new one
  curTarget: 0,           // index of the target shown
  srcSchemeWritten: '',   // scheme of the shown source as written ("https", "sftp")
  playerOn: false         // the preview player is showing
};

// Each value is also a property of the page's window that reads and writes
// it here, so that the browser's console (and the browser tests) see the
// live state.
Object.keys(state).forEach(function (k) {
  Object.defineProperty(window, k, {
    get: function () { return state[k]; },
    set: function (v) { state[k] = v; },
    configurable: true
  });
});

// The page's copy becomes doc, the document the service numbered version
// ('' when it gave no number).
export function takeDocument(doc, version) {
  state.jsonConfig = doc;
  state.configVersion = version || '';
}

export function isWindows() {
  return state.jsonRuntime && state.jsonRuntime.platform === 'windows';
}

export function maxChannels() {
  var rt = state.jsonRuntime;
  return rt && rt.channels > 0 ? rt.channels : 16;
}

export function channels() {
  var cfg = state.jsonConfig;
  if (!cfg || typeof cfg !== 'object') return [];
  if (!isArray(cfg.channels)) cfg.channels = [];
  return cfg.channels;
}

export function globals() {
  var cfg = state.jsonConfig;
  if (!cfg.global || typeof cfg.global !== 'object') cfg.global = {};
  return cfg.global;
}

export function firstSource(ch) {
  return ch && ch.input && isArray(ch.input.sources) ? ch.input.sources[0] : undefined;
}

export function firstTarget(ch) {
  return ch && ch.output && isArray(ch.output.targets) ? ch.output.targets[0] : undefined;
}

// The last known state of channel n (from 1), undefined before the first poll.
export function stateOf(n) {
  var s = state.channelStatus[n - 1];
  return s ? s.state : undefined;
}
