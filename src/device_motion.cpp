// a connection of our own that hears of every motion of a pointing device;
// the server's own moves of the pointer send none
#include "device_motion.h"

#include <X11/extensions/XInput2.h>

namespace
{

struct {
    Display *dpy;
    int opcode;
} watch;

} // namespace

void watch_device_motion(Display *dpy)
{
    if (!dpy)
        return;
    // raw events reach a client of version 2.1 or later even while the
    // library has the pointer grabbed
    int event, error, major = 2, minor = 2;
    if (!XQueryExtension(dpy, "XInputExtension", &watch.opcode, &event, &error) ||
        XIQueryVersion(dpy, &major, &minor) != Success) {
        XCloseDisplay(dpy);
        return;
    }
    unsigned char bits[XIMaskLen(XI_RawMotion)] = {};
    XISetMask(bits, XI_RawMotion);
    XIEventMask mask = {XIAllMasterDevices, sizeof bits, bits};
    XISelectEvents(dpy, DefaultRootWindow(dpy), &mask, 1);
    // the round trip puts the selection in place; motion from before the
    // snapshot is no move
    XSync(dpy, True);
    watch.dpy = dpy;
}

bool device_moved()
{
    if (!watch.dpy)
        return true;
    // the server sends the raw event before the motion the library has seen,
    // so after a round trip it is here if there was one
    if (!XPending(watch.dpy))
        XSync(watch.dpy, False);
    bool moved = false;
    while (XPending(watch.dpy)) {
        XEvent event;
        XNextEvent(watch.dpy, &event);
        moved = moved ||
                (event.xcookie.type == GenericEvent && event.xcookie.extension == watch.opcode &&
                 event.xcookie.evtype == XI_RawMotion);
    }
    return moved;
}
