// glue to the library's x11 internals: its display, window and lock
#include "library_x11.h"

#include <allegro.h>
#include <xalleg.h>
// XLOCK and XUNLOCK, the library's own lock on its x connection
#include <allegro/platform/aintunix.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

bool on_x11()
{
    return system_driver && system_driver->id == SYSTEM_XWINDOWS;
}

// with no display to open the library gives no reason of its own
const char *no_system_driver_reason()
{
    static char why[160];
    const char *name = std::getenv("DISPLAY");
    if (name)
        std::snprintf(why, sizeof why, "no system driver could start, with DISPLAY=\"%.100s\"",
                      name);
    else
        std::snprintf(why, sizeof why, "no system driver could start, and DISPLAY is not set");
    return why;
}

namespace
{

// a hand-over happens once, so a second warp holds
constexpr int max_centring_tries = 3;

// the server is gone, so there is no display left to give back; leave at once
// rather than let the library's shutdown talk to a dead connection
int lost_x_server(Display *dpy)
{
    std::fprintf(stderr, "cubesaver: lost the X server: the connection to %s broke\n",
                 DisplayString(dpy));
    _exit(1);
}

void take_in_queued_events()
{
    for (;;) {
        XLOCK();
        const int queued = XQLength(_xwin.display);
        XUNLOCK();
        if (!queued)
            return;
        _xwin_handle_input();
    }
}

} // namespace

void watch_x_connection()
{
    if (on_x11())
        XSetIOErrorHandler(lost_x_server);
}

// on x11 the mode is a window on the desktop, so a smaller screen would cut
// the picture and push the pointer, which reads as a move and a clean exit
const char *desktop_too_small(int width, int height)
{
    int desktop_width;
    int desktop_height;
    if (!on_x11() || get_desktop_resolution(&desktop_width, &desktop_height) != 0)
        return nullptr;
    if (desktop_width >= width && desktop_height >= height)
        return nullptr;
    static char why[64];
    std::snprintf(why, sizeof why, "the screen is only %dx%d", desktop_width, desktop_height);
    return why;
}

Display *open_own_connection()
{
    return on_x11() ? XOpenDisplay(DisplayString(_xwin.display)) : nullptr;
}

// the mode switch leaves the library reading pointer moves as relative ones
// for a while, after which it warps the pointer to where it has counted,
// often an edge where a move outward changes nothing; put the pointer at the
// centre and take in every event up to here, so the snapshot is final
void centre_pointer()
{
    if (!on_x11())
        return;
    // a compositor handing over its pointer meanwhile puts it back where its
    // own is, often an edge, so warp until it stays
    for (int tries = 0; tries < max_centring_tries; ++tries) {
        XLOCK();
        _xwin.mouse_warped = 0;
        XWarpPointer(_xwin.display, None, _xwin.window, 0, 0, 0, 0, SCREEN_W / 2, SCREEN_H / 2);
        XSync(_xwin.display, False);
        XUNLOCK();
        take_in_queued_events();
        if (mouse_x == SCREEN_W / 2 && mouse_y == SCREEN_H / 2)
            return;
    }
}

bool program_window(Window &top, XRectangle &picture)
{
    if (!on_x11() || !_xwin.fs_window)
        return false;
    XLOCK();
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(_xwin.display, _xwin.window, DefaultRootWindow(_xwin.display), 0, 0, &x,
                          &y, &child);
    top = _xwin.fs_window;
    XUNLOCK();
    picture = {static_cast<short>(x), static_cast<short>(y), static_cast<unsigned short>(SCREEN_W),
               static_cast<unsigned short>(SCREEN_H)};
    return true;
}
