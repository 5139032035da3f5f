// glue to the library's x11 internals: its display, window and lock
#include "library_x11.h"
#include "x_errors.h"

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

// the server is gone, so there is no display left to give back; leave at once
// rather than let the library's shutdown talk to a dead connection
int lost_x_server(Display *dpy)
{
    std::fprintf(stderr, "cubesaver: lost the X server: the connection to %s broke\n",
                 DisplayString(dpy));
    _exit(1);
}

} // namespace

void watch_x_connection()
{
    if (!on_x11())
        return;
    XSetIOErrorHandler(lost_x_server);
    catch_x_errors(_xwin.display);
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

// at once, so that a locker started at the same moment can take them
void release_input()
{
    if (!on_x11() || !_xwin.display)
        return;
    XLOCK();
    XUngrabKeyboard(_xwin.display, CurrentTime);
    XUngrabPointer(_xwin.display, CurrentTime);
    XFlush(_xwin.display);
    XUNLOCK();
}

// an error on the library's connection matters only when it leaves no window
// to show the picture in: another client may destroy it
const char *window_lost()
{
    XErrorEvent error;
    if (!on_x11() || !take_library_error(error))
        return nullptr;
    XLOCK();
    XWindowAttributes attributes;
    const bool gone = !XGetWindowAttributes(_xwin.display, _xwin.window, &attributes);
    const char *why = gone ? describe_error(_xwin.display, error) : nullptr;
    XUNLOCK();
    // the look at a window gone is an error of its own
    take_library_error(error);
    return why;
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
