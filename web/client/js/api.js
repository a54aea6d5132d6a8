/*
 * Every request of the web client to the service's API.
 */
import { state } from './state.js';

// A save that fails on the service answers 500 with a short text saying why;
// the change is then not stored, so the operator is told.
function uploadFailed(xhr) {
  if (xhr.status !== 500) return;
  var text = typeof xhr.responseText === 'string' ? xhr.responseText.trim() : '';
  alert(text || xhr.statusText);
}

export var api = {
  runtime: function () { return $.ajax({ url: '/runtime', dataType: 'json', cache: false }); },
  config: function () { return $.ajax({ url: '/config', dataType: 'json', cache: false }); },
  status: function () { return $.ajax({ url: '/status', dataType: 'json', cache: false }); },
  // The action is the whole query ("?start"): no cache-buster may be added.
  channel: function (n, action) { return $.ajax({ url: '/channel' + n + '?' + action, dataType: 'text' }); },
  upload: function () {
    return $.ajax({
      url: '/config', type: 'POST', data: JSON.stringify(state.jsonConfig),
      contentType: 'application/json', dataType: 'json', processData: false
    }).fail(uploadFailed);
  },
  decklink: function (output) { return $.ajax({ url: '/decklink_config?output=' + output, dataType: 'json', cache: false }); },
  ndi: function (secs) { return $.ajax({ url: '/ndi_config?timeout=' + secs, dataType: 'json' }); }
};
