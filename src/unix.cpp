// the platform's part on posix systems with an x server: stop signals, the
// library's x connection, the session's lock, device motion, the monitors'
// layout, the stacking and the windows' places
#include "device_motion.h"
#include "library_x11.h"
#include "monitor_layout.h"
#include "platform.h"
#include "session_lock.h"
#include "stacking.h"
#include "stop_signals.h"
#include "window_places.h"

#include <cstdio>

void before_library_start()
{
    open_standard_streams();
    hold_stop_signals();
}

const char *library_start_failure()
{
    return no_system_driver_reason();
}

void after_library_start()
{
    catch_stop_signals();
    watch_x_connection();
    watch_session_lock(open_own_connection());
}

const char *screen_too_small(int width, int height)
{
    return desktop_too_small(width, height);
}

void record_display()
{
    record_layout(open_own_connection());
    record_window_places(open_own_connection());
}

void after_mode_set()
{
    Window top;
    XRectangle picture;
    if (program_window(top, picture))
        watch_stacking(open_own_connection(), top, picture);
}

void before_library_exit()
{
    release_input();
    grow_screen_back();
}

void restore_display()
{
    watch_window_moves();
    if (!restore_layout())
        show_failure("cannot give the monitors back",
                     "the server keeps another layout; xrandr puts it back by hand");
    restore_window_places();
}

void watch_pointer_motion()
{
    watch_device_motion(open_own_connection());
}

motion pointer_motion()
{
    if (!device_motion_watched())
        return motion::unknown;
    return device_moved() ? motion::by_device : motion::none;
}

void keep_picture_on_top()
{
    keep_on_top();
}

void act_on_stop_signal()
{
    stop_if_signalled(give_back_display);
}

bool session_locking()
{
    return session_locks();
}

const char *picture_lost()
{
    return window_lost();
}

void show_failure(const char *what, const char *why)
{
    std::fprintf(stderr, "cubesaver: %s: %s\n", what, why);
}
