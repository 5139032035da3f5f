// what touches the library's own x connection and its lock
#pragma once

#include <X11/Xlib.h>

// whether the library runs on an x server
bool on_x11();
// why no system driver could start, naming the display it was given
const char *no_system_driver_reason();
// a lost connection ends the program at once; no x error ends it
void watch_x_connection();
// why the desktop cannot hold a width x height picture, or nullptr
const char *desktop_too_small(int width, int height);
// a connection of our own to the library's display, or nullptr off x11
Display *open_own_connection();
// lets go of the keyboard and the pointer
void release_input();
// why the program's window is gone, after an error on the library's
// connection, or nullptr
const char *window_lost();
// the program's top-level window and where its picture lies on the screen,
// or false where there is none
bool program_window(Window &top, XRectangle &picture);
