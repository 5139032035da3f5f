// the session's lock wins: when the session is to be locked or the machine
// to sleep, a locker starts at that moment and must take the keyboard and
// pointer, so the run ends at once. logind says so on the system bus, and an
// idle watcher's timer (xss-lock's) starts its locker when the x server's
// screen saver turns on
#include "session_lock.h"

#include <X11/extensions/scrnsaver.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace
{

constexpr char logind[] = "org.freedesktop.login1";
constexpr char manager_path[] = "/org/freedesktop/login1";
constexpr char manager[] = "org.freedesktop.login1.Manager";
constexpr char session_interface[] = "org.freedesktop.login1.Session";

struct {
    bool locking;
    sd_bus *bus;
    // our session's object path, once logind has told it
    std::string session;
    Display *dpy;
    int saver_event;
    // on when it started: an idle watcher started it as its notifier or
    // locker, and it ends then only when the watcher says so
    bool saver_on;
} watch;

int heard_lock(sd_bus_message *message, void *, sd_bus_error *)
{
    const char *path = sd_bus_message_get_path(message);
    if (path && path == watch.session)
        watch.locking = true;
    return 0;
}

int heard_sleep(sd_bus_message *message, void *, sd_bus_error *)
{
    int going = 0;
    if (sd_bus_message_read(message, "b", &going) >= 0 && going)
        watch.locking = true;
    return 0;
}

int heard_session(sd_bus_message *reply, void *, sd_bus_error *)
{
    const char *path = nullptr;
    if (!sd_bus_message_is_method_error(reply, nullptr) &&
        sd_bus_message_read(reply, "o", &path) >= 0 && path)
        watch.session = path;
    return 0;
}

// nothing here waits for the bus: its answers come in as the run goes on
void watch_logind()
{
    if (sd_bus_open_system(&watch.bus) < 0) {
        watch.bus = nullptr;
        return;
    }
    sd_bus_match_signal_async(watch.bus, nullptr, logind, nullptr, session_interface, "Lock",
                              heard_lock, nullptr, nullptr);
    sd_bus_match_signal_async(watch.bus, nullptr, logind, manager_path, manager, "PrepareForSleep",
                              heard_sleep, nullptr, nullptr);
    // the session we run in, as xss-lock finds its own
    sd_bus_call_method_async(watch.bus, nullptr, logind, manager_path, manager, "GetSessionByPID",
                             heard_session, nullptr, "u", static_cast<uint32_t>(getpid()));
}

void watch_screen_saver(Display *dpy)
{
    int error;
    XScreenSaverInfo info{};
    if (!XScreenSaverQueryExtension(dpy, &watch.saver_event, &error) ||
        !XScreenSaverQueryInfo(dpy, DefaultRootWindow(dpy), &info)) {
        XCloseDisplay(dpy);
        return;
    }
    watch.saver_on = info.state == ScreenSaverOn;
    XScreenSaverSelectInput(dpy, DefaultRootWindow(dpy), ScreenSaverNotifyMask);
    XFlush(dpy);
    watch.dpy = dpy;
}

void hear_screen_saver()
{
    while (XPending(watch.dpy)) {
        XEvent event;
        XNextEvent(watch.dpy, &event);
        if (event.type != watch.saver_event + ScreenSaverNotify)
            continue;
        const auto &notify = reinterpret_cast<const XScreenSaverNotifyEvent &>(event);
        if (notify.state == ScreenSaverOn && !watch.saver_on)
            watch.locking = true;
        watch.saver_on = notify.state != ScreenSaverOff;
    }
}

} // namespace

void watch_session_lock(Display *dpy)
{
    watch_logind();
    if (dpy)
        watch_screen_saver(dpy);
}

bool session_locks()
{
    if (watch.bus)
        while (sd_bus_process(watch.bus, nullptr) > 0)
            ;
    if (watch.dpy)
        hear_screen_saver();
    return watch.locking;
}
