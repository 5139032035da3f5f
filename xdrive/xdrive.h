// drives cubesaver from outside: X servers of several kinds, the process, its
// picture, the pointer and the keys
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

enum class server_kind {
    xvfb,             // never switches modes; a larger screen shows the picture centred
    xorg,             // the dummy video driver, rebuilt to switch modes as real drivers do
    xorg_no_640,      // Debian's dummy driver with only its desktop mode: centred
    xwayland,         // rootless under weston's headless backend, no seat
    xwayland_seat,    // rootless under weston nested on an Xvfb, whose pointer it gets
    xwayland_rootful, // rootful under weston's headless backend
    sway,             // rootless under sway nested on an Xvfb, whose pointer and keys it gets
    kwin,             // rootless under KWin nested on an Xvfb, the same
    gnome,            // rootless under mutter's headless native backend, as GNOME runs it
};

// Xorg's monitors: one, or two 1024x768 outputs across the screen's width,
// the second beside the first or lower by 128, or rotated left (portrait)
// beside it, or beside a first one scaled by 1.5, or both; or the first
// rotated left at 0,0, where a switch leaves only its rotation changed
enum class monitors {
    one,
    side_by_side,
    offset,
    portrait,
    scaled,
    portrait_and_scaled,
    portrait_first
};

// what runs on an Xvfb or Xorg desktop, each with ordinary windows of several
// kinds: xfwm4 with its compositor, openbox with picom, i3 with its bar, mutter
// and KWin as X11 window managers; and whole desktop sessions, with their
// panels and desktop windows, as a user of their own: MATE (marco), LXQt
// (openbox), Cinnamon (muffin)
enum class window_manager { none, xfwm4, openbox, i3, mutter, kwin, mate, lxqt, cinnamon };
// whether it is a whole desktop session, not a window manager alone
bool is_desktop_session(window_manager wm);

struct server_setup {
    server_kind kind;
    int width; // the screen's
    int height;
    int depth;
    monitors layout = monitors::one;
    window_manager wm = window_manager::none;
};
std::string describe(const server_setup &setup);

// a helper process that takes one request a line and answers "ok"
struct helper {
    int in = -1;
    int out = -1;
};

struct xserver {
    server_setup setup{};
    std::vector<pid_t> pids; // ended last first
    std::string dir;         // its config, log and runtime files
    std::string name;        // the display the program is given
    Display *display = nullptr;
    // where a person's input arrives: the outer Xvfb for a nested compositor
    Display *input = nullptr;
    // the desktop's ordinary windows and the client that owns them
    Display *clients = nullptr;
    std::vector<unsigned long> windows;
    // GNOME: the process that holds mutter's RemoteDesktop session
    helper hand;
    // whether processes of the desktop's own user run on it
    bool desktop_user = false;
    // a system bus of its own, with a stand-in for logind on it, or ""
    std::string system_bus;
    helper logind;
};

// why this machine cannot run such a server and desktop, or ""
std::string cannot_run(const server_setup &setup);
xserver start_xserver(const server_setup &setup);
void stop_xserver(xserver &server);

struct process {
    pid_t pid = -1;
    std::string out_path;
    std::string err_path;
};

enum class stderr_mode { file, closed, broken_pipe };

// runs a program on the named display, or with no DISPLAY at all when it is empty
process spawn(const std::string &path, const std::string &display,
              const std::vector<std::string> &args = {}, stderr_mode err = stderr_mode::file,
              const std::vector<std::string> &env = {});
// runs a windows .exe under wine in a wine session of its own; CUBESAVER_WINE
// names the wine, /usr/bin/wine when it is not set
process spawn_wine(const std::string &exe, const std::string &display);
// the wait status, or -1 if it is still running after the given seconds
int wait_exit(process &child, double seconds);
void kill_process(process &child);
std::string read_file(const std::string &path);

// an X server and, once spawned, a program on it; both end with it, even
// when a failed assertion returns early
struct session {
    xserver server;
    process child;
    explicit session(const server_setup &setup) : server(start_xserver(setup))
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

// the session's lock as people have it, on a server: a locker waits for what
// sets it off, as xss-lock does for i3lock and slock, and xscreensaver's own
// daemon for itself
enum class locker { i3lock, slock, xscreensaver };
// logind's Session.Lock, logind's PrepareForSleep(true), the screen saver
// turned on (xset s activate), or the screen saver's timeout and cycle with
// the program as xss-lock's notifier
enum class lock_trigger { session_lock, sleep, screen_saver, notifier };
// why this machine cannot run the locker, or ""
std::string cannot_lock(locker with);
// a system bus of the server's own, as DBUS_SYSTEM_BUS_ADDRESS in
// server.system_bus, with a stand-in for logind on it
void start_system_bus(xserver &server);
// a shell script at path that runs the lines; its path
std::string write_script(const std::string &path, const std::string &lines);
// the locker waiting, with the notifier as xss-lock's where one is given
void start_lock_watch(xserver &server, locker with, const std::string &notifier = "");
void pull_trigger(xserver &server, lock_trigger trigger);
// the processes of the lockers xss-lock has started so far
std::vector<pid_t> lockers_started(const xserver &server);
// the server's screen saver, as xset s TIMEOUT CYCLE sets it
void set_screen_saver(Display *display, int timeout, int cycle);
// the time since a person's last input, and whether the screen saver is on
struct idle_state {
    double seconds = 0;
    bool saver_on = false;
};
idle_state idle_now(Display *display);

double now_seconds();
void sleep_seconds(double seconds);

// a size: the server's video mode, as XF86VidMode reports it, or a box on the screen
struct mode {
    int width = 0;
    int height = 0;
};

// a compositor's own desktop, in the given top-left part of the screen:
// whether anything cube red shows, and the box around the picture's black
struct desktop_view {
    bool red_shown = false;
    mode black_extent;
};
desktop_view look_at_desktop(Display *display, int width, int height);
// whether a nested compositor shows cube red on its desktop (outer) within
// seconds; after two it has another client of the inner server map a window,
// as weston 10 may show an override-redirect window only once its window
// manager handles another, and says so in flashed
bool wait_for_compositor_picture(Display *outer, Display *inner, int width, int height,
                                 bool &flashed);

// the program's 640x480 window, a byte a pixel: black, cube red, anything else
enum pixel_class : uint8_t { black_pixel, red_pixel, other_pixel };
struct screenshot {
    std::vector<uint8_t> pixels;
    int left = -1; // where the window lies on the screen, -1 when none could be read
    int top = -1;
};
screenshot read_picture(Display *display);
bool wait_for_red(Display *display, double seconds);
// whether the program's window shows anything but black within the given
// seconds: its first stamp, whatever its colour
bool wait_for_picture(Display *display, double seconds);
// each of the desktop's ordinary windows as WIDTHxHEIGHT+X+Y, with " maximised"
// where it is, or "gone"
std::vector<std::string> window_places(const xserver &server);
// the places once they equal the wanted ones, or as they are after the seconds,
// as window managers put windows back in their own time
std::vector<std::string> wait_for_window_places(const xserver &server,
                                                const std::vector<std::string> &wanted,
                                                double seconds);
// a shown window stacked above the program's and over its picture, described,
// or "" where there is none
std::string window_over_picture(Display *display);
// the same once there is none, or as it is after the seconds
std::string wait_for_nothing_over_picture(Display *display, double seconds);
// whether, with the program's window gone, the topmost window over the
// picture's place (its top-left corner given) is an override-redirect window
// that covers it whole, as a locker's does
bool locker_on_top(Display *display, int left, int top);
// the program's top-level window, or 0 where there is none
unsigned long program_top_level(Display *display);
// another client destroys the program's window, as any client may
void destroy_program_window(Display *display);
// whether any window of the program's size is still on the screen
bool program_window_shown(Display *display);

// the screen's size, whatever mode its monitors show
mode screen_size(Display *display);
mode current_mode(Display *display);
// the RandR layout: the screen's size and every CRTC's mode, place, rotation,
// current transform and outputs (but unused ones), as one line to compare and print
std::string monitor_layout(Display *display);
// another client resizes the screen, as a desktop's display daemon may
void set_screen_size(Display *display, int width, int height);
// each lit monitor as WIDTHxHEIGHT+X+Y, followed by " rotated" or
// " transformed" where it is
std::vector<std::string> lit_monitors(Display *display);
// the pointer acceleration, as numerator, denominator and threshold
std::vector<int> pointer_control(Display *display);
void set_pointer_control(Display *display, int numerator, int denominator, int threshold);

// the pointer through XTest, as a person's hand moves it
void move_pointer_to(Display *display, int x, int y);
void nudge_pointer(Display *display, int dx, int dy);
// presses each key (by keysym name) or button, holds it a moment and lets go
void hold_keys(Display *display, const std::vector<std::string> &keys);
void hold_buttons(Display *display, const std::vector<unsigned> &buttons);
// the same where a person's input arrives on the server: its input display,
// or mutter's RemoteDesktop
void nudge_pointer(const xserver &server, int dx, int dy);
void hold_keys(const xserver &server, const std::vector<std::string> &keys);
void hold_buttons(const xserver &server, const std::vector<unsigned> &buttons);
// the presses of keys and buttons that reached the named X server from any
// device while a person did the given things, whoever had the focus or a grab
struct presses {
    int keys = 0;
    int buttons = 0;
};
// waiting up to a deadline for the expected number
presses count_presses(const std::string &name, const std::function<void()> &act, int expected);
// another client maps a small window for a moment, which makes a compositor repaint
void flash_window(Display *display);
// another client's window, over the picture or beside it: a plain window, an
// override-redirect popup, and either raising itself again on every change
// of the stacking, as a locker, another saver or an on-screen keyboard does
enum class intruder { none, window, popup, raising_window, raising_popup, window_beside };
// the intruder's process, once its window's corner is shown at x, y
process start_intruder(const std::string &name, intruder who, int x, int y);
// how often the program's window is restacked while another client acts and
// for the seconds after
int count_raises(const std::string &name, double seconds, const std::function<void()> &act);
// another client holds a keyboard grab until the returned connection closes
Display *grab_keyboard(const std::string &name);
// one try at both grabs, as a locker makes it; they stay held where it works
bool grab_keyboard_and_pointer(Display *display);
// whether another client holds the keyboard, as a lock screen does
bool keyboard_held_elsewhere(Display *display);
// a connection of another client's to the named display
Display *open_connection(const std::string &name);
void close_display(Display *display);

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
// the one k for which the model after k stamps equals the pixels, or -1
int matching_stamps(const std::vector<uint8_t> &pixels, const std::vector<position> &positions,
                    stamp_shape shape = stamp_shape::cube);
// the same for the screen, retried as a screenshot can catch it mid-update;
// when is the time of the screenshot that matched
int stamps_on_screen(Display *display, const std::vector<position> &positions, double &when,
                     stamp_shape shape = stamp_shape::cube);
// the count that lags the clock least among a burst of pictures, as a
// picture read while the program waits for a CPU shows fewer stamps than
// ticks have passed; rate is the nominal stamps a second, and when is the
// time just after the read that showed it
int least_lagging_stamps(Display *display, const std::vector<position> &positions, double &when,
                         double rate);
