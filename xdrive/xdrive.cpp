#include "xdrive.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/xf86vmode.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace
{

// the cube as it should look: # black, r red, . transparent
const char *const block_rows[30] = {
    "..............................", "..............................",
    "..............................", "..............................",
    "..............................", "..............................",
    "..............................", "..............................",
    "......################........", ".....#rrrrrrrrrrrrrr##........",
    "....#rrrrrrrrrrrrrr#r#........", "...#rrrrrrrrrrrrrr#rr#........",
    "..#rrrrrrrrrrrrrr#rrr#........", ".#rrrrrrrrrrrrrr#rrrr#........",
    "#rrrrrrrrrrrrrr#rrrrr#........", "###############rrrrrr#........",
    "#rrrrrrrrrrrrr#rrrrrr#........", "#rrrrrrrrrrrrr#rrrrrr#........",
    "#rrrrrrrrrrrrr#rrrrrr#........", "#rrrrrrrrrrrrr#rrrrrr#........",
    "#rrrrrrrrrrrrr#rrrrrr#........", "#rrrrrrrrrrrrr#rrrrrr#........",
    "#rrrrrrrrrrrrr#rrrrrr#........", "#rrrrrrrrrrrrr#rrrrrr#........",
    "#rrrrrrrrrrrrr#rrrrr#.........", "#rrrrrrrrrrrrr#rrrr#..........",
    "#rrrrrrrrrrrrr#rrr#...........", "#rrrrrrrrrrrrr#rr#............",
    "#rrrrrrrrrrrrr#r#.............", "################..............",
};

// makecol(200, 0, 0) at 16 bits keeps 5 bits of red, which the library
// widens to 8 as (r << 3) | (r >> 2)
constexpr unsigned cube_red_8bit = (200 >> 3 << 3) | (200 >> 3 >> 2);

std::string temp_file()
{
    char path[] = "/tmp/cubesaver-test-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        throw std::runtime_error("mkstemp failed");
    close(fd);
    return path;
}

std::string temp_dir()
{
    char path[] = "/tmp/cubesaver-server-XXXXXX";
    if (!mkdtemp(path))
        throw std::runtime_error("mkdtemp failed");
    return path;
}

// the red of the cube as a pixel of this visual
unsigned long red_value(const Visual *visual)
{
    const unsigned long mask = visual->red_mask;
    int shift = 0, bits = 0;
    while (!((mask >> shift) & 1))
        ++shift;
    while ((mask >> (shift + bits)) & 1)
        ++bits;
    return static_cast<unsigned long>(cube_red_8bit >> (8 - bits)) << shift;
}

// XGetPixel is slow enough to blur start-up timings; read the common depths directly
unsigned long pixel_at(const XImage *image, int x, int y)
{
    const char *row = image->data + static_cast<long>(y) * image->bytes_per_line;
    if (image->bits_per_pixel == 16 && image->byte_order == LSBFirst)
        return reinterpret_cast<const uint16_t *>(row)[x];
    if (image->bits_per_pixel == 32 && image->byte_order == LSBFirst)
        return reinterpret_cast<const uint32_t *>(row)[x] & 0xffffff;
    return XGetPixel(const_cast<XImage *>(image), x, y) & 0xffffff;
}

// a red square with a black outline, as the floor draws it
char square_pixel(int x, int y)
{
    return x == 0 || y == 0 || x == 29 || y == 29 ? '#' : 'r';
}

void stamp(std::vector<uint8_t> &model, position at, stamp_shape shape)
{
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 30; ++x) {
            const char c = shape == stamp_shape::cube ? block_rows[y][x] : square_pixel(x, y);
            const int row = at.row + y;
            const int column = at.column + x;
            if (c == '.' || row >= picture_height || column >= picture_width)
                continue;
            model[row * picture_width + column] = c == '#' ? black_pixel : red_pixel;
        }
}

// in a child: the extra environment set, every descriptor past the standard
// three closed but the one given, then the program
[[noreturn]] void exec_child(const std::vector<std::string> &argv,
                             const std::vector<std::string> &env, int keep_fd = -1)
{
    for (int fd = 3; fd < 256; ++fd)
        if (fd != keep_fd)
            close(fd);
    for (const auto &setting : env)
        putenv(const_cast<char *>(setting.c_str()));
    std::vector<char *> args;
    for (const auto &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

// starts a server or compositor with its output on /dev/null (or the log)
pid_t launch(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
             int keep_fd = -1, const std::string &log = "/dev/null")
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        dup2(out, 1);
        dup2(out, 2);
        exec_child(argv, env, keep_fd);
    }
    return pid;
}

// a server that writes its display number to -displayfd once it takes
// connections; its output goes to a log in the server's folder
std::string display_from_fd(std::vector<std::string> argv, const std::vector<std::string> &env,
                            xserver &server)
{
    const std::string log = server.dir + "/" + argv[0] + ".out";
    int fds[2];
    if (pipe(fds) != 0)
        throw std::runtime_error("pipe failed");
    argv.insert(argv.begin() + 1, {"-displayfd", std::to_string(fds[1])});
    server.pids.push_back(launch(argv, env, fds[1], log));
    close(fds[1]);
    std::string number;
    char c;
    pollfd ready{fds[0], POLLIN, 0};
    while (poll(&ready, 1, 30000) == 1 && read(fds[0], &c, 1) == 1 && c != '\n')
        number += c;
    close(fds[0]);
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
    conf << "Section \"Screen\"\n  Identifier \"screen\"\n  Device \"dummy\"\n"
            "  Monitor \"left\"\n";
    for (int depth : {16, 24})
        conf << "  SubSection \"Display\"\n    Depth " << depth
             << "\n    Modes \"1024x768\" \"800x600\" \"640x480\"\n    Virtual " << setup.width
             << " " << setup.height << "\n  EndSubSection\n";
    conf << "EndSection\n";
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

Display *open_display(const std::string &name)
{
    for (double end = now_seconds() + 20; now_seconds() < end; sleep_seconds(0.05))
        if (Display *display = XOpenDisplay(name.c_str()))
            return display;
    throw std::runtime_error("cannot open " + name);
}

// the innermost window of the picture's size that is on the screen
Window find_program_window(Display *display, Window parent, Window &found)
{
    Window root, up, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display, parent, &root, &up, &children, &count))
        return found;
    for (unsigned i = 0; i < count; ++i) {
        XWindowAttributes a;
        if (!XGetWindowAttributes(display, children[i], &a) || a.map_state != IsViewable)
            continue;
        if (a.width == picture_width && a.height == picture_height && a.c_class == InputOutput)
            found = children[i];
        find_program_window(display, children[i], found);
    }
    if (children)
        XFree(children);
    return found;
}

int ignore_x_errors(Display *, XErrorEvent *)
{
    return 0;
}

} // namespace

std::string describe(const server_setup &setup)
{
    static const char *const names[] = {"xvfb",     "xorg",          "xorg_no_640",
                                        "xwayland", "xwayland_seat", "xwayland_rootful"};
    static const char *const layouts[] = {"", "_two_side_by_side", "_two_offset"};
    return std::string(names[static_cast<int>(setup.kind)]) + "_" + std::to_string(setup.width) +
           "x" + std::to_string(setup.height) + "x" + std::to_string(setup.depth) +
           layouts[static_cast<int>(setup.layout)];
}

double now_seconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void sleep_seconds(double seconds)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

std::string cannot_run(server_kind kind)
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
    default:
        return missing("/usr/bin/weston") || missing("/usr/bin/Xwayland")
                   ? "weston and xwayland are not installed"
                   : "";
    }
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
            break;
        }
        case server_kind::xwayland:
            start_weston(server, {"--backend=headless-backend.so"}, true, {});
            server.name = xwayland_display(server.dir + "/weston.log");
            break;
        case server_kind::xwayland_seat: {
            // a desktop of its own for the compositor's window, and a person's
            // pointer on it; wider than the window, so that the pointer starts
            // outside and enters it as a hand brings it
            const std::string wider =
                std::to_string(setup.width + 64) + "x" + std::to_string(setup.height) + "x24";
            const std::string outer =
                display_from_fd({"Xvfb", "-screen", "0", wider, "-nolisten", "tcp"}, {}, server);
            server.input = open_display(outer);
            move_pointer_to(server.input, setup.width + 32, setup.height / 2);
            start_weston(server, {"--backend=x11-backend.so", "--use-pixman"}, true,
                         {"DISPLAY=" + outer});
            server.name = xwayland_display(server.dir + "/weston.log");
            break;
        }
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
    if (server.display)
        XCloseDisplay(server.display);
    for (auto pid = server.pids.rbegin(); pid != server.pids.rend(); ++pid) {
        kill(*pid, SIGTERM);
        waitpid(*pid, nullptr, 0);
    }
    if (!server.dir.empty())
        std::system(("rm -rf '" + server.dir + "'").c_str());
    server = xserver{};
}

process spawn(const std::string &path, const std::string &display,
              const std::vector<std::string> &args, stderr_mode err,
              const std::vector<std::string> &env)
{
    process child{-1, temp_file(), temp_file()};
    int pipe_fds[2] = {-1, -1};
    if (err == stderr_mode::broken_pipe && pipe(pipe_fds) != 0)
        throw std::runtime_error("pipe failed");
    child.pid = fork();
    if (child.pid == 0) {
        if (display.empty())
            unsetenv("DISPLAY");
        else
            setenv("DISPLAY", display.c_str(), 1);
        dup2(open(child.out_path.c_str(), O_WRONLY | O_TRUNC), 1);
        if (err == stderr_mode::file)
            dup2(open(child.err_path.c_str(), O_WRONLY | O_TRUNC), 2);
        else if (err == stderr_mode::broken_pipe)
            dup2(pipe_fds[1], 2);
        else
            close(2);
        std::vector<std::string> argv{path};
        argv.insert(argv.end(), args.begin(), args.end());
        exec_child(argv, env);
    }
    // no reader is left on the pipe
    if (pipe_fds[0] >= 0) {
        close(pipe_fds[0]);
        close(pipe_fds[1]);
    }
    return child;
}

process spawn_wine(const std::string &exe, const std::string &display)
{
    // wine's desktop process stays with the display it started on, so a wine
    // session left from an earlier run on a server now gone must end first
    process stop = spawn("/usr/bin/wineserver", "", {"-k"});
    wait_exit(stop, 20);
    kill_process(stop);
    const char *wine = std::getenv("CUBESAVER_WINE");
    return spawn(wine ? wine : "/usr/bin/wine", display, {exe});
}

int wait_exit(process &child, double seconds)
{
    // a pidfd turns readable the moment the process ends
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, child.pid, 0));
    pollfd ended{fd, POLLIN, 0};
    poll(&ended, 1, static_cast<int>(seconds * 1000));
    close(fd);
    int status;
    if (waitpid(child.pid, &status, WNOHANG) != child.pid)
        return -1;
    child.pid = -1;
    return status;
}

void kill_process(process &child)
{
    if (child.pid > 0) {
        kill(child.pid, SIGKILL);
        waitpid(child.pid, nullptr, 0);
        child.pid = -1;
    }
    unlink(child.out_path.c_str());
    unlink(child.err_path.c_str());
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

screenshot read_picture(Display *display)
{
    screenshot shot;
    shot.pixels.assign(picture_width * picture_height, other_pixel);
    Window window = None;
    if (!find_program_window(display, DefaultRootWindow(display), window))
        return shot;
    Window child;
    XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &shot.left, &shot.top,
                          &child);
    // the window itself, as a rootless server has no root picture to read
    XImage *image =
        XGetImage(display, window, 0, 0, picture_width, picture_height, AllPlanes, ZPixmap);
    if (!image)
        return shot;
    const unsigned long red = red_value(DefaultVisual(display, DefaultScreen(display)));
    for (int y = 0; y < picture_height; ++y)
        for (int x = 0; x < picture_width; ++x) {
            const unsigned long pixel = pixel_at(image, x, y);
            shot.pixels[y * picture_width + x] = pixel == 0     ? black_pixel
                                                 : pixel == red ? red_pixel
                                                                : other_pixel;
        }
    XDestroyImage(image);
    return shot;
}

bool wait_for_red(Display *display, double seconds)
{
    const double end = now_seconds() + seconds;
    do {
        for (uint8_t kind : read_picture(display).pixels)
            if (kind == red_pixel)
                return true;
        sleep_seconds(0.002);
    } while (now_seconds() < end);
    return false;
}

desktop_view look_at_desktop(Display *display, int width, int height)
{
    desktop_view view;
    XImage *image =
        XGetImage(display, DefaultRootWindow(display), 0, 0, width, height, AllPlanes, ZPixmap);
    if (!image)
        return view;
    const Visual *visual = DefaultVisual(display, DefaultScreen(display));
    int left = width, right = -1, top = height, bottom = -1;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const unsigned long pixel = pixel_at(image, x, y);
            // scaled and filtered, so roughly red
            view.red_shown =
                view.red_shown || ((pixel & visual->red_mask) > visual->red_mask / 2 &&
                                   (pixel & visual->green_mask) < visual->green_mask / 4 &&
                                   (pixel & visual->blue_mask) < visual->blue_mask / 4);
            // the picture's black between the cubes, which scaling keeps black
            if (pixel == 0) {
                left = std::min(left, x), right = std::max(right, x);
                top = std::min(top, y), bottom = std::max(bottom, y);
            }
        }
    XDestroyImage(image);
    if (right >= 0)
        view.black_extent = {right - left + 1, bottom - top + 1};
    return view;
}

bool program_window_shown(Display *display)
{
    Window window = None;
    return find_program_window(display, DefaultRootWindow(display), window) != None;
}

mode current_mode(Display *display)
{
    // the screen's own size: a RandR switch (Wine's) resizes it
    Window root;
    int x, y;
    unsigned width, height, border, depth;
    XGetGeometry(display, DefaultRootWindow(display), &root, &x, &y, &width, &height, &border,
                 &depth);
    const mode screen{static_cast<int>(width), static_cast<int>(height)};
    // a VidMode switch (the library's) leaves the screen and changes only the
    // mode line; Xvfb has no such extension
    int dotclock, event, error;
    XF86VidModeModeLine line{};
    if (!XF86VidModeQueryExtension(display, &event, &error) ||
        !XF86VidModeGetModeLine(display, DefaultScreen(display), &dotclock, &line))
        return screen;
    if (line.privsize)
        XFree(line.c_private);
    if (line.hdisplay * line.vdisplay < screen.width * screen.height)
        return {line.hdisplay, line.vdisplay};
    return screen;
}

namespace
{

std::string mode_name(const XRRScreenResources *resources, RRMode id)
{
    for (int i = 0; i < resources->nmode; ++i)
        if (resources->modes[i].id == id)
            return resources->modes[i].name;
    return id == None ? "off" : "mode " + std::to_string(id);
}

// each CRTC's info, in the server's order, through the given function
void for_each_crtc(
    Display *display,
    const std::function<void(const XRRScreenResources *, RRCrtc, const XRRCrtcInfo *)> &use)
{
    XRRScreenResources *resources =
        XRRGetScreenResourcesCurrent(display, DefaultRootWindow(display));
    if (!resources)
        return;
    for (int i = 0; i < resources->ncrtc; ++i)
        if (XRRCrtcInfo *crtc = XRRGetCrtcInfo(display, resources, resources->crtcs[i])) {
            use(resources, resources->crtcs[i], crtc);
            XRRFreeCrtcInfo(crtc);
        }
    XRRFreeScreenResources(resources);
}

std::string box(const XRRCrtcInfo *crtc)
{
    return std::to_string(crtc->width) + "x" + std::to_string(crtc->height) + "+" +
           std::to_string(crtc->x) + "+" + std::to_string(crtc->y);
}

} // namespace

std::string monitor_layout(Display *display)
{
    Window root;
    int x, y;
    unsigned width, height, border, depth;
    XGetGeometry(display, DefaultRootWindow(display), &root, &x, &y, &width, &height, &border,
                 &depth);
    std::string text = "screen " + std::to_string(width) + "x" + std::to_string(height);
    // a CRTC that is off and drives nothing says nothing; one that comes on shows
    for_each_crtc(
        display, [&](const XRRScreenResources *resources, RRCrtc id, const XRRCrtcInfo *crtc) {
            if (crtc->mode == None && crtc->noutput == 0)
                return;
            text += "; crtc " + std::to_string(id) + " " + mode_name(resources, crtc->mode) + " " +
                    box(crtc) + " rotation " + std::to_string(crtc->rotation) + " outputs";
            for (int i = 0; i < crtc->noutput; ++i)
                text += " " + std::to_string(crtc->outputs[i]);
        });
    return text;
}

std::vector<std::string> lit_monitors(Display *display)
{
    std::vector<std::string> lit;
    for_each_crtc(display, [&](const XRRScreenResources *, RRCrtc, const XRRCrtcInfo *crtc) {
        if (crtc->mode != None)
            lit.push_back(box(crtc));
    });
    return lit;
}

std::vector<int> pointer_control(Display *display)
{
    int numerator, denominator, threshold;
    XGetPointerControl(display, &numerator, &denominator, &threshold);
    return {numerator, denominator, threshold};
}

void set_pointer_control(Display *display, int numerator, int denominator, int threshold)
{
    XChangePointerControl(display, True, True, numerator, denominator, threshold);
    XSync(display, False);
}

void move_pointer_to(Display *display, int x, int y)
{
    XTestFakeMotionEvent(display, DefaultScreen(display), x, y, CurrentTime);
    XSync(display, False);
}

void nudge_pointer(Display *display, int dx, int dy)
{
    XTestFakeRelativeMotionEvent(display, dx, dy, CurrentTime);
    XSync(display, False);
}

namespace
{

// presses, holds a moment as a person does, and lets go
void hold(Display *display, const std::function<void(Bool)> &press)
{
    press(True);
    XSync(display, False);
    sleep_seconds(0.1);
    press(False);
    XSync(display, False);
}

} // namespace

void hold_keys(Display *display, const std::vector<std::string> &keys)
{
    for (const auto &key : keys) {
        const KeyCode code = XKeysymToKeycode(display, XStringToKeysym(key.c_str()));
        hold(display, [&](Bool down) { XTestFakeKeyEvent(display, code, down, CurrentTime); });
    }
}

void hold_buttons(Display *display, const std::vector<unsigned> &buttons)
{
    for (unsigned button : buttons)
        hold(display, [&](Bool down) { XTestFakeButtonEvent(display, button, down, CurrentTime); });
}

void flash_window(Display *display)
{
    const Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 50, 50, 0,
                                              0, WhitePixel(display, DefaultScreen(display)));
    XMapWindow(display, window);
    XSync(display, False);
    sleep_seconds(0.5);
    XDestroyWindow(display, window);
    XSync(display, False);
}

Display *grab_keyboard(const std::string &name)
{
    Display *display = open_display(name);
    if (XGrabKeyboard(display, DefaultRootWindow(display), False, GrabModeAsync, GrabModeAsync,
                      CurrentTime) != GrabSuccess)
        throw std::runtime_error("cannot grab the keyboard of " + name);
    XSync(display, False);
    return display;
}

void close_display(Display *display)
{
    XCloseDisplay(display);
}

std::vector<position> stamp_positions(int count, const std::function<int()> &next)
{
    std::vector<position> positions;
    for (int i = 0; i < count; ++i) {
        const int row = next() % picture_height;
        positions.push_back({row, next() % picture_width});
    }
    return positions;
}

std::vector<position> glibc_positions(int count)
{
    // an unseeded rand() runs as if seeded with 1
    srand(1);
    return stamp_positions(count, [] { return rand(); });
}

std::vector<position> msvcrt_positions(int count)
{
    uint32_t state = 1;
    return stamp_positions(count, [&state] {
        state = state * 214013 + 2531011;
        return static_cast<int>((state >> 16) & 0x7fff);
    });
}

int matching_stamps(const std::vector<uint8_t> &pixels, const std::vector<position> &positions,
                    stamp_shape shape)
{
    std::vector<uint8_t> model(pixels.size(), black_pixel);
    int found = -1;
    for (size_t k = 0;; ++k) {
        if (model == pixels) {
            if (found >= 0)
                return -1;
            found = static_cast<int>(k);
        }
        if (k == positions.size())
            return found;
        stamp(model, positions[k], shape);
    }
}

int stamps_on_screen(Display *display, const std::vector<position> &positions, double &when,
                     stamp_shape shape)
{
    for (int attempt = 0; attempt < 10; ++attempt) {
        when = now_seconds();
        const int k = matching_stamps(read_picture(display).pixels, positions, shape);
        if (k >= 0)
            return k;
    }
    return -1;
}
