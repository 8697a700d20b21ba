// Where the child window sits inside the parent's client area for each aspect mode.
// Platform-free arithmetic; the backends apply the result on their render threads.
#ifndef KEL_VOUT_DISPLAY_PLACEMENT_H
#define KEL_VOUT_DISPLAY_PLACEMENT_H

#include "kel_vout_global.h"

// The largest rectangle of aspect `ratio` (width / height) centred in a W x H area, for pictures
// and areas of either orientation: a pillarbox of full height when the area is wider than the
// ratio, a letterbox of full width when it is narrower. 1 / ratio is rounded to float, products
// are truncated. Writes x, y, width and height of *place. A ratio of 0 gives a zero-wide
// rectangle in the middle.
void set_display_ratio(vout_display_place_t* place, int W, int H, float ratio);

// The child window's rectangle for `display_mode` in a W x H area, showing a picture of
// pix_width x pix_height (the proportions of VOUT_PREFERRED). A mode outside DISPLAY_MODE fills
// the area like VOUT_NORMAL.
vout_display_place_t fit_display_rect(int display_mode, int W, int H, unsigned pix_width, unsigned pix_height);

#endif
