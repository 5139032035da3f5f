// the managed windows' places, recorded before the mode switch and put back
#pragma once

#include <X11/Xlib.h>

// takes dpy (or nullptr) and records each managed window's place on it
void record_window_places(Display *dpy);
// from here on hears the window manager move windows
void watch_window_moves();
// once the window manager has done moving windows, asks it to put back each
// window whose place differs, then lets go of the record
void restore_window_places();
