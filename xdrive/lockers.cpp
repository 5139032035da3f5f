// the session's lock as people have it: a system bus of its own with a
// stand-in for logind on it, xss-lock with i3lock or slock, or a desktop's
// own locker daemon run as a user; and the idle time and screen saver that
// idle watchers read
#include "internal.h"

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

using namespace xdrive_internal;

namespace
{

// a bus like the system's that every user may use, for a desktop's daemons
// run as the desktop user
std::string write_bus_config(const std::string &dir)
{
    const std::string path = dir + "/system-bus.conf";
    std::ofstream(path) << R"(<busconfig>
  <type>system</type>
  <listen>unix:dir=)" << dir
                        << R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";
    return path;
}

// a locker as xss-lock starts it, through a script that notes its process
std::string locker_command(const xserver &server, locker with)
{
    std::string program = "/usr/bin/i3lock --nofork";
    if (with == locker::slock) {
        // a copy, as the installed file carries a capability a process here may not take
        program = server.dir + "/slock";
        if (std::system(("cp /usr/bin/slock " + program).c_str()) != 0)
            throw std::runtime_error("cannot copy slock");
    }
    return write_script(server.dir + "/locker",
                        "echo $$ >>" + server.dir + "/lockers\nexec " + program);
}

// until the stand-in for logind has seen the call, as a locker asks logind
// for its session before it listens for a lock
void wait_for_logind_call(const xserver &server, const std::string &call, const std::string &who)
{
    const std::string log = server.dir + "/logind.py.log";
    for (double end = now_seconds() + 20; read_file(log).find(call) == std::string::npos;
         sleep_seconds(0.05))
        if (now_seconds() > end)
            throw std::runtime_error(who + " did not ask logind for " + call + ": " +
                                     read_file(log));
}

} // namespace

std::string write_script(const std::string &path, const std::string &lines)
{
    std::ofstream(path) << "#!/bin/sh\n" << lines << "\n";
    chmod(path.c_str(), 0755);
    return path;
}

std::string cannot_lock(locker with)
{
    const auto missing = [](const std::string &path) { return access(path.c_str(), X_OK) != 0; };
    if (missing("/usr/bin/dbus-daemon") || access("/usr/lib/python3/dist-packages/gi", R_OK) != 0)
        return "dbus and python3-gi are not installed";
    switch (with) {
    case locker::i3lock:
        return missing("/usr/bin/xss-lock") || missing("/usr/bin/i3lock")
                   ? "xss-lock and i3lock are not installed"
                   : "";
    case locker::slock:
        return missing("/usr/bin/xss-lock") || missing("/usr/bin/slock")
                   ? "xss-lock and slock (suckless-tools) are not installed"
                   : "";
    case locker::xscreensaver:
        if (missing("/usr/bin/xscreensaver"))
            return "xscreensaver is not installed";
        // it locks for no root and no nobody
        return cannot_run_as_desktop_user();
    }
    return "";
}

void start_system_bus(xserver &server)
{
    const std::string log = server.dir + "/dbus-daemon.log";
    const std::string address = line_from_started(
        server, {"dbus-daemon", "--config-file=" + write_bus_config(server.dir), "--nofork"},
        [](int fd) { return std::vector<std::string>{"--print-address=" + std::to_string(fd)}; },
        {}, log);
    if (address.empty())
        throw std::runtime_error("dbus-daemon did not start: " + read_file(log));
    server.system_bus = "DBUS_SYSTEM_BUS_ADDRESS=" + address;
    server.logind = start_helper(server, "logind.py", {server.system_bus});
}

void start_lock_watch(xserver &server, locker with, const std::string &notifier)
{
    if (with == locker::xscreensaver) {
        // its own helper hears logind's lock and sleep and locks
        launch_as_desktop_user(server, {"dbus-run-session", "--", "xscreensaver", "-no-splash"},
                               {server.system_bus}, server.dir + "/xscreensaver.log");
        wait_for_logind_call(server, "'xscreensaver'", "xscreensaver");
        return;
    }
    const std::vector<std::string> env{"DISPLAY=" + server.name, server.system_bus};
    std::vector<std::string> argv{"xss-lock"};
    // i3's own line hands i3lock the lock that holds sleep back until it shows
    if (with == locker::i3lock)
        argv.push_back("--transfer-sleep-lock");
    if (!notifier.empty())
        argv.insert(argv.end(), {"--notifier", notifier});
    argv.insert(argv.end(), {"--", locker_command(server, with)});
    server.pids.push_back(launch(argv, env, -1, server.dir + "/xss-lock.log"));
    wait_for_logind_call(server, "GetSessionByPID", "xss-lock");
}

void pull_trigger(xserver &server, lock_trigger trigger)
{
    switch (trigger) {
    case lock_trigger::session_lock:
        return tell_helper(server.logind, "lock", "the stand-in for logind");
    case lock_trigger::sleep:
        return tell_helper(server.logind, "sleep", "the stand-in for logind");
    case lock_trigger::screen_saver:
        // as xset s activate does
        XForceScreenSaver(server.display, ScreenSaverActive);
        XSync(server.display, False);
        return;
    case lock_trigger::notifier:
        return;
    }
}

std::vector<pid_t> lockers_started(const xserver &server)
{
    std::vector<pid_t> pids;
    std::istringstream in(read_file(server.dir + "/lockers"));
    for (pid_t pid; in >> pid;)
        pids.push_back(pid);
    return pids;
}

void set_screen_saver(Display *display, int timeout, int cycle)
{
    XSetScreenSaver(display, timeout, cycle, DefaultBlanking, DefaultExposures);
    XSync(display, False);
}

idle_state idle_now(Display *display)
{
    XScreenSaverInfo info{};
    XScreenSaverQueryInfo(display, DefaultRootWindow(display), &info);
    return {info.idle / 1000.0, info.state == ScreenSaverOn};
}
