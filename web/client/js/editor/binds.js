/*
 * Channel binding in the configuration: a channel bound to another (its
 * "bind") appears as a further source {"bind": N} of that other channel. The
 * editor's Apply moves that source with the bind; removing a channel
 * renumbers the binds that follow it.
 */
import { ParseInt, isArray, ensureList } from '../util.js';

var MAX_SOURCES = 20;

// Channel n (stored as ch in list) bound to b instead of o (0: none).
export function applyBind(list, n, ch, b, o) {
  if (b > 0) ch.bind = b; else delete ch.bind;
  if (b === o) return;
  var host = list[o - 1];
  if (o > 0 && host && host.input && isArray(host.input.sources)) {
    host.input.sources = host.input.sources.filter(function (s, i) { return i === 0 || ParseInt(s.bind) !== n; });
  }
  var guest = list[b - 1];
  if (b > 0 && guest && guest.input) {
    var srcs = ensureList(guest.input, 'sources');
    var has = srcs.some(function (s, i) { return i > 0 && ParseInt(s.bind) === n; });
    if (!has && srcs.length < MAX_SOURCES) srcs.push({ bind: n });
  }
}

// Channel numbers in binds follow a removal: binds to the removed channel
// go, and numbers above it move down by one.
export function renumberBinds(list, removed) {
  list.forEach(function (ch) {
    var b = ParseInt(ch.bind);
    if (b === removed) delete ch.bind;
    else if (b > removed) ch.bind = b - 1;
    if (ch.input && isArray(ch.input.sources)) {
      ch.input.sources = ch.input.sources.filter(function (s, i) {
        if (i === 0 || !s || s.bind === undefined) return true;
        var sb = ParseInt(s.bind);
        if (sb === removed) return false;
        if (sb > removed) s.bind = sb - 1;
        return true;
      });
    }
  });
}
