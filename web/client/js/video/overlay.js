/*
 * "Advanced Video Settings", overlay tab: a video or text overlay, shown
 * from the channel's input filters and written back as one filter.
 */
import { ParseInt, isArray } from '../util.js';
import { ffQuote, ffRead, drawtextEscape, drawtextUnescape, uncarriable } from '../quoting.js';

// the overlay text that draws the time instead of a text
function isTimestamp(text) { return text.toLowerCase() === '%timestamp'; }

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
      var m, r;
      if (f.indexOf('movie=') === 0) {
        r = ffRead(f, 6, ',');
        m = /overlay=([^:]*):(.*)$/.exec(f.slice(r.end));
        if (m) {
          $('#oEnable').prop('checked', true);
          $('#oVideo').val(r.value);
          overlayTab.side(m[1], 'W-w-', '#oHSide', '#oHPad', 'right');
          overlayTab.side(m[2], 'H-h-', '#oVSide', '#oVPad', 'bottom');
        }
        return;
      }
      if (f.indexOf('drawtext=') !== 0) return;
      var text = '%timestamp', rest = f.slice(9);
      if (rest.indexOf('text=') === 0) {
        r = ffRead(rest, 5, ':');
        text = drawtextUnescape(r.value);
        rest = rest.slice(r.end + 1);
      }
      m = /^fontsize=([^:]*):fontcolor=([^:]*):x=([^:]*):y=(.*)$/.exec(rest);
      if (m) {
        $('#oEnable').prop('checked', true);
        $('#oText').val(text);
        $('#oSize').val(m[1]);
        if (/^#[0-9a-fA-F]{6}$/.test(m[2])) $('#oColor').val(m[2].toLowerCase());
        overlayTab.side(m[3], 'w-tw-', '#oHSide', '#oHPad', 'right');
        overlayTab.side(m[4], 'h-th-', '#oVSide', '#oVPad', 'bottom');
      }
    });
  },
  // Why the overlay cannot be written as it stands, or ''.
  problem: function () {
    if (!$('#oEnable').prop('checked')) return '';
    var file = $('#oVideo').val().trim();
    if (file !== '') return uncarriable('The Overlay Video file name', file);
    return uncarriable('The Overlay Text', $('#oText').val());
  },
  // The overlay filter, or nothing.
  write: function () {
    if (!$('#oEnable').prop('checked')) return [];
    var right = $('#oHSide').val() === 'right', bottom = $('#oVSide').val() === 'bottom';
    var h = ParseInt($('#oHPad').val()), v = ParseInt($('#oVPad').val());
    var file = $('#oVideo').val().trim(), text = $('#oText').val();
    if (file !== '') {
      return ['movie=' + ffQuote(file) + ', setpts=N/TB/FR[logo]; [0][logo]overlay=' + (right ? 'W-w-' : '') + h + ':' +
        (bottom ? 'H-h-' : '') + v];
    }
    if (text !== '') {
      var size = ParseInt($('#oSize').val()) || 16;
      var color = /^#[0-9a-fA-F]{6}$/.test($('#oColor').val()) ? $('#oColor').val() : '#00ffff';
      return ['drawtext=' + (!isTimestamp(text) ? 'text=' + ffQuote(drawtextEscape(text)) + ':' : '') + 'fontsize=' + size +
        ':fontcolor=' + color + ':x=' + (right ? 'w-tw-' : '') + h + ':y=' + (bottom ? 'h-th-' : '') + v];
    }
    return [];
  }
};
