// the picture kept on top, on a connection of our own: after a mode switch a
// window manager may re-create a bar or pull a window into the smaller screen
// and stack it above the program's window. it never fights: it raises only
// over the windows a window manager stacks (managed windows, docks, bars),
// never over another client's override-redirect window, such as a locker,
// another saver or an on-screen keyboard, which may raise itself again
#include "stacking.h"

#include <chrono>

namespace
{

// a window that a window manager keeps raising again is raised over at most
// this often
constexpr std::chrono::milliseconds raise_interval{200};

struct {
    Display *dpy;
    Window top;
    XRectangle picture;
    std::chrono::steady_clock::time_point last_raise;
    // a change seen within the interval, to be looked at once it has passed
    bool look_due;
} watch;

bool covers_picture(const XWindowAttributes &a)
{
    const XRectangle &p = watch.picture;
    return a.map_state == IsViewable && a.c_class == InputOutput && a.x < p.x + p.width &&
           a.x + a.width + 2 * a.border_width > p.x && a.y < p.y + p.height &&
           a.y + a.height + 2 * a.border_width > p.y;
}

// a frame that a window manager made around a client of its own: i3 makes
// its frames, a bar's among them, override-redirect
bool frames_a_client(Window window)
{
    // no client has ever been managed where the atom does not exist
    const Atom state = XInternAtom(watch.dpy, "WM_STATE", True);
    Window root, parent, *children;
    unsigned count;
    if (state == None || !XQueryTree(watch.dpy, window, &root, &parent, &children, &count))
        return false;
    bool found = false;
    for (unsigned i = 0; i < count && !found; ++i) {
        Atom type;
        int format;
        unsigned long items, after;
        unsigned char *data = nullptr;
        found = XGetWindowProperty(watch.dpy, children[i], state, 0, 0, False, AnyPropertyType,
                                   &type, &format, &items, &after, &data) == Success &&
                type != None;
        if (data)
            XFree(data);
    }
    if (children)
        XFree(children);
    return found;
}

// a window that a window manager stacks: not another client's own
// override-redirect window
bool stacked_by_window_manager(Window window, const XWindowAttributes &a)
{
    return !a.override_redirect || frames_a_client(window);
}

// whether a shown window that a window manager stacks lies above ours and
// over the picture
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
            covered =
                covers_picture(attributes) && stacked_by_window_manager(children[i], attributes);
        above = above || children[i] == watch.top;
    }
    if (children)
        XFree(children);
    return covered;
}

void raise_if_covered()
{
    const auto now = std::chrono::steady_clock::now();
    if (now - watch.last_raise < raise_interval) {
        watch.look_due = true;
        return;
    }
    watch.look_due = false;
    if (!picture_covered())
        return;
    XRaiseWindow(watch.dpy, watch.top);
    XFlush(watch.dpy);
    watch.last_raise = now;
}

} // namespace

void watch_stacking(Display *dpy, Window top, XRectangle picture)
{
    if (!dpy)
        return;
    watch.dpy = dpy;
    watch.top = top;
    watch.picture = picture;
    XSelectInput(dpy, DefaultRootWindow(dpy), SubstructureNotifyMask);
    raise_if_covered();
}

void keep_on_top()
{
    if (!watch.dpy)
        return;
    // only a change among the top-level windows is worth a look
    bool changed = watch.look_due;
    while (XPending(watch.dpy)) {
        XEvent event;
        XNextEvent(watch.dpy, &event);
        changed = changed || event.type == ConfigureNotify || event.type == MapNotify ||
                  event.type == CirculateNotify || event.type == ReparentNotify;
    }
    if (changed)
        raise_if_covered();
}
