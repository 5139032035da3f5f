// where each managed window was before the mode switch, on a connection of our
// own: a window manager pulls windows into the smaller screen, and not every
// one puts them back when the screen grows again
#include "window_places.h"

#include <X11/Xatom.h>

#include <vector>

namespace
{

struct place {
    Window window;
    int x, y;
    unsigned width, height;
};

struct {
    Display *dpy;
    std::vector<place> places;
    // the handler ours replaced, for other connections' errors
    int (*other_errors)(Display *, XErrorEvent *);
} record;

// a window closed while it ran is no error
int ignore_place_errors(Display *dpy, XErrorEvent *event)
{
    if (dpy == record.dpy)
        return 0;
    return record.other_errors ? record.other_errors(dpy, event) : 0;
}

// the windows the window manager manages, or none where there is none
std::vector<Window> managed_windows()
{
    const Atom list = XInternAtom(record.dpy, "_NET_CLIENT_LIST", False);
    Atom type;
    int format;
    unsigned long count, left;
    unsigned char *data = nullptr;
    std::vector<Window> windows;
    if (XGetWindowProperty(record.dpy, DefaultRootWindow(record.dpy), list, 0, 4096, False,
                           XA_WINDOW, &type, &format, &count, &left, &data) == Success &&
        type == XA_WINDOW && format == 32) {
        const auto *ids = reinterpret_cast<const unsigned long *>(data);
        windows.assign(ids, ids + count);
    }
    if (data)
        XFree(data);
    return windows;
}

// the window's own place on the screen, not its frame's
bool place_of(Window window, place &p)
{
    Window root, child;
    int x, y;
    unsigned border, depth;
    p.window = window;
    return XGetGeometry(record.dpy, window, &root, &x, &y, &p.width, &p.height, &border, &depth) &&
           XTranslateCoordinates(record.dpy, window, root, 0, 0, &p.x, &p.y, &child);
}

// asks the window manager, as a pager does, to put the window back; the
// window's own corner counts, whatever its frame
void ask_for_place(const place &p)
{
    const long static_gravity = StaticGravity;
    const long x_y_width_height = 0xf << 8;
    const long from_pager = 2 << 12;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = p.window;
    event.xclient.message_type = XInternAtom(record.dpy, "_NET_MOVERESIZE_WINDOW", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_gravity | x_y_width_height | from_pager;
    event.xclient.data.l[1] = p.x;
    event.xclient.data.l[2] = p.y;
    event.xclient.data.l[3] = static_cast<long>(p.width);
    event.xclient.data.l[4] = static_cast<long>(p.height);
    XSendEvent(record.dpy, DefaultRootWindow(record.dpy), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &event);
}

} // namespace

void record_window_places(Display *dpy)
{
    if (!dpy)
        return;
    record.dpy = dpy;
    record.other_errors = XSetErrorHandler(ignore_place_errors);
    for (Window window : managed_windows()) {
        place p;
        if (place_of(window, p))
            record.places.push_back(p);
    }
    XSync(dpy, False);
}

void restore_window_places()
{
    if (!record.dpy)
        return;
    for (const place &was : record.places) {
        place now;
        if (place_of(was.window, now) && (now.x != was.x || now.y != was.y ||
                                          now.width != was.width || now.height != was.height))
            ask_for_place(was);
    }
    XSync(record.dpy, False);
    XCloseDisplay(record.dpy);
    record.dpy = nullptr;
    record.places.clear();
}
