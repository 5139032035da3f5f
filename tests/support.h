// drives cubesaver from outside: a private Xvfb, the process, the screen and the pointer
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Xlib's macros clash with GoogleTest, so the tests see only this
typedef struct _XDisplay Display;

constexpr int picture_width = 640;
constexpr int picture_height = 480;

struct xserver {
    pid_t pid = -1;
    std::string name;
    Display *display = nullptr;
};

struct process {
    pid_t pid = -1;
    std::string out_path;
    std::string err_path;
};

// geometry as Xvfb takes it, e.g. "640x480x16"
xserver start_xserver(const std::string &geometry);
void stop_xserver(xserver &server);

// runs the program on the named display, or with no DISPLAY at all when it is empty
process spawn(const std::string &path, const std::string &display,
              const std::vector<std::string> &args = {});
// the wait status, or -1 if it is still running after the given seconds
int wait_exit(process &child, double seconds);
void kill_process(process &child);
std::string read_file(const std::string &path);

// a private Xvfb and, once spawned, a program on it; both end with it,
// even when a failed assertion returns early
struct session {
    xserver server;
    process child;
    explicit session(const std::string &geometry) : server(start_xserver(geometry))
    {
    }
    session(const session &) = delete;
    session &operator=(const session &) = delete;
    ~session()
    {
        kill_process(child);
        stop_xserver(server);
    }
};

double now_seconds();

// the 640x480 picture at the centre of the screen, a byte a pixel
enum pixel_class : uint8_t { black_pixel, red_pixel, other_pixel };
std::vector<uint8_t> read_picture(Display *display);
bool wait_for_red(Display *display, double seconds);

// moves the pointer from where it is, through XTest, and waits until the server has it
void nudge_pointer(Display *display, int dx, int dy);
// presses and releases each key (by keysym name) and each button in turn
void press_keys(Display *display, const std::vector<std::string> &keys);
void click_buttons(Display *display, const std::vector<unsigned> &buttons);

// where the stamps land: rows and columns from a rand()-like source, row first
struct position {
    int row;
    int column;
};
std::vector<position> stamp_positions(int count, const std::function<int()> &next);
std::vector<position> glibc_positions(int count);
// rand() of the windows c runtime, which also starts as if seeded with 1
std::vector<position> msvcrt_positions(int count);
// what is stamped: the program's cube, or the benchmark floor's outlined square
enum class stamp_shape { cube, square };
// the one k for which the model after k stamps equals the picture, or -1
int matching_stamps(const std::vector<uint8_t> &picture, const std::vector<position> &positions,
                    stamp_shape shape = stamp_shape::cube);
// the same for the screen, retried as a screenshot can catch it mid-update;
// when is the time of the screenshot that matched
int stamps_on_screen(Display *display, const std::vector<position> &positions, double &when,
                     stamp_shape shape = stamp_shape::cube);
