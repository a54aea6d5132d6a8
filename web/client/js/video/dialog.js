/*
 * The "Advanced Video Settings" pop-up: opened by "Advanced" next to the
 * video codec while editing; its "OK" only closes it (refusing an overlay
 * that cannot be carried), since its tabs are read when the editor stores
 * the target.
 */
import { state } from '../state.js';
import { popup } from '../ui.js';
import { codecTab } from './codec.js';
import { overlayTab } from './overlay.js';

export var videoDialog = {
  init: function () {
    codecTab.init();
    $('#dlgVideo .ok').on('click', function () {
      var problem = overlayTab.problem();
      if (problem) alert(problem); else popup.close('dlgVideo');
    });
    $('#btnVideoAdv').on('click', function () { if (state.editing) popup.open('dlgVideo'); });
  }
};
