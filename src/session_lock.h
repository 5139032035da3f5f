// the session's lock and the machine's sleep, heard from logind on the system
// bus and from the x server's screen saver
#pragma once

#include <X11/Xlib.h>

// takes dpy (or nullptr) for the screen saver's events; where there is no
// system bus or no logind it does without, and says nothing
void watch_session_lock(Display *dpy);
// whether the session is to be locked or the machine to sleep
bool session_locks();
