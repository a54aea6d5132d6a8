/*
 * The logo box: the product name with its colour walk, one colour per
 * character, moving one character to the right every 30 ms.
 */
var LOGO_PERIOD_MS = 30;

export var logo = {
  colors: [], walk: null, step: null, timer: null,
  randStep: function () { return 1 + Math.floor(Math.random() * 4); },
  // One component moved by its step; the step reverses past the bounds.
  move: function (c, s, k, top) {
    var v = c[k] + s[k];
    if (v < 0 || (top && v > 255)) { s[k] = -s[k]; v = c[k] + s[k]; }
    return Math.max(0, Math.min(255, v));
  },
  show: function (name) {
    var $n = $('#appName').empty();
    var chars = Array.from(name);
    chars.forEach(function (ch) { $n.append($('<span>').text(ch)); });
    var c = [Math.floor(Math.random() * 256), Math.floor(Math.random() * 256), Math.floor(Math.random() * 256)];
    var down = [-logo.randStep(), -logo.randStep(), -logo.randStep()];
    logo.walk = c.slice();
    logo.step = [-down[0], -down[1], -down[2]];
    logo.colors = [c.slice()];
    for (var i = 1; i < chars.length; i++) {
      var prev = logo.colors[i - 1];
      logo.colors.push([0, 1, 2].map(function (k) { return logo.move(prev, down, k, false); }));
    }
    logo.paint();
    if (logo.timer) clearInterval(logo.timer);
    logo.timer = setInterval(logo.tick, LOGO_PERIOD_MS);
  },
  tick: function () {
    var w = logo.walk;
    logo.walk = [0, 1, 2].map(function (k) { return logo.move(w, logo.step, k, true); });
    logo.colors.pop();
    logo.colors.unshift(logo.walk.slice());
    logo.paint();
  },
  paint: function () {
    $('#appName span').each(function (i) {
      var c = logo.colors[i];
      if (c) this.style.color = 'rgb(' + c[0] + ',' + c[1] + ',' + c[2] + ')';
    });
  }
};
