// where each managed window was before the mode switch, on a connection of our
// own: a window manager pulls windows into the smaller screen, and not every
// one puts them back when the screen grows again
#include "window_places.h"

#include <X11/Xatom.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace
{

using clock_type = std::chrono::steady_clock;

// a window manager moves windows in its own time once the monitors are back,
// some only after their panels have grown again; it is done once no window
// and no panel has changed for this long
constexpr std::chrono::milliseconds quiet{150};
// the end waits no longer than this for it
constexpr std::chrono::milliseconds longest_wait{800};
// asks for a window still away from its place
constexpr int rounds = 3;

struct place {
    Window window;
    int x, y;
    unsigned width, height;
};

struct {
    Display *dpy;
    std::vector<place> places;
} record;

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

bool same_place(const place &a, const place &b)
{
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

// the left and top of the window manager's frame around the window, where it
// says them
bool frame_extents(Window window, long &left, long &top)
{
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char *data = nullptr;
    const bool found =
        XGetWindowProperty(record.dpy, window, XInternAtom(record.dpy, "_NET_FRAME_EXTENTS", False),
                           0, 4, False, XA_CARDINAL, &type, &format, &count, &after,
                           &data) == Success &&
        type == XA_CARDINAL && format == 32 && count == 4;
    if (found) {
        const auto *extents = reinterpret_cast<const long *>(data);
        left = extents[0];
        top = extents[2];
    }
    if (data)
        XFree(data);
    return found;
}

// asks the window manager, as a pager does, to put the window back. the frame's
// corner is asked for where the window says its frame: openbox places a window
// by its own corner one pixel off for every pixel of border it had before it
// was framed; elsewhere the window's own corner counts, whatever its frame
void ask_for_place(const place &p)
{
    const long x_y_width_height = 0xf << 8;
    const long from_pager = 2 << 12;
    long gravity = StaticGravity, x = p.x, y = p.y, left, top;
    if (frame_extents(p.window, left, top)) {
        gravity = NorthWestGravity;
        x -= left;
        y -= top;
    }
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = p.window;
    event.xclient.message_type = XInternAtom(record.dpy, "_NET_MOVERESIZE_WINDOW", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = gravity | x_y_width_height | from_pager;
    event.xclient.data.l[1] = x;
    event.xclient.data.l[2] = y;
    event.xclient.data.l[3] = static_cast<long>(p.width);
    event.xclient.data.l[4] = static_cast<long>(p.height);
    XSendEvent(record.dpy, DefaultRootWindow(record.dpy), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &event);
}

// until no top-level window (a frame, a panel) has changed and the root's
// properties (the work area) have stayed for a while, or the deadline
void wait_until_quiet(clock_type::time_point deadline)
{
    auto last_change = clock_type::now();
    for (;;) {
        while (XPending(record.dpy)) {
            XEvent event;
            XNextEvent(record.dpy, &event);
            last_change = clock_type::now();
        }
        const auto now = clock_type::now();
        const auto until = std::min(last_change + quiet, deadline);
        if (now >= until)
            return;
        pollfd readable{ConnectionNumber(record.dpy), POLLIN, 0};
        poll(&readable, 1,
             static_cast<int>(
                 std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1));
    }
}

// asks for each window away from its place; whether every one is in place
bool ask_for_places()
{
    bool all_in_place = true;
    for (const place &was : record.places) {
        place now;
        if (!place_of(was.window, now) || same_place(now, was))
            continue;
        ask_for_place(was);
        all_in_place = false;
    }
    XSync(record.dpy, False);
    return all_in_place;
}

} // namespace

void record_window_places(Display *dpy)
{
    if (!dpy)
        return;
    record.dpy = dpy;
    for (Window window : managed_windows()) {
        place p;
        if (place_of(window, p))
            record.places.push_back(p);
    }
    XSync(dpy, False);
    if (record.places.empty()) {
        XCloseDisplay(dpy);
        record.dpy = nullptr;
    }
}

void watch_window_moves()
{
    if (!record.dpy)
        return;
    XSelectInput(record.dpy, DefaultRootWindow(record.dpy),
                 SubstructureNotifyMask | PropertyChangeMask);
    XSync(record.dpy, False);
}

void restore_window_places()
{
    if (!record.dpy)
        return;
    // the window manager puts back what it can first, so a maximised window
    // stays maximised; then each window still away is asked for
    const auto deadline = clock_type::now() + longest_wait;
    for (int round = 0; round < rounds; ++round) {
        wait_until_quiet(deadline);
        if (ask_for_places() || clock_type::now() >= deadline)
            break;
    }
    XCloseDisplay(record.dpy);
    record.dpy = nullptr;
    record.places.clear();
}
