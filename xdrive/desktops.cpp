// desktops as people run them: a window manager, its compositor or bar, or a
// whole session, and ordinary windows of the kinds a switch treats each in its
// own way
#include "internal.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <fstream>
#include <pwd.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

using namespace xdrive_internal;

namespace
{

// the user a desktop session runs as: a program and its home of its own, as
// a person's session has
const char desktop_user_name[] = "cubesaver-desktop";

// the windows a person left on the desktop, each of a kind a switch to
// 640x480 treats in its own way
struct client_window {
    int x, y, width, height;
    // an X border, as Xt programs (xterm, xeyes) have before a window manager
    // frames them
    int border;
    bool maximised;
};
const client_window client_windows[] = {
    {100, 100, 300, 200, 1, false},
    // beyond the 640 columns, pulled in
    {700, 200, 300, 200, 0, false},
    // larger than 640x480, made smaller
    {0, 0, 900, 620, 0, false},
    {200, 300, 300, 200, 0, true},
    // on the second monitor, where the 640x480 screen clamps it
    {1200, 300, 400, 300, 1, false},
};

bool has_property(Display *display, Window window, const char *name)
{
    Atom type;
    int format;
    unsigned long count, left;
    unsigned char *data = nullptr;
    const Atom atom = XInternAtom(display, name, False);
    const bool found = XGetWindowProperty(display, window, atom, 0, 1, False, AnyPropertyType,
                                          &type, &format, &count, &left, &data) == Success &&
                       type != None;
    if (data)
        XFree(data);
    return found;
}

bool selection_owned(Display *display, const char *name)
{
    return XGetSelectionOwner(display, XInternAtom(display, name, False)) != None;
}

// until the condition holds, or the deadline passes and the desktop fails to start
void wait_until(const std::function<bool()> &ready, const std::string &what)
{
    for (double end = now_seconds() + 30; !ready(); sleep_seconds(0.05))
        if (now_seconds() > end)
            throw std::runtime_error(what + " did not start");
}

std::string write_i3_config(const std::string &dir)
{
    const std::string path = dir + "/i3.config";
    std::ofstream config(path);
    config
        << "font pango:monospace 8\n"
        << "bar {\n    position bottom\n    status_command while :; do echo up; sleep 5; done\n}\n";
    return path;
}

// the 32-bit values of a window's property of the given type, or none
std::vector<unsigned long> property_values(Display *display, Window window, const char *name,
                                           Atom type)
{
    Atom found;
    int format;
    unsigned long count, after;
    unsigned char *data = nullptr;
    std::vector<unsigned long> values;
    if (XGetWindowProperty(display, window, XInternAtom(display, name, False), 0, 4096, False, type,
                           &found, &format, &count, &after, &data) == Success &&
        found == type && format == 32) {
        const auto *items = reinterpret_cast<const unsigned long *>(data);
        values.assign(items, items + count);
    }
    if (data)
        XFree(data);
    return values;
}

// whether a window of the given _NET_WM_WINDOW_TYPE_ is among the managed ones
bool window_of_type(Display *display, const std::string &type)
{
    const Atom wanted = XInternAtom(display, ("_NET_WM_WINDOW_TYPE_" + type).c_str(), False);
    for (unsigned long client :
         property_values(display, DefaultRootWindow(display), "_NET_CLIENT_LIST", XA_WINDOW)) {
        const auto types = property_values(display, client, "_NET_WM_WINDOW_TYPE", XA_ATOM);
        if (!types.empty() && types[0] == wanted)
            return true;
    }
    return false;
}

// a desktop as a person's login starts it: its session manager under a
// session bus of its own, as the desktop's own user, up once its window
// manager manages, its desktop window shows and its panel, where it is a
// window of its own
void start_session(xserver &server)
{
    const std::string log = server.dir + "/session.log";
    switch (server.setup.wm) {
    case window_manager::mate:
        launch_as_desktop_user(server, {"dbus-run-session", "--", "mate-session"}, {}, log);
        break;
    case window_manager::lxqt: {
        // openbox as its window manager, as a person picks it at the first start
        const std::string config = server.dir + "/home/.config/lxqt";
        launch_as_desktop_user(server,
                               {"sh", "-c",
                                "mkdir -p " + config +
                                    " && printf '[General]\\nwindow_manager=openbox\\n' >" +
                                    config + "/session.conf && exec dbus-run-session -- startlxqt"},
                               {}, log);
        break;
    }
    default:
        launch_as_desktop_user(server, {"dbus-run-session", "--", "cinnamon-session-cinnamon"}, {},
                               log);
        break;
    }
    Display *display = server.display;
    wait_until(
        [&] {
            return has_property(display, DefaultRootWindow(display), "_NET_SUPPORTING_WM_CHECK") &&
                   window_of_type(display, "DESKTOP") &&
                   (server.setup.wm == window_manager::cinnamon || window_of_type(display, "DOCK"));
        },
        "the desktop session: " + read_file(log));
}

void start_window_manager(xserver &server)
{
    const std::vector<std::string> env{"DISPLAY=" + server.name, "HOME=" + server.dir,
                                       "XDG_CONFIG_HOME=" + server.dir,
                                       "XDG_RUNTIME_DIR=" + server.dir};
    const auto start = [&](const std::vector<std::string> &argv) {
        server.pids.push_back(launch(argv, env, -1, server.dir + "/" + argv[0] + ".log"));
    };
    Display *display = server.display;
    const Window root = DefaultRootWindow(display);
    const auto managing = [&] { return has_property(display, root, "_NET_SUPPORTING_WM_CHECK"); };
    switch (server.setup.wm) {
    case window_manager::none:
        return;
    case window_manager::xfwm4:
        start({"dbus-run-session", "--", "xfwm4", "--compositor=on", "--sm-client-disable"});
        wait_until([&] { return managing() && selection_owned(display, "_NET_WM_CM_S0"); },
                   "xfwm4 with its compositor");
        break;
    case window_manager::openbox:
        start({"openbox", "--sm-disable"});
        wait_until(managing, "openbox");
        start({"picom", "--backend", "xrender", "--config", "/dev/null"});
        wait_until([&] { return selection_owned(display, "_NET_WM_CM_S0"); }, "picom");
        break;
    case window_manager::i3:
        start({"i3", "-c", write_i3_config(server.dir)});
        wait_until(managing, "i3");
        break;
    case window_manager::mutter:
        start({"dbus-run-session", "--", "mutter", "--x11", "--replace", "--sm-disable"});
        wait_until(managing, "mutter");
        break;
    case window_manager::kwin:
        start({"dbus-run-session", "--", "kwin_x11", "--replace"});
        wait_until(managing, "kwin_x11");
        break;
    case window_manager::mate:
    case window_manager::lxqt:
    case window_manager::cinnamon:
        start_session(server);
        break;
    }
}

// whether the window manager says the window is maximised both ways
bool maximised(Display *display, Window window)
{
    const auto states = property_values(display, window, "_NET_WM_STATE", XA_ATOM);
    const auto has = [&](const char *state) {
        return std::find(states.begin(), states.end(), XInternAtom(display, state, False)) !=
               states.end();
    };
    return has("_NET_WM_STATE_MAXIMIZED_VERT") && has("_NET_WM_STATE_MAXIMIZED_HORZ");
}

// a window as an ordinary program maps it, asking for its own place
Window map_client(Display *display, const client_window &at, int index)
{
    const Window window =
        XCreateSimpleWindow(display, DefaultRootWindow(display), at.x, at.y, at.width, at.height,
                            at.border, 0, WhitePixel(display, DefaultScreen(display)));
    XSizeHints hints{};
    hints.flags = USPosition | USSize;
    hints.x = at.x, hints.y = at.y, hints.width = at.width, hints.height = at.height;
    XSetWMNormalHints(display, window, &hints);
    const std::string name = "client " + std::to_string(index);
    XStoreName(display, window, name.c_str());
    XClassHint class_hint{const_cast<char *>("client"), const_cast<char *>("Client")};
    XSetClassHint(display, window, &class_hint);
    if (at.maximised) {
        const Atom states[] = {XInternAtom(display, "_NET_WM_STATE_MAXIMIZED_VERT", False),
                               XInternAtom(display, "_NET_WM_STATE_MAXIMIZED_HORZ", False)};
        XChangeProperty(display, window, XInternAtom(display, "_NET_WM_STATE", False), XA_ATOM, 32,
                        PropModeReplace, reinterpret_cast<const unsigned char *>(states), 2);
    }
    XMapWindow(display, window);
    return window;
}

} // namespace

namespace xdrive_internal
{

const passwd *desktop_user()
{
    return getpwnam(desktop_user_name);
}

void launch_as_desktop_user(xserver &server, const std::vector<std::string> &argv,
                            const std::vector<std::string> &env, const std::string &log)
{
    const passwd *user = desktop_user();
    if (!user)
        throw std::runtime_error(std::string("there is no user ") + desktop_user_name);
    // a home and a runtime folder of the user's own, as a login gives
    const std::string home = server.dir + "/home", runtime = server.dir + "/user-runtime";
    chmod(server.dir.c_str(), 0711);
    for (const std::string &dir : {home, runtime}) {
        mkdir(dir.c_str(), 0700);
        if (chown(dir.c_str(), user->pw_uid, user->pw_gid) != 0)
            throw std::runtime_error("cannot give " + dir + " to " + desktop_user_name);
    }
    std::vector<std::string> all{"setpriv",
                                 "--reuid=" + std::to_string(user->pw_uid),
                                 "--regid=" + std::to_string(user->pw_gid),
                                 "--init-groups",
                                 "env",
                                 "-i",
                                 "HOME=" + home,
                                 "USER=" + std::string(desktop_user_name),
                                 "LOGNAME=" + std::string(desktop_user_name),
                                 "PATH=/usr/local/bin:/usr/bin:/bin",
                                 "LANG=C.UTF-8",
                                 "XDG_RUNTIME_DIR=" + runtime,
                                 "DISPLAY=" + server.name};
    all.insert(all.end(), env.begin(), env.end());
    all.insert(all.end(), argv.begin(), argv.end());
    server.pids.push_back(launch(all, {}, -1, log));
    server.desktop_user = true;
}

void end_desktop_user()
{
    const std::string kill = std::string("pkill -KILL -u ") + desktop_user_name;
    for (double end = now_seconds() + 10; std::system(kill.c_str()) == 0 && now_seconds() < end;)
        sleep_seconds(0.05);
}

std::string cannot_run_as_desktop_user()
{
    if (geteuid() != 0)
        return "a desktop runs as a user of its own, which needs root";
    if (!desktop_user())
        return std::string("there is no user ") + desktop_user_name +
               " to run a desktop as (script/test makes it)";
    return "";
}

std::string cannot_run_desktop(window_manager wm)
{
    static const std::vector<std::string> needs[] = {
        {},
        {"xfwm4", "dbus-run-session"},
        {"openbox", "picom"},
        {"i3", "i3bar"},
        {"mutter", "dbus-run-session"},
        {"kwin_x11", "dbus-run-session"},
        {"mate-session", "marco", "mate-panel", "caja"},
        {"startlxqt", "openbox", "lxqt-panel", "pcmanfm-qt"},
        {"cinnamon-session-cinnamon", "cinnamon", "nemo-desktop"}};
    for (const std::string &program : needs[static_cast<int>(wm)])
        if (access(("/usr/bin/" + program).c_str(), X_OK) != 0)
            return program + " is not installed (script/servers and .ci/run install it)";
    return is_desktop_session(wm) ? cannot_run_as_desktop_user() : "";
}

void start_desktop(xserver &server)
{
    if (server.setup.wm == window_manager::none)
        return;
    // the windows first, for the window manager to take over as it starts:
    // openbox, started moments before, now and then leaves a window that
    // asks to be mapped unmapped
    server.clients = open_display(server.name);
    Display *display = server.clients;
    int index = 0;
    for (const client_window &at : client_windows)
        if (at.x + at.width <= server.setup.width && at.y + at.height <= server.setup.height)
            server.windows.push_back(map_client(display, at, index++));
    XSync(display, False);
    start_window_manager(server);
    // managed once the window manager has framed and shown them
    try {
        wait_until(
            [&] {
                for (unsigned long window : server.windows)
                    if (!has_property(display, window, "WM_STATE"))
                        return false;
                return true;
            },
            "managing the desktop's windows");
    } catch (const std::runtime_error &e) {
        std::string logs;
        for (unsigned long window : server.windows) {
            XWindowAttributes a;
            XGetWindowAttributes(display, window, &a);
            logs += "window " + std::to_string(window) +
                    (has_property(display, window, "WM_STATE") ? " managed" : " unmanaged") +
                    (a.map_state == IsViewable ? ", shown; " : ", not shown; ");
        }
        for (const char *name : {"dbus-run-session", "openbox", "picom", "i3"})
            logs += read_file(server.dir + "/" + name + ".log");
        throw std::runtime_error(e.what() + (": " + logs));
    }
    // and settled where it puts them
    std::vector<std::string> last, now;
    for (double end = now_seconds() + 10; now_seconds() < end && (now.empty() || now != last);) {
        last = now;
        sleep_seconds(0.3);
        now = window_places(server);
    }
}

} // namespace xdrive_internal

bool is_desktop_session(window_manager wm)
{
    return wm == window_manager::mate || wm == window_manager::lxqt ||
           wm == window_manager::cinnamon;
}

std::vector<std::string> window_places(const xserver &server)
{
    std::vector<std::string> places;
    if (!server.clients)
        return places;
    Display *display = server.clients;
    XSync(display, False);
    for (unsigned long window : server.windows) {
        Window root, child;
        int x, y;
        unsigned width, height, border, depth;
        if (!XGetGeometry(display, window, &root, &x, &y, &width, &height, &border, &depth) ||
            !XTranslateCoordinates(display, window, root, 0, 0, &x, &y, &child)) {
            places.push_back("gone");
            continue;
        }
        places.push_back(std::to_string(width) + "x" + std::to_string(height) + "+" +
                         std::to_string(x) + "+" + std::to_string(y) +
                         (maximised(display, window) ? " maximised" : ""));
    }
    return places;
}

std::vector<std::string> wait_for_window_places(const xserver &server,
                                                const std::vector<std::string> &wanted,
                                                double seconds)
{
    std::vector<std::string> places = window_places(server);
    for (double end = now_seconds() + seconds; places != wanted && now_seconds() < end;
         sleep_seconds(0.05))
        places = window_places(server);
    return places;
}
