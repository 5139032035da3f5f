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

// a raw event of the pointer's x or y axis; a wheel's scrolling comes as
// raw motion too, on axes of its own, and is no move
bool moves_pointer(XEvent &event)
{
    if (event.xcookie.type != GenericEvent || event.xcookie.extension != watch.opcode ||
        event.xcookie.evtype != XI_RawMotion || !XGetEventData(watch.dpy, &event.xcookie))
        return false;
    const auto *raw = static_cast<const XIRawEvent *>(event.xcookie.data);
    const XIValuatorState &axes = raw->valuators;
    const bool moves =
        (axes.mask_len > 0 && (XIMaskIsSet(axes.mask, 0) || XIMaskIsSet(axes.mask, 1)));
    XFreeEventData(watch.dpy, &event.xcookie);
    return moves;
}

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

bool device_motion_watched()
{
    return watch.dpy != nullptr;
}

bool device_moved()
{
    bool moved = false;
    while (watch.dpy && XPending(watch.dpy)) {
        XEvent event;
        XNextEvent(watch.dpy, &event);
        moved = moves_pointer(event) || moved;
    }
    return moved;
}
