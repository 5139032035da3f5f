// the X servers: Xvfb, Xorg with the dummy driver, and compositors with Xwayland
#include "internal.h"

#include <X11/Xlib.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

using namespace xdrive_internal;

namespace
{

// a server that writes its display number to -displayfd once it takes
// connections; its output goes to a log in the server's folder
std::string display_from_fd(const std::vector<std::string> &argv,
                            const std::vector<std::string> &env, xserver &server)
{
    const std::string log = server.dir + "/" + argv[0] + ".out";
    const std::string number = line_from_started(
        server, argv,
        [](int fd) {
            return std::vector<std::string>{"-displayfd", std::to_string(fd)};
        },
        env, log);
    if (number.empty())
        throw std::runtime_error(argv[0] + " did not start: " + read_file(log));
    return ":" + number;
}

// the sync ranges of a monitor: wide, or so narrow that they admit only the
// desktop's timing and the server adds no modes of its own
void write_monitor(std::ofstream &conf, const std::string &name, bool with_640,
                   const std::string &place)
{
    conf << "Section \"Monitor\"\n  Identifier \"" << name << "\"\n";
    if (with_640)
        conf << "  HorizSync 5.0-1000.0\n  VertRefresh 5.0-200.0\n";
    else
        conf << "  HorizSync 48.0-49.0\n  VertRefresh 59.5-60.5\n";
    conf << "  Modeline \"1024x768\" 65.00 1024 1048 1184 1344 768 771 777 806 -hsync -vsync\n"
            "  Modeline \"800x600\" 40.00 800 840 968 1056 600 601 605 628 +hsync +vsync\n"
            "  Modeline \"640x480\" 25.175 640 656 752 800 480 490 492 525 -hsync -vsync\n"
            "  Option \"PreferredMode\" \"1024x768\"\n"
         << place << "EndSection\n";
}

void write_xorg_config(const std::string &dir, const server_setup &setup)
{
    // rotated and scaled layouts start side by side
    const bool two = setup.layout != monitors::one;
    std::ofstream conf(dir + "/xorg.conf");
    conf << "Section \"ServerFlags\"\n"
            "  Option \"AutoAddDevices\" \"false\"\n"
            "  Option \"AutoEnableDevices\" \"false\"\n"
            "  Option \"DontVTSwitch\" \"true\"\n"
            "EndSection\n"
            "Section \"Device\"\n  Identifier \"dummy\"\n  Driver \"dummy\"\n"
            "  VideoRam 16384\n";
    if (two)
        conf << "  Option \"Monitor-DUMMY0\" \"left\"\n  Option \"Monitor-DUMMY1\" \"right\"\n";
    conf << "EndSection\n";
    const bool with_640 = setup.kind == server_kind::xorg;
    write_monitor(conf, "left", with_640, "");
    if (two)
        write_monitor(conf, "right", with_640,
                      setup.layout == monitors::offset
                          ? "  Option \"Enable\" \"true\"\n  Option \"Position\" \"1024 128\"\n"
                          : "  Option \"Enable\" \"true\"\n  Option \"RightOf\" \"left\"\n");
    // a monitor that starts beyond the screen needs a shadow before the
    // server can make one; xrandr shrinks the screen once it is up
    const int width = two ? std::max(setup.width, 2048) : setup.width;
    const int height = std::max(setup.height, 768);
    conf << "Section \"Screen\"\n  Identifier \"screen\"\n  Device \"dummy\"\n"
            "  Monitor \"left\"\n";
    for (int depth : {16, 24})
        conf << "  SubSection \"Display\"\n    Depth " << depth
             << "\n    Modes \"1024x768\" \"800x600\" \"640x480\"\n    Virtual " << width << " "
             << height << "\n  EndSubSection\n";
    conf << "EndSection\n";
}

// the xrandr arguments that rotate and scale the monitors from side by side
std::vector<std::string> arrangement(monitors layout)
{
    switch (layout) {
    case monitors::portrait:
        return {"--output", "DUMMY1", "--rotate", "left", "--pos", "1024x0"};
    case monitors::scaled:
        return {"--output", "DUMMY0", "--scale", "1.5x1.5",
                "--output", "DUMMY1", "--pos",   "1536x0"};
    case monitors::portrait_and_scaled:
        return {"--output", "DUMMY0",   "--scale", "1.5x1.5", "--output",
                "DUMMY1",   "--rotate", "left",    "--pos",   "1536x0"};
    case monitors::portrait_first:
        return {"--output", "DUMMY0", "--rotate", "left", "--output", "DUMMY1", "--pos", "768x0"};
    default:
        return {};
    }
}

// rotates and scales the monitors as a user's xrandr does, on the rebuilt
// dummy driver that can
void arrange_monitors(const xserver &server)
{
    std::vector<std::string> args = arrangement(server.setup.layout);
    if (args.empty())
        return;
    args.insert(args.begin(), {"--fb", std::to_string(server.setup.width) + "x" +
                                           std::to_string(server.setup.height)});
    process xrandr = spawn("/usr/bin/xrandr", server.name, args);
    const int status = wait_exit(xrandr, 20);
    const std::string err = read_file(xrandr.err_path);
    kill_process(xrandr);
    if (status != 0)
        throw std::runtime_error("xrandr could not arrange the monitors: " + err);
}

// the rebuilt dummy driver that switches modes as real drivers do
std::string switching_modules()
{
    const char *dir = std::getenv("CUBESAVER_XORG_MODULES");
    if (dir)
        return dir;
    const char *cache = std::getenv("XDG_CACHE_HOME");
    const char *home = std::getenv("HOME");
    return (cache ? std::string(cache) : std::string(home ? home : "") + "/.cache") +
           "/cubesaver/xf86-video-dummy-switching/modules";
}

// weston writes the display of the Xwayland it will start to its log
std::string xwayland_display(const std::string &log)
{
    const std::string key = "xserver listening on display ";
    for (double end = now_seconds() + 30; now_seconds() < end; sleep_seconds(0.05)) {
        const std::string text = read_file(log);
        const size_t at = text.rfind(key);
        if (at != std::string::npos)
            return text.substr(at + key.size(), text.find('\n', at) - at - key.size());
    }
    throw std::runtime_error("weston did not start Xwayland: " + read_file(log));
}

void start_weston(xserver &server, const std::vector<std::string> &backend, bool xwayland,
                  const std::vector<std::string> &env)
{
    const std::string runtime = server.dir + "/runtime";
    mkdir(runtime.c_str(), 0700);
    const server_setup &s = server.setup;
    std::vector<std::string> argv{"weston",
                                  "--socket=wayland-cubesaver",
                                  "--log=" + server.dir + "/weston.log",
                                  "--idle-time=0",
                                  "--width=" + std::to_string(s.width),
                                  "--height=" + std::to_string(s.height)};
    argv.insert(argv.end(), backend.begin(), backend.end());
    if (xwayland)
        argv.push_back("--xwayland");
    std::vector<std::string> all_env{"XDG_RUNTIME_DIR=" + runtime};
    all_env.insert(all_env.end(), env.begin(), env.end());
    server.pids.push_back(launch(argv, all_env));
}

int ignore_x_errors(Display *, XErrorEvent *)
{
    return 0;
}

// a desktop of its own for a compositor's window, and a person's pointer on
// it; wider than the window, so that the pointer starts outside and enters it
// as a hand brings it
std::string start_seat(xserver &server)
{
    const server_setup &s = server.setup;
    const std::string wider = std::to_string(s.width + 64) + "x" + std::to_string(s.height) + "x24";
    const std::string outer =
        display_from_fd({"Xvfb", "-screen", "0", wider, "-nolisten", "tcp"}, {}, server);
    server.input = open_display(outer);
    move_pointer_to(server.input, s.width + 32, s.height / 2);
    return outer;
}

// a compositor's start-up command writes its Xwayland's display to a file
std::string display_from_file(const std::string &path, const std::string &log)
{
    for (double end = now_seconds() + 60; now_seconds() < end; sleep_seconds(0.05)) {
        std::string text = read_file(path);
        if (!text.empty() && text.back() == '\n')
            return text.substr(0, text.size() - 1);
    }
    throw std::runtime_error("no Xwayland display in " + path + ": " + read_file(log));
}

// a shell line that writes the Xwayland display to the file once, whole
std::string write_display(const std::string &path)
{
    return "echo $DISPLAY >" + path + ".new && mv " + path + ".new " + path;
}

constexpr uid_t nobody = 65534;

// sway refuses to run as root, so it runs as nobody, in a folder it owns; its
// Xwayland admits only its own user, so its start-up lets root in
void start_sway(xserver &server, const std::string &outer)
{
    const std::string home = server.dir + "/sway";
    mkdir(home.c_str(), 0700);
    chmod(server.dir.c_str(), 0711);
    {
        std::ofstream config(home + "/config");
        config << "xwayland enable\n"
               << "output * resolution " << server.setup.width << "x" << server.setup.height << "\n"
               << "exec sh -c 'xhost +si:localuser:root >/dev/null && "
               << write_display(home + "/display") << "'\n";
    }
    if (chown(home.c_str(), nobody, nobody) != 0 ||
        chown((home + "/config").c_str(), nobody, nobody) != 0)
        throw std::runtime_error("cannot give " + home + " to nobody");
    server.pids.push_back(
        launch({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "sway", "-c",
                home + "/config"},
               {"HOME=" + home, "XDG_RUNTIME_DIR=" + home, "DISPLAY=" + outer, "WLR_BACKENDS=x11",
                "WLR_RENDERER_ALLOW_SOFTWARE=1", "WLR_X11_OUTPUTS=1"},
               -1, server.dir + "/sway.log"));
    server.name = display_from_file(home + "/display", server.dir + "/sway.log");
}

// the installed kwin_wayland carries a file capability that a process here may
// not take, so a plain copy of it runs; it starts the given script once its
// Xwayland is up
void start_kwin(xserver &server, const std::string &outer)
{
    const std::string copy = server.dir + "/kwin_wayland";
    const std::string started = server.dir + "/started";
    mkdir((server.dir + "/runtime").c_str(), 0700);
    std::system(("cp /usr/bin/kwin_wayland '" + copy + "'").c_str());
    {
        std::ofstream script(started);
        script << "#!/bin/sh\n" << write_display(server.dir + "/display") << "\n";
    }
    chmod(started.c_str(), 0755);
    server.pids.push_back(
        launch({"dbus-run-session", "--", copy, "--x11-display", outer, "--width",
                std::to_string(server.setup.width), "--height", std::to_string(server.setup.height),
                "--xwayland", "--no-lockscreen", "--socket", "wayland-cubesaver", started},
               {"XDG_RUNTIME_DIR=" + server.dir + "/runtime", "KWIN_COMPOSE=Q",
                "LIBGL_ALWAYS_SOFTWARE=1", "DISPLAY=" + outer},
               -1, server.dir + "/kwin.log"));
    server.name = display_from_file(server.dir + "/display", server.dir + "/kwin.log");
}

} // namespace

namespace xdrive_internal
{

Display *open_display(const std::string &name)
{
    for (double end = now_seconds() + 20; now_seconds() < end; sleep_seconds(0.05))
        if (Display *display = XOpenDisplay(name.c_str()))
            return display;
    throw std::runtime_error("cannot open " + name);
}

} // namespace xdrive_internal

std::string describe(const server_setup &setup)
{
    static const char *const names[] = {"xvfb",     "xorg",          "xorg_no_640",
                                        "xwayland", "xwayland_seat", "xwayland_rootful",
                                        "sway",     "kwin",          "gnome"};
    static const char *const layouts[] = {
        "",        "_two_side_by_side",    "_two_offset",    "_portrait",
        "_scaled", "_portrait_and_scaled", "_portrait_first"};
    static const char *const window_managers[] = {"",      "_xfwm4",  "_openbox_picom",
                                                  "_i3",   "_mutter", "_kwin_x11",
                                                  "_mate", "_lxqt",   "_cinnamon"};
    return std::string(names[static_cast<int>(setup.kind)]) + "_" + std::to_string(setup.width) +
           "x" + std::to_string(setup.height) + "x" + std::to_string(setup.depth) +
           layouts[static_cast<int>(setup.layout)] + window_managers[static_cast<int>(setup.wm)];
}

namespace
{

std::string server_cannot_run(server_kind kind)
{
    const auto missing = [](const char *path) { return access(path, X_OK) != 0; };
    switch (kind) {
    case server_kind::xvfb:
        return missing("/usr/bin/Xvfb") ? "Xvfb is not installed" : "";
    case server_kind::xorg:
    case server_kind::xorg_no_640:
        if (geteuid() != 0)
            return "Xorg with the dummy driver starts only as root";
        if (missing("/usr/bin/Xorg") ||
            access("/usr/lib/xorg/modules/drivers/dummy_drv.so", R_OK) != 0)
            return "xserver-xorg-core and xserver-xorg-video-dummy are not installed";
        if (kind == server_kind::xorg &&
            access((switching_modules() + "/drivers/dummy_drv.so").c_str(), R_OK) != 0)
            return "the dummy driver that switches modes as real drivers do is not built in " +
                   switching_modules() + " (script/build-dummy builds it)";
        return "";
    case server_kind::sway:
        if (geteuid() != 0)
            return "sway refuses root, and starting it as nobody needs root";
        return missing("/usr/bin/sway") || missing("/usr/bin/Xwayland") ||
                       missing("/usr/bin/xhost") || missing("/usr/bin/setpriv")
                   ? "sway, xwayland and xhost (x11-xserver-utils) are not installed"
                   : "";
    case server_kind::gnome:
        return cannot_run_gnome();
    case server_kind::kwin:
        return missing("/usr/bin/kwin_wayland") || missing("/usr/bin/Xwayland") ||
                       missing("/usr/bin/dbus-run-session")
                   ? "kwin-wayland and dbus are not installed (script/servers and .ci/run "
                     "install them)"
                   : "";
    default:
        return missing("/usr/bin/weston") || missing("/usr/bin/Xwayland")
                   ? "weston and xwayland are not installed"
                   : "";
    }
}

} // namespace

std::string cannot_run(const server_setup &setup)
{
    const std::string why = server_cannot_run(setup.kind);
    return why.empty() ? cannot_run_desktop(setup.wm) : why;
}

xserver start_xserver(const server_setup &setup)
{
    xserver server;
    server.setup = setup;
    server.dir = temp_dir();
    const std::string size = std::to_string(setup.width) + "x" + std::to_string(setup.height);
    const std::string geometry = size + "x" + std::to_string(setup.depth);
    try {
        switch (setup.kind) {
        case server_kind::xvfb:
            server.name =
                display_from_fd({"Xvfb", "-screen", "0", geometry, "-nolisten", "tcp"}, {}, server);
            break;
        case server_kind::xorg:
        case server_kind::xorg_no_640: {
            write_xorg_config(server.dir, setup);
            mkdir((server.dir + "/conf.d").c_str(), 0700);
            std::vector<std::string> argv{"Xorg",
                                          "-config",
                                          server.dir + "/xorg.conf",
                                          "-configdir",
                                          server.dir + "/conf.d",
                                          "-noreset",
                                          "-nolisten",
                                          "tcp",
                                          "-logfile",
                                          server.dir + "/Xorg.log",
                                          "-depth",
                                          std::to_string(setup.depth)};
            if (setup.kind == server_kind::xorg)
                argv.insert(argv.end(),
                            {"-modulepath", switching_modules() + ",/usr/lib/xorg/modules"});
            server.name = display_from_fd(argv, {}, server);
            arrange_monitors(server);
            break;
        }
        case server_kind::xwayland:
            start_weston(server, {"--backend=headless-backend.so"}, true, {});
            server.name = xwayland_display(server.dir + "/weston.log");
            break;
        case server_kind::xwayland_seat: {
            const std::string outer = start_seat(server);
            start_weston(server, {"--backend=x11-backend.so", "--use-pixman"}, true,
                         {"DISPLAY=" + outer});
            server.name = xwayland_display(server.dir + "/weston.log");
            break;
        }
        case server_kind::sway:
            start_sway(server, start_seat(server));
            break;
        case server_kind::kwin:
            start_kwin(server, start_seat(server));
            break;
        case server_kind::gnome:
            start_gnome(server);
            break;
        case server_kind::xwayland_rootful:
            start_weston(server, {"--backend=headless-backend.so"}, false, {});
            for (double end = now_seconds() + 20;
                 access((server.dir + "/runtime/wayland-cubesaver").c_str(), F_OK) != 0;
                 sleep_seconds(0.05))
                if (now_seconds() > end)
                    throw std::runtime_error("weston did not start");
            server.name = display_from_fd(
                {"Xwayland", "-nolisten", "tcp"},
                {"XDG_RUNTIME_DIR=" + server.dir + "/runtime", "WAYLAND_DISPLAY=wayland-cubesaver"},
                server);
            break;
        }
        server.display = open_display(server.name);
        if (!server.input)
            server.input = server.display;
        start_desktop(server);
    } catch (...) {
        stop_xserver(server);
        throw;
    }
    XSetErrorHandler(ignore_x_errors);
    return server;
}

void stop_xserver(xserver &server)
{
    if (server.input && server.input != server.display)
        XCloseDisplay(server.input);
    if (server.clients)
        XCloseDisplay(server.clients);
    if (server.hand.in >= 0)
        unsetenv("XAUTHORITY");
    close_helper(server.hand);
    close_helper(server.logind);
    if (server.display)
        XCloseDisplay(server.display);
    // a compositor's session bus, lock screen and Xwayland go with it
    for (auto pid = server.pids.rbegin(); pid != server.pids.rend(); ++pid) {
        kill(-*pid, SIGTERM);
        waitpid(*pid, nullptr, 0);
        kill(-*pid, SIGKILL);
    }
    // and a desktop's daemons, which leave their process group
    if (server.desktop_user)
        end_desktop_user();
    if (!server.dir.empty()) {
        // a desktop's file system helpers (gvfsd-fuse) mount in its runtime folder
        std::ifstream mounts("/proc/mounts");
        for (std::string device, point, rest;
             mounts >> device >> point && std::getline(mounts, rest);)
            if (point.rfind(server.dir + "/", 0) == 0)
                umount2(point.c_str(), MNT_DETACH);
        std::system(("rm -rf '" + server.dir + "'").c_str());
    }
    server = xserver{};
}
