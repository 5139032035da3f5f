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

const std::string hand_script = XDRIVE_SOURCE_DIR "/remote_desktop.py";

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

// the hand: a process that holds a RemoteDesktop session for the server's life
void start_hand(xserver &server, const std::string &bus)
{
    int to[2], from[2];
    if (pipe(to) != 0 || pipe(from) != 0)
        throw std::runtime_error("cannot make the hand's pipes");
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        dup2(to[0], 0);
        dup2(from[1], 1);
        exec_child({"/usr/bin/python3", hand_script}, {"DBUS_SESSION_BUS_ADDRESS=" + bus});
    }
    close(to[0]);
    close(from[1]);
    server.pids.push_back(pid);
    server.hand_in = to[1];
    server.hand_out = from[0];
    if (!hand_answered(server))
        throw std::runtime_error("mutter's RemoteDesktop took no session");
}

} // namespace

namespace xdrive_internal
{

bool hand_answered(const xserver &server)
{
    char reply[3] = {};
    size_t got = 0;
    while (got < sizeof reply) {
        const ssize_t n = read(server.hand_out, reply + got, sizeof reply - got);
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return std::string(reply, sizeof reply) == "ok\n";
}

void tell_hand(const xserver &server, const std::string &request)
{
    const std::string line = request + "\n";
    if (write(server.hand_in, line.data(), line.size()) != static_cast<ssize_t>(line.size()) ||
        !hand_answered(server))
        throw std::runtime_error("mutter's RemoteDesktop did not take " + request);
}

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
    start_hand(server, address.substr(0, address.find('\n')));
}

} // namespace xdrive_internal
