#include "support.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

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

void sleep_seconds(double seconds)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

std::string temp_file()
{
    char path[] = "/tmp/cubesaver-test-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        throw std::runtime_error("mkstemp failed");
    close(fd);
    return path;
}

// a channel scaled to 0-255 whatever the visual's depth
int channel(unsigned long pixel, unsigned long mask)
{
    int shift = 0;
    while (!((mask >> shift) & 1))
        ++shift;
    const unsigned long top = mask >> shift;
    return static_cast<int>(((pixel & mask) >> shift) * 255 / top);
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

} // namespace

double now_seconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

xserver start_xserver(const std::string &geometry)
{
    int fds[2];
    if (pipe(fds) != 0)
        throw std::runtime_error("pipe failed");
    xserver server;
    server.pid = fork();
    if (server.pid == 0) {
        close(fds[0]);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        const std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", geometry.c_str(),
               "-nolisten", "tcp", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    // Xvfb writes its display number once it takes connections
    std::string number;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n')
        number += c;
    close(fds[0]);
    if (number.empty())
        throw std::runtime_error("Xvfb did not start");
    server.name = ":" + number;
    server.display = XOpenDisplay(server.name.c_str());
    if (!server.display)
        throw std::runtime_error("cannot open " + server.name);
    return server;
}

void stop_xserver(xserver &server)
{
    if (server.display)
        XCloseDisplay(server.display);
    if (server.pid > 0) {
        kill(server.pid, SIGTERM);
        waitpid(server.pid, nullptr, 0);
    }
    server = xserver{};
}

process spawn(const std::string &path, const std::string &display,
              const std::vector<std::string> &args)
{
    process child{-1, temp_file(), temp_file()};
    child.pid = fork();
    if (child.pid == 0) {
        if (display.empty())
            unsetenv("DISPLAY");
        else
            setenv("DISPLAY", display.c_str(), 1);
        dup2(open(child.out_path.c_str(), O_WRONLY | O_TRUNC), 1);
        dup2(open(child.err_path.c_str(), O_WRONLY | O_TRUNC), 2);
        std::vector<char *> argv{const_cast<char *>(path.c_str())};
        for (const auto &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    return child;
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

std::vector<uint8_t> read_picture(Display *display)
{
    const int screen = DefaultScreen(display);
    const int left = (DisplayWidth(display, screen) - picture_width) / 2;
    const int top = (DisplayHeight(display, screen) - picture_height) / 2;
    XImage *image = XGetImage(display, RootWindow(display, screen), left, top, picture_width,
                              picture_height, AllPlanes, ZPixmap);
    std::vector<uint8_t> picture(picture_width * picture_height);
    const Visual *visual = DefaultVisual(display, screen);
    for (int y = 0; y < picture_height; ++y)
        for (int x = 0; x < picture_width; ++x) {
            const unsigned long pixel = XGetPixel(image, x, y);
            const int r = channel(pixel, visual->red_mask);
            const int g = channel(pixel, visual->green_mask);
            const int b = channel(pixel, visual->blue_mask);
            uint8_t kind = other_pixel;
            if (r < 64 && g < 64 && b < 64)
                kind = black_pixel;
            else if (r >= 128 && g < 64 && b < 64)
                kind = red_pixel;
            picture[y * picture_width + x] = kind;
        }
    XDestroyImage(image);
    return picture;
}

bool wait_for_red(Display *display, double seconds)
{
    const double end = now_seconds() + seconds;
    do {
        for (uint8_t kind : read_picture(display))
            if (kind == red_pixel)
                return true;
        sleep_seconds(0.002);
    } while (now_seconds() < end);
    return false;
}

void nudge_pointer(Display *display, int dx, int dy)
{
    Window root, child;
    int x, y, wx, wy;
    unsigned int mask;
    XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &wx, &wy, &mask);
    XTestFakeMotionEvent(display, DefaultScreen(display), x + dx, y + dy, CurrentTime);
    XSync(display, False);
}

void press_keys(Display *display, const std::vector<std::string> &keys)
{
    for (const auto &key : keys) {
        const KeyCode code = XKeysymToKeycode(display, XStringToKeysym(key.c_str()));
        XTestFakeKeyEvent(display, code, True, CurrentTime);
        XTestFakeKeyEvent(display, code, False, CurrentTime);
    }
    XSync(display, False);
}

void click_buttons(Display *display, const std::vector<unsigned> &buttons)
{
    for (unsigned button : buttons) {
        XTestFakeButtonEvent(display, button, True, CurrentTime);
        XTestFakeButtonEvent(display, button, False, CurrentTime);
    }
    XSync(display, False);
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

int matching_stamps(const std::vector<uint8_t> &picture, const std::vector<position> &positions,
                    stamp_shape shape)
{
    std::vector<uint8_t> model(picture.size(), black_pixel);
    int found = -1;
    for (size_t k = 0;; ++k) {
        if (model == picture) {
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
        const int k = matching_stamps(read_picture(display), positions, shape);
        if (k >= 0)
            return k;
    }
    return -1;
}
