// the platform's part on windows: a message box for failures, and the mouse
// speed after the mode
#include <allegro.h>

#include "platform.h"

void before_library_start()
{
}

const char *library_start_failure()
{
    return "no system driver could start";
}

void after_library_start()
{
}

const char *screen_too_small(int, int)
{
    return nullptr;
}

void record_display()
{
}

// the mode switch puts the speed back to two counts a pixel, and windows
// mice are relative, so a one-count move would leave mouse_x as it was
void after_mode_set()
{
    set_mouse_speed(1, 1);
}

void before_library_exit()
{
}

void restore_display()
{
}

void watch_pointer_motion()
{
}

motion pointer_motion()
{
    return motion::unknown;
}

void keep_picture_on_top()
{
}

void act_on_stop_signal()
{
}

bool session_locking()
{
    return false;
}

const char *picture_lost()
{
    return nullptr;
}

// a gui program has no console to write to
void show_failure(const char *what, const char *why)
{
    allegro_message("cubesaver: %s: %s\n", what, why);
}
