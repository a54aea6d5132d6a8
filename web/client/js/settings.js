/*
 * The "Global Settings" dialog: the fourteen global keys of the
 * configuration, and the import and export of the whole configuration.
 */
import { ParseInt, str } from './util.js';
import { state } from './state.js';
import { api } from './api.js';
import { popup } from './ui.js';

export var settings = {
  KEYS: ['log', 'httpPort', 'sslEnable', 'sslCert', 'sslKey', 'ipACL', 'autoRun', 'autoRestart',
    'folderRecur', 'folderShuffle', 'altInput', 'omxPath', 'ytdlpPath', 'loginPass'],
  fill: function () {
    var cfg = state.jsonConfig;
    var g = (cfg && cfg.global && typeof cfg.global === 'object') ? cfg.global : {};
    var cert = str(g.sslCert), key = str(g.sslKey);
    $('#gLog').prop('checked', ParseInt(g.log) > 0);
    $('#gPort').val(g.httpPort === undefined ? '' : String(g.httpPort));
    $('#gSsl').prop('checked', g.sslEnable === true && cert !== '' && key !== '');
    $('#gCert').val(cert);
    $('#gKey').val(key);
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
  open: function () {
    settings.fill();
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
    state.jsonConfig.global = g;
    api.upload();
    popup.close('dlgSettings');
  },
  importChosen: function () {
    var f = this.files && this.files[0];
    if (!f) return;
    if (confirm('Import all channels from <' + f.name + '>?\nAll current channel settings will be OVERWRITTEN!')) {
      $('#importForm')[0].submit();
    } else {
      $(this).val('');
    }
  },
  init: function () {
    $('#btnSettings').on('click', settings.open);
    $('#dlgSettings .ok').on('click', settings.ok);
    $('#gAutoRestart').on('change', function () { $('#gRestartSecs').val(this.checked ? '1' : '0'); });
    $('#gAlt').on('change', function () {
      $('#gAltFile').prop('disabled', !this.checked);
      if (!this.checked) $('#gAltFile').val('');
    });
    $('#btnImport').on('click', function () { $('#importFile').click(); });
    $('#importFile').on('change', settings.importChosen);
    $('#btnExport').on('click', function () { $('#exportForm')[0].submit(); });
  }
};
