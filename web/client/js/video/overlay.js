/*
 * "Advanced Video Settings", overlay tab: a video or text overlay, shown
 * from the channel's input filters and written back as one filter.
 */
import { ParseInt, isArray } from '../util.js';

export var overlayTab = {
  reset: function () {
    $('#oEnable').prop('checked', false);
    $('#oVideo').val('');
    $('#oText').val('%timestamp');
    $('#oSize').val('16');
    $('#oColor').val('#00ffff');
    $('#oHSide').val('left'); $('#oVSide').val('top');
    $('#oHPad').val('0'); $('#oVPad').val('0');
  },
  side: function (value, prefix, sideSel, padSel, far) {
    var right = value.indexOf(prefix) === 0;
    $(sideSel).val(right ? far : (far === 'right' ? 'left' : 'top'));
    $(padSel).val(String(ParseInt(right ? value.slice(prefix.length) : value)));
  },
  show: function (filters) {
    overlayTab.reset();
    (isArray(filters) ? filters : []).forEach(function (f) {
      if (typeof f !== 'string') return;
      var m = /^movie='([^']*)'.*overlay=([^:]*):(.*)$/.exec(f);
      if (m) {
        $('#oEnable').prop('checked', true);
        $('#oVideo').val(m[1]);
        overlayTab.side(m[2], 'W-w-', '#oHSide', '#oHPad', 'right');
        overlayTab.side(m[3], 'H-h-', '#oVSide', '#oVPad', 'bottom');
        return;
      }
      m = /^drawtext=(?:text='(.*?)':)?fontsize=([^:]*):fontcolor=([^:]*):x=([^:]*):y=(.*)$/.exec(f);
      if (m) {
        $('#oEnable').prop('checked', true);
        $('#oText').val(m[1] === undefined ? '%timestamp' : m[1]);
        $('#oSize').val(m[2]);
        if (/^#[0-9a-fA-F]{6}$/.test(m[3])) $('#oColor').val(m[3].toLowerCase());
        overlayTab.side(m[4], 'w-tw-', '#oHSide', '#oHPad', 'right');
        overlayTab.side(m[5], 'h-th-', '#oVSide', '#oVPad', 'bottom');
      }
    });
  },
  // The overlay filter, or nothing.
  write: function () {
    if (!$('#oEnable').prop('checked')) return [];
    var right = $('#oHSide').val() === 'right', bottom = $('#oVSide').val() === 'bottom';
    var h = ParseInt($('#oHPad').val()), v = ParseInt($('#oVPad').val());
    var file = $('#oVideo').val().trim(), text = $('#oText').val();
    if (file !== '') {
      return ["movie='" + file + "', setpts=N/TB/FR[logo]; [0][logo]overlay=" + (right ? 'W-w-' : '') + h + ':' +
        (bottom ? 'H-h-' : '') + v];
    }
    if (text !== '') {
      var size = ParseInt($('#oSize').val()) || 16;
      var color = /^#[0-9a-fA-F]{6}$/.test($('#oColor').val()) ? $('#oColor').val() : '#00ffff';
      return ['drawtext=' + (text.toLowerCase() !== '%timestamp' ? "text='" + text + "':" : '') + 'fontsize=' + size +
        ':fontcolor=' + color + ':x=' + (right ? 'w-tw-' : '') + h + ':y=' + (bottom ? 'h-th-' : '') + v];
    }
    return [];
  }
};
