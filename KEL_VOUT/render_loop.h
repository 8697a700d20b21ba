// render_loop: the render thread every backend runs. The loop itself (create the child window,
// follow the parent, take frames, plan, draw, answer snapshots, present, count, stop) is written
// once; a backend supplies only the steps that touch its device. Everything here runs on the
// instance's render thread, which owns the child window, its device context and the device.
#ifndef KEL_VOUT_RENDER_LOOP_H
#define KEL_VOUT_RENDER_LOOP_H

#include "frame_plan.h"
#include "kel_vout_abstract.h"

struct vout_window_class;

// A backend's device steps, called by render_loop on the render thread.
class render_steps {
public:
    // Makes the device for the child window obj->embed_xid (with its device context obj->hDC).
    // False when this instance cannot draw at all; creation then fails. A device that can come
    // later (after a transient failure) answers true and is brought back by ready().
    virtual bool attach(kel_vout_display_t* obj) = 0;
    // Releases the device; the child window still exists (or has vanished with its parent).
    virtual void detach(kel_vout_display_t* obj) = 0;
    // The child window's client size changed to width x height: the back buffer and the viewport
    // follow. A move of the child alone does not call this.
    virtual void resize(kel_vout_display_t* obj, int width, int height) = 0;
    // Whether a picture can be drawn now; a device that is lost or failed is brought back here
    // when it is time to try. Tells what the renderer offers and the back buffer's size.
    virtual bool ready(kel_vout_display_t* obj, renderer_caps* caps, int* width, int* height) = 0;
    // Draws obj->picture as `plan` says. `upload` is true for a picture not drawn before (a new
    // frame); false draws the picture already uploaded again.
    virtual void draw(kel_vout_display_t* obj, const frame_plan& plan, bool upload) = 0;
    // Copies the back buffer's top-left width x height pixels as packed RGB rows of width * 3
    // bytes, top row first. Only between draw and present.
    virtual void read_back(kel_vout_display_t* obj, uint8_t* dst, int width, int height) = 0;
    // Shows what draw drew; true when a picture went to the screen.
    virtual bool present(kel_vout_display_t* obj) = 0;
    // How often the device was made again or reset since the instance began (not counting the
    // first); a change repaints.
    virtual uint64_t device_resets(kel_vout_display_t* obj) { return 0; }
    // True while the device is being brought back: passes keep painting (the device's own
    // clock paces the attempts) although nothing changed.
    virtual bool recovering(kel_vout_display_t* obj) { return false; }

protected:
    ~render_steps() = default;
};

// The render thread's body: 0 after an ordered stop, -2 when the child window or the device
// could not be made (obj->created stays false).
int32_t render_loop(kel_vout_display_t* obj, vout_window_class* window_class, render_steps& steps);

// True on a render thread (where a log callback may call the library).
bool on_render_thread();

// How long a pass waits for a frame when none comes: also how often an idle instance looks at
// its parent's client area, so the most a resize of the host waits to be followed.
const DWORD kIdleWaitMs = 20;

// Test seam: replaces SetThreadExecutionState, which keeps the display awake while frames flow
// (null restores it).
typedef EXECUTION_STATE (*execution_state_fn)(EXECUTION_STATE state);
void set_execution_state_hook_for_testing(execution_state_fn hook);

// The black picture shown until the first frame: 16 x 12 for YUV; for RGB the window's size,
// halved until it fits the picture buffer.
void prepare_start_picture(kel_vout_display_t* obj);

#endif
