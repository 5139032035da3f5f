// device motion, heard through XInput2 on a connection of its own
#pragma once

#include <X11/Xlib.h>

// takes dpy (or nullptr) and watches it from now on; motion before this
// call is no move
void watch_device_motion(Display *dpy);
// whether the server can tell device motion apart, and so it is watched
bool device_motion_watched();
// whether a device has moved the pointer since the last call, even where the
// pointer could go no further
bool device_moved();
