// kel_vout_window: the child window every backend draws into — its window classes, its window
// procedure, its creation inside the host's window, its message pump and its placement over the
// parent's client area. Classes are registered on the host's thread; everything else runs on
// the instance's render thread, which owns the child window and its device context.
#ifndef KEL_VOUT_WINDOW_H
#define KEL_VOUT_WINDOW_H

#include "kel_vout_abstract.h"

// A process-wide mutex guarding one window-class registration.
class win_lock {
public:
    win_lock();
    ~win_lock();
    win_lock(const win_lock&) = delete;
    win_lock& operator=(const win_lock&) = delete;
    void lock();
    void unlock();

private:
    HANDLE m_mutex;
};

// One backend's window class: registered once per process, by the first instance.
struct vout_window_class {
    const char* name;
    win_lock lock;
    ATOM atom;
};

// The module the library's code lives in (the DLL, or the program that links it statically).
HINSTANCE kel_vout_module();

// Registers the class, under the library's own module, when it is not yet; true once it is.
bool wglRegisterClass(vout_window_class* wc);
// Unregisters every class registered so far; the library calls it as it unloads (no window of
// ours exists then: render threads keep the library loaded while they run).
void unregister_window_classes();

// Creates the child window over the whole client area of obj->window_xid, visible, disabled (it
// takes no input) and clipping its siblings, and takes its device context. False, with nothing
// left behind, when there is no parent window or the window cannot be made.
bool createEmbedWindow(kel_vout_display_t* obj, const char* class_name);
// Releases the device context and destroys the child window; clears both. Idempotent.
void closeEmbedWindow(kel_vout_display_t* obj);

// Dispatches the messages queued for the render thread. -255 when WM_QUIT was among them (the
// child window was destroyed), 0 otherwise.
int32_t ManageEvent(kel_vout_display_t* obj);

// Whether the parent's client area moved on screen or changed size since the last call. Keeps
// what it saw in obj->rect_parent and the area's size in obj->place.width / height.
bool UpdateEmbedWinRect(kel_vout_display_t* obj);

// Places the child window for the display mode inside the area obj->place.width x height and
// records the rectangle in obj->child_rect. True when the child's size changed (the renderer's
// back buffer must follow); a move alone answers false.
bool adjust_vout_region(kel_vout_display_t* obj, DISPLAY_MODE mode);

#endif
