/* Reads, from outside the Windows process, what Wine presented into a GL or wined3d child
 * window: such a child is rendered into an XComposite-redirected X window whose parent is a
 * 1x1 window at (-1,-1). Finds the redirected windows of the given size and prints the RGB of
 * their pixel at (x, y), one line per window: "<xid> <r> <g> <b>".
 *   x_child_pixels WIDTH HEIGHT X Y          (uses $DISPLAY) */
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xcomposite.h>
#include <stdio.h>
#include <stdlib.h>

static int ignore_errors(Display* d, XErrorEvent* e)
{
    (void)d;
    (void)e;
    return 0;
}

static int found;

static void visit(Display* dpy, Window w, int want_w, int want_h, int px, int py)
{
    Window root, parent, *children = NULL;
    unsigned int n = 0;
    if (!XQueryTree(dpy, w, &root, &parent, &children, &n))
        return;
    for (unsigned int i = 0; i < n; ++i) {
        XWindowAttributes pa, ca;
        if (XGetWindowAttributes(dpy, w, &pa) && pa.width == 1 && pa.height == 1 && pa.x == -1 && pa.y == -1 &&
            XGetWindowAttributes(dpy, children[i], &ca) && ca.width == want_w && ca.height == want_h) {
            Pixmap pm = XCompositeNameWindowPixmap(dpy, children[i]);
            XImage* img = pm ? XGetImage(dpy, pm, 0, 0, (unsigned)want_w, (unsigned)want_h, AllPlanes, ZPixmap) : NULL;
            if (img) {
                unsigned long p = XGetPixel(img, px, py);
                printf("0x%lx %lu %lu %lu\n", (unsigned long)children[i], (p >> 16) & 0xff, (p >> 8) & 0xff, p & 0xff);
                ++found;
                XDestroyImage(img);
            }
            if (pm)
                XFreePixmap(dpy, pm);
        }
        visit(dpy, children[i], want_w, want_h, px, py);
    }
    if (children)
        XFree(children);
}

int main(int argc, char** argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: x_child_pixels WIDTH HEIGHT X Y\n");
        return 2;
    }
    Display* dpy = XOpenDisplay(NULL);
    if (!dpy) {
        fprintf(stderr, "x_child_pixels: cannot open display\n");
        return 2;
    }
    XSetErrorHandler(ignore_errors);
    visit(dpy, DefaultRootWindow(dpy), atoi(argv[1]), atoi(argv[2]), atoi(argv[3]), atoi(argv[4]));
    XCloseDisplay(dpy);
    return found ? 0 : 1;
}
