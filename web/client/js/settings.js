/*
 * The "Global Settings" dialog: the fourteen global keys of the
 * configuration, and the import and export of the whole configuration.
 */
import { ParseInt, str, deepCopy } from './util.js';
import { state, takeDocument } from './state.js';
import { api, versionOf } from './api.js';
import { popup } from './ui.js';
import { notice, because } from './notice.js';
import { address, globalOf, httpsOf } from './address.js';

var TXT_SETTINGS_ERROR = 'Global Settings error! The settings were not saved: ';
var TXT_SETTINGS_AGAIN = 'They are still in the dialog: OK again, or Cancel.';
var TXT_IMPORT_ERROR = 'Import error! ';
var TXT_EXPORT_ERROR = 'Export error! The configuration was not exported: ';
var TXT_NO_PASSWORD = 'Your %s web interface is INSECURE! Channel configuration details and HTTP streams could be' +
  ' exposed to unexpected streamers over the internet. Please set up web login password in Global Settings immediately!';
var TXT_NOT_HTTPS = 'HTTPS is enabled in Global Settings, but this page came over plain HTTP: the service could not' +
  ' start HTTPS with its SSL Cert File and SSL Key File (its start-up output says why). The login password and the' +
  ' configuration travel unencrypted until both files are mended.';
var KEY_UPLOAD = 'upload';
var KEY_EXPORT = 'export';
var EXPORT_URL_KEEP_MS = 60000;   // the download has its bytes long before

export var settings = {
  KEYS: ['log', 'httpPort', 'sslEnable', 'sslCert', 'sslKey', 'ipACL', 'autoRun', 'autoRestart',
    'folderRecur', 'folderShuffle', 'altInput', 'omxPath', 'ytdlpPath', 'loginPass'],
  fill: function () {
    var g = globalOf(state.jsonConfig);
    $('#gLog').prop('checked', ParseInt(g.log) > 0);
    $('#gPort').val(g.httpPort === undefined ? '' : String(g.httpPort));
    $('#gSsl').prop('checked', httpsOf(g));
    $('#gCert').val(str(g.sslCert));
    $('#gKey').val(str(g.sslKey));
    $('#gAcl').val(str(g.ipACL));
    $('#gAutoRun').prop('checked', g.autoRun === true);
    $('#gAutoRestart').prop('checked', ParseInt(g.autoRestart) > 0);
    $('#gRestartSecs').val(g.autoRestart === undefined ? '' : String(g.autoRestart));
    $('#gRecur').prop('checked', g.folderRecur === true);
    $('#gShuffle').prop('checked', g.folderShuffle === true);
    var alt = str(g.altInput);
    $('#gAlt').prop('checked', alt !== '');
    $('#gAltFile').val(alt === 'default' ? '' : alt).prop('disabled', alt === '');
    $('#gOmx').val(str(g.omxPath));
    $('#gYtdlp').val(str(g.ytdlpPath));
    $('#gPass').val(str(g.loginPass)).toggleClass('unset', str(g.loginPass) === '');
  },
  // The warning box: no login password; HTTPS switched on while this page
  // came over plain HTTP (the service could not start HTTPS and fell back),
  // unless the page is on its way to the HTTPS address right now.
  showWarning: function () {
    var g = globalOf(state.jsonConfig);
    var $w = $('#warning').empty();
    var caution = function (text) {
      $w.append($('<div>').append($('<b>').text('CAUTION'), document.createTextNode(' ' + text)));
    };
    if (str(g.loginPass) === '') caution(TXT_NO_PASSWORD.replace('%s', str(state.jsonRuntime.appAbbr)));
    if (g.sslEnable === true && location.protocol === 'http:' && !address.moving()) caution(TXT_NOT_HTTPS);
    $w.toggle($w.children().length > 0);
  },
  failure: function (text) {
    $('#dlgSettings .failure').text(text).toggle(text !== '');
  },
  open: function () {
    settings.fill();
    settings.failure('');
    popup.open('dlgSettings');
  },
  ok: function () {
    if ($('#gPort').val() === '') return;
    var cert = $('#gCert').val(), key = $('#gKey').val();
    var alt = '';
    if ($('#gAlt').prop('checked')) alt = $('#gAltFile').val() === '' ? 'default' : $('#gAltFile').val();
    var values = {
      log: $('#gLog').prop('checked') ? 32 : 0,
      httpPort: ParseInt($('#gPort').val()),
      sslEnable: $('#gSsl').prop('checked') && cert !== '' && key !== '',
      sslCert: cert,
      sslKey: key,
      ipACL: $('#gAcl').val(),
      autoRun: $('#gAutoRun').prop('checked'),
      autoRestart: ParseInt($('#gRestartSecs').val()),
      folderRecur: $('#gRecur').prop('checked'),
      folderShuffle: $('#gShuffle').prop('checked'),
      altInput: alt,
      omxPath: $('#gOmx').val(),
      ytdlpPath: $('#gYtdlp').val(),
      loginPass: $('#gPass').val()
    };
    var g = {};
    settings.KEYS.forEach(function (k) { g[k] = values[k]; });
    // the page's copy takes the document only as the service has accepted it
    var doc = deepCopy(state.jsonConfig);
    doc.global = g;
    if (api.uploading()) return;
    $('#dlgSettings .ok').prop('disabled', true);
    var before = state.jsonConfig;
    api.upload(doc).done(function (ans, xhr) {
      takeDocument(ans, versionOf(xhr));
      notice.clear(KEY_UPLOAD);
      address.accepted(before, ans);
      settings.showWarning();
      popup.close('dlgSettings');
    }).fail(function (f) {
      settings.failure('Not saved: ' + because(f.text));
      notice.failed(KEY_UPLOAD, TXT_SETTINGS_ERROR, f, TXT_SETTINGS_AGAIN);
    }).always(function () {
      $('#dlgSettings .ok').prop('disabled', false);
    });
  },
  importChosen: function () {
    var f = this.files && this.files[0];
    if (!f) return;
    var $file = $(this);
    if (api.uploading()) { $file.val(''); return; }
    if (!confirm('Import all channels from <' + f.name + '>?\nAll current channel settings will be OVERWRITTEN!')) {
      $file.val('');
      return;
    }
    // accepted: the page is loaded again with the imported document; refused:
    // the page stays as it is and says why
    api.importFile($('#importForm')[0]).done(function () {
      location.assign('/');
    }).fail(function (fl) {
      $file.val('');
      settings.failure('Not imported: ' + because(fl.text));
      notice.failed(KEY_UPLOAD, TXT_IMPORT_ERROR + '<' + f.name + '> was not imported: ', fl);
    });
  },
  exportConfig: function () {
    api.exportFile().done(function (blob, name) {
      notice.clear(KEY_EXPORT);
      var url = URL.createObjectURL(blob);
      var a = $('<a>').attr({ href: url, download: name }).hide().appendTo('body');
      a[0].click();
      a.remove();
      setTimeout(function () { URL.revokeObjectURL(url); }, EXPORT_URL_KEEP_MS);
    }).fail(function (f) {
      settings.failure('Not exported: ' + because(f.text));
      notice.failed(KEY_EXPORT, TXT_EXPORT_ERROR, f);
    });
  },
  init: function () {
    $('#dlgSettings .buttons').prepend($('<span class="failure">').hide());
    $('#btnSettings').on('click', settings.open);
    $('#dlgSettings .ok').on('click', settings.ok);
    $('#gAutoRestart').on('change', function () { $('#gRestartSecs').val(this.checked ? '1' : '0'); });
    $('#gAlt').on('change', function () {
      $('#gAltFile').prop('disabled', !this.checked);
      if (!this.checked) $('#gAltFile').val('');
    });
    $('#btnImport').on('click', function () { $('#importFile').click(); });
    $('#importFile').on('change', settings.importChosen);
    $('#btnExport').on('click', settings.exportConfig);
  }
};
