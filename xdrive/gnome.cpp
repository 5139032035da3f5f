// GNOME on Wayland as its sessions run it: mutter's native backend, headless,
// with a virtual monitor and its own Xwayland; a person's hand comes through
// mutter's RemoteDesktop, as a seat's would
#include "internal.h"

#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

using namespace xdrive_internal;

namespace
{

std::string wait_for_line(const std::string &path, const std::string &prefix,
                          const std::string &log)
{
    for (double end = now_seconds() + 60; now_seconds() < end; sleep_seconds(0.05)) {
        const std::string text = read_file(path);
        const size_t at = text.find(prefix);
        const size_t stop = text.find_first_of(",\n", at);
        if (at != std::string::npos && stop != std::string::npos)
            return text.substr(at + prefix.size(), stop - at - prefix.size());
    }
    throw std::runtime_error("mutter did not start: " + read_file(log));
}

std::string authority_file(const std::string &runtime)
{
    glob_t found{};
    std::string path;
    for (double end = now_seconds() + 20; path.empty() && now_seconds() < end; sleep_seconds(0.05))
        if (glob((runtime + "/.mutter-Xwaylandauth.*").c_str(), 0, nullptr, &found) == 0) {
            path = found.gl_pathv[0];
            globfree(&found);
        }
    if (path.empty())
        throw std::runtime_error("mutter's Xwayland wrote no authority file");
    return path;
}

} // namespace

namespace xdrive_internal
{

std::string cannot_run_gnome()
{
    if (geteuid() != 0)
        return "mutter's Xwayland is kept off the machine's displays in a mount namespace of "
               "its own, which needs root";
    if (access("/usr/bin/mutter", X_OK) != 0 || access("/usr/bin/dbus-run-session", X_OK) != 0 ||
        access("/usr/lib/python3/dist-packages/gi", R_OK) != 0)
        return "mutter, dbus and python3-gi are not installed (script/servers and .ci/run "
               "install them)";
    return "";
}

void start_gnome(xserver &server)
{
    const std::string runtime = server.dir + "/runtime", bus = server.dir + "/bus";
    const std::string log = server.dir + "/mutter.log";
    mkdir(runtime.c_str(), 0700);
    mkdir("/tmp/.X11-unix", 01777);
    const std::string size =
        std::to_string(server.setup.width) + "x" + std::to_string(server.setup.height);
    // its Xwayland takes the lowest free display at once; an empty socket
    // folder of its own keeps it off the machine's, whose lock files it sees
    const std::string session = "echo $DBUS_SESSION_BUS_ADDRESS >" + bus + ".new && mv " + bus +
                                ".new " + bus +
                                " && exec mutter --headless --wayland --virtual-monitor " + size;
    server.pids.push_back(launch(
        {"unshare", "--mount", "sh", "-c",
         "mount -t tmpfs tmpfs /tmp/.X11-unix && exec dbus-run-session -- sh -c '" + session + "'"},
        {"XDG_RUNTIME_DIR=" + runtime}, -1, log));
    server.name = wait_for_line(log, "Using public X11 display ", log);
    // every client of it, the program too, needs its authority
    setenv("XAUTHORITY", authority_file(runtime).c_str(), 1);
    const std::string address = read_file(bus);
    // the hand: a process that holds a RemoteDesktop session for the server's life
    server.hand =
        start_helper(server, "remote_desktop.py",
                     {"DBUS_SESSION_BUS_ADDRESS=" + address.substr(0, address.find('\n'))});
}

} // namespace xdrive_internal
