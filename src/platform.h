// what the core asks of its platform around the library's steps; each
// platform's file gives its own answer, and most answers are to do nothing
#pragma once

// the core's own, for a platform that must give the display back itself
void give_back_display();

// first of all, before the library starts
void before_library_start();
// why the library could not start, when it gives no reason of its own
const char *library_start_failure();
// right after the library has started
void after_library_start();
// before the mode: why the screen cannot hold the picture, or nullptr
const char *screen_too_small(int width, int height);
// before the mode: record what the switch may change and the switch back miss
void record_display();
// right after the mode is set
void after_mode_set();
// first of all at the end, before the library's shutdown: the keyboard and
// pointer let go of, so that a locker started at that moment can take them
void before_library_exit();
// after the library's shutdown has put the mode back
void restore_display();
// once, just before the first snapshot: motion from here on counts
void watch_pointer_motion();
// what moved the pointer since the last look: a person's device, nothing
// but perhaps the server, or unknown where the platform cannot tell
enum class motion { unknown, none, by_device };
motion pointer_motion();
// on every presentation: the picture back on top if a window came over it
void keep_picture_on_top();
// on every presentation: if a stop signal came, give the display back and
// die of it
void act_on_stop_signal();
// on every presentation: whether the session is to be locked or the machine
// to sleep
bool session_locking();
// on every presentation: why there is no longer a picture to show, or nullptr
const char *picture_lost();
// how a failure line is shown
void show_failure(const char *what, const char *why);
