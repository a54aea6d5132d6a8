/*
 * The texts that the page puts between quotes in the options it writes, one
 * rule per reader:
 *  - ffmpeg's own quoting (filter arguments such as drawtext's text and the
 *    logo's file name, the parts of a "-program"): the whole text between
 *    single quotes, an apostrophe written as '\'' (the quotes closed, the
 *    apostrophe escaped, the quotes reopened);
 *  - the transcoder's argument string (a value ffmpeg takes as it is, such
 *    as a "-metadata" value): between single quotes, an apostrophe between
 *    double quotes;
 *  - drawtext's text expansion: a '\' and a '%' escaped with a backslash, so
 *    that they are drawn as typed.
 * A control character (a line break, a tab, ...) cannot be carried by any of
 * them; the dialogs refuse it by name.
 */

export function ffQuote(text) {
  return "'" + text.replace(/'/g, "'\\''") + "'";
}

// The value written with ffmpeg's own quoting that starts at pos, up to the
// first of the stop characters outside quotes: { value, end }.
export function ffRead(text, pos, stops) {
  var value = '', quoted = false, i = pos;
  for (; i < text.length; i++) {
    var c = text.charAt(i);
    if (quoted) {
      if (c === "'") quoted = false; else value += c;
    } else if (c === "'") {
      quoted = true;
    } else if (c === '\\' && i + 1 < text.length) {
      value += text.charAt(++i);
    } else if (stops.indexOf(c) >= 0) {
      break;
    } else {
      value += c;
    }
  }
  return { value: value, end: i };
}

export function argQuote(text) {
  return "'" + text.replace(/'/g, "'\"'\"'") + "'";
}

// A word of the argument string with its quotes taken off.
export function argUnquote(word) {
  var value = '', quote = '';
  for (var i = 0; i < word.length; i++) {
    var c = word.charAt(i);
    if (!quote && (c === "'" || c === '"')) quote = c;
    else if (c === quote) quote = '';
    else value += c;
  }
  return value;
}

export function drawtextEscape(text) {
  return text.replace(/[\\%]/g, '\\$&');
}

export function drawtextUnescape(text) {
  return text.replace(/\\(.)/g, '$1');
}

var CHAR_NAMES = { 9: 'a tab', 10: 'a line feed', 13: 'a carriage return', 127: 'a delete character' };

// The refusal of a text that holds a character no reader can carry, naming
// the field and the character; '' when every character can be carried.
export function uncarriable(field, text) {
  var m = /[\u0000-\u001f\u007f]/.exec(text);
  if (!m) return '';
  var code = m[0].charCodeAt(0);
  var hex = code.toString(16).toUpperCase();
  var name = (CHAR_NAMES[code] || 'a control character') + ' (U+' + '0000'.slice(hex.length) + hex + ')';
  return field + ' holds ' + name + ', which cannot be carried into the stream. Please remove it.';
}
