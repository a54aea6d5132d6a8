/*
 * "Advanced Format Settings", RTMP tab: shown and written with each target
 * (not by the dialog's "OK"), active only while the target format chosen is
 * RTMP.
 */
import { str } from '../util.js';

export var rtmpTab = {
  show: function (t) {
    var r = t.rtmp && typeof t.rtmp === 'object' ? t.rtmp : {};
    $('#rtmpFlash').val(str(r.flashVer)); $('#rtmpSwf').val(str(r.swfUrl));
    $('#rtmpUser').val(str(r.user)); $('#rtmpPass').val(str(r.passwd));
    $('#fmtRtmp .rtmp').prop('disabled', $('#tFormat').val() !== 'rtmp');
  },
  write: function (t) {
    var on = t.format === 'rtmp';
    t.rtmp = {
      flashVer: on ? $('#rtmpFlash').val() : '', swfUrl: on ? $('#rtmpSwf').val() : '',
      user: on ? $('#rtmpUser').val() : '', passwd: on ? $('#rtmpPass').val() : ''
    };
  }
};
