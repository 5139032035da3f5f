// the program's window kept above every other that comes over its picture
#pragma once

#include <X11/Xlib.h>

// takes dpy (or nullptr) and watches the top-level windows on it; top is the
// program's own, picture the part of the screen it shows, in root coordinates
void watch_stacking(Display *dpy, Window top, XRectangle picture);
// raises the program's window if a window has come over the picture; makes no
// request unless the top-level windows changed
void keep_on_top();
