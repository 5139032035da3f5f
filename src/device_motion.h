// device motion, heard through XInput2 on a connection of its own
#pragma once

#include <X11/Xlib.h>

// takes dpy (or nullptr) and watches it from now on; motion before this
// call is no move
void watch_device_motion(Display *dpy);
// whether a device has moved the pointer since the last call; true where
// nothing is watched, so the library's word stands
bool device_moved();
