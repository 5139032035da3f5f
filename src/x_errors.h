// x errors on every connection of the program: none reaches xlib's default
// handler, which exits from inside the library and so deadlocks its shutdown
#pragma once

#include <X11/Xlib.h>

// one handler for every connection: the library's errors are noted, our own
// connections' ignored, as they look at windows that may go at any time
void catch_x_errors(Display *library);
// the first error on the library's connection since the last call, if any
bool take_library_error(XErrorEvent &error);
// the error as "BadDrawable (invalid Pixmap or Window parameter) from MIT-SHM
// X_ShmPutImage", its request's name asked of the server on dpy
const char *describe_error(Display *dpy, const XErrorEvent &error);
