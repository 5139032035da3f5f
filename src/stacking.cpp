// the picture kept on top, on a connection of our own: after a mode switch a
// window manager may re-create a bar or pull a window into the smaller screen
// and stack it above the program's window
#include "stacking.h"

namespace
{

struct {
    Display *dpy;
    Window top;
    XRectangle picture;
    // the handler ours replaced, for other connections' errors
    int (*other_errors)(Display *, XErrorEvent *);
} watch;

// a window that goes while we look at it is no error
int ignore_stacking_errors(Display *dpy, XErrorEvent *event)
{
    if (dpy == watch.dpy)
        return 0;
    return watch.other_errors ? watch.other_errors(dpy, event) : 0;
}

bool covers_picture(const XWindowAttributes &a)
{
    const XRectangle &p = watch.picture;
    return a.map_state == IsViewable && a.c_class == InputOutput && a.x < p.x + p.width &&
           a.x + a.width + 2 * a.border_width > p.x && a.y < p.y + p.height &&
           a.y + a.height + 2 * a.border_width > p.y;
}

// whether a shown window lies above ours and over the picture
bool picture_covered()
{
    Window root, parent, *children;
    unsigned count;
    if (!XQueryTree(watch.dpy, DefaultRootWindow(watch.dpy), &root, &parent, &children, &count))
        return false;
    bool covered = false;
    bool above = false;
    // bottom to top
    for (unsigned i = 0; i < count && !covered; ++i) {
        XWindowAttributes attributes;
        if (above && XGetWindowAttributes(watch.dpy, children[i], &attributes))
            covered = covers_picture(attributes);
        above = above || children[i] == watch.top;
    }
    if (children)
        XFree(children);
    return covered;
}

void raise_if_covered()
{
    if (!picture_covered())
        return;
    XRaiseWindow(watch.dpy, watch.top);
    XFlush(watch.dpy);
}

} // namespace

void watch_stacking(Display *dpy, Window top, XRectangle picture)
{
    if (!dpy)
        return;
    watch = {dpy, top, picture, XSetErrorHandler(ignore_stacking_errors)};
    XSelectInput(dpy, DefaultRootWindow(dpy), SubstructureNotifyMask);
    raise_if_covered();
}

void keep_on_top()
{
    if (!watch.dpy)
        return;
    // only a change among the top-level windows is worth a look
    bool changed = false;
    while (XPending(watch.dpy)) {
        XEvent event;
        XNextEvent(watch.dpy, &event);
        changed = changed || event.type == ConfigureNotify || event.type == MapNotify ||
                  event.type == CirculateNotify || event.type == ReparentNotify;
    }
    if (changed)
        raise_if_covered();
}
