/*
 * The "Advanced Format Settings" pop-up: opened by "Advanced..." next to the
 * target format while editing, it fills its tabs from the channel under
 * edit; "OK" writes them back in order (MPEG-TS input and output, HLS, SRT,
 * the custom parameters) and closes it.
 */
import { str } from '../util.js';
import { state } from '../state.js';
import { popup } from '../ui.js';
import { tsInTab } from './ts_in.js';
import { tsOutTab } from './ts_out.js';
import { hlsTab } from './hls.js';
import { srtTab } from './srt.js';

export var formatDialog = {
  open: function () {
    var ch = state.curChannel, fmt = $('#tFormat').val(), n = ch.output.targets.length;
    tsInTab.show(ch.input.map);
    tsOutTab.show(ch.output.formatOptions, fmt);
    hlsTab.show(ch.output.formatOptions, fmt, n);
    srtTab.show(ch, $('#sFormat').val(), fmt);
    $('#customSrc').val(str(ch.input.customOptions));
    $('#customTgt').val(str(ch.output.customOptions));
    popup.open('dlgFormat');
  },
  ok: function () {
    var ch = state.curChannel, fmt = $('#tFormat').val(), n = ch.output.targets.length;
    var problem = tsOutTab.problem(fmt);
    if (problem) { alert(problem); return; }
    tsInTab.write(ch.input);
    tsOutTab.write(ch.output, fmt);
    hlsTab.write(ch.output, fmt, n);
    srtTab.write(ch);
    ch.input.customOptions = $('#customSrc').val();
    ch.output.customOptions = $('#customTgt').val();
    popup.close('dlgFormat');
  },
  init: function () {
    tsInTab.init();
    tsOutTab.init();
    srtTab.init();
    $('#dlgFormat .ok').on('click', formatDialog.ok);
    $('#btnFormatAdv').on('click', function () { if (state.editing) formatDialog.open(); });
  }
};
