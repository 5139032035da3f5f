// the monitors' layout, recorded before the mode switch and put back after
#pragma once

#include <X11/Xlib.h>

// takes dpy (or nullptr) and records the layout on it, where RandR 1.2 is
void record_layout(Display *dpy);
// before the library's switch back: the screen grown back to its recorded
// size where something shrank it
void grow_screen_back();
// puts back whatever differs from the record, then lets go of it; whether the
// monitors are back as recorded
bool restore_layout();
