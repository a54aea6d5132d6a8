/*
 * Small helpers of the web client: numbers read from fields, option lists,
 * deep copies, the page's own address, and the texts several panels show.
 */

export var TXT_SELECT_FIRST = 'Please select channel first.';

export function ParseInt(text) {
  var v = parseInt(text);
  return isNaN(v) ? 0 : v;
}

export function ParseFloat(text) {
  var v = parseFloat(text);
  return isNaN(v) ? 0 : v;
}

export function deepCopy(o) {
  return JSON.parse(JSON.stringify(o));
}

export function isArray(a) {
  return Array.isArray(a);
}

// A text on one line: its runs of white space made one blank, none at its ends.
export function oneLine(t) {
  return t.replace(/\s+/g, ' ').trim();
}

export function str(v) {
  return typeof v === 'string' ? v : '';
}

export function ensureList(obj, key) {
  if (!isArray(obj[key])) obj[key] = [];
  return obj[key];
}

// Removes every entry that is empty (or not text) or contains one of the texts.
export function removeOptions(list, texts) {
  if (!isArray(list)) return [];
  return list.filter(function (o) {
    if (typeof o !== 'string' || o === '') return false;
    for (var i = 0; i < texts.length; i++) {
      if (o.indexOf(texts[i]) >= 0) return false;
    }
    return true;
  });
}

// Splits at the separator (a blank: any white space) outside quotes, as the
// transcoder reads its options: single and double quotes group (and stay in
// the parts), and outside quotes a backslash keeps the character after it
// from grouping or splitting.
export function splitOutsideQuotes(text, sep) {
  var parts = [], cur = '', quote = '';
  for (var i = 0; i < text.length; i++) {
    var c = text.charAt(i);
    if (!quote && c === '\\' && i + 1 < text.length) {
      cur += c + text.charAt(++i);
      continue;
    }
    if (!quote && (c === "'" || c === '"')) quote = c;
    else if (c === quote) quote = '';
    if (!quote && (sep === ' ' ? /\s/.test(c) : c === sep)) {
      if (cur !== '') parts.push(cur);
      cur = '';
    } else {
      cur += c;
    }
  }
  if (cur !== '') parts.push(cur);
  return parts;
}

// Words of every entry of an option list, as [option, value] pairs.
export function optionPairs(list) {
  var pairs = [];
  (isArray(list) ? list : []).forEach(function (o) {
    if (typeof o !== 'string') return;
    var w = splitOutsideQuotes(o, ' ');
    if (w.length < 2) return;
    pairs.push([w[0], w.slice(1).join(' ')]);
  });
  return pairs;
}

export function pageHost() {
  return location.hostname;
}

export function pagePort() {
  return location.port || (location.protocol === 'https:' ? '443' : '80');
}
