// cubesaver: stamps red cubes on a 640x480 screen until the mouse moves
#include <allegro.h>
#ifdef ALLEGRO_WITH_XWINDOWS
#include <xalleg.h>
// XLOCK and XUNLOCK, the library's own lock on its X connection
#include <X11/extensions/XInput2.h>
#include <X11/extensions/Xrandr.h>
#include <allegro/platform/aintunix.h>
#endif
#ifndef ALLEGRO_WINDOWS
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

constexpr int screen_width = 640;
constexpr int screen_height = 480;
constexpr int color_depth = 16;
constexpr int block_size = 30;
constexpr int ticks_per_second = 120;
static_assert(BPS_TO_TIMER(ticks_per_second) == 9943, "tick period in timer units");

BITMAP *buffer;
BITMAP *block;
int32_t mx;
int32_t my;

// written by the timer's own thread as well as the run loop
std::atomic<int32_t> speed_counter{0};
static_assert(std::atomic<int32_t>::is_always_lock_free, "the tick counter must be lock-free");

// give back the display, say what failed and why, and stop
[[noreturn]] void die(const char *what, const char *why)
{
    // setting the text mode may overwrite the library's reason
    char reason[ALLEGRO_ERROR_SIZE];
    std::snprintf(reason, sizeof reason, "%s", why);
    if (system_driver)
        set_gfx_mode(GFX_TEXT, 0, 0, 0, 0);
#ifdef ALLEGRO_WINDOWS
    // a gui program has no console to write to
    allegro_message("cubesaver: %s: %s\n", what, reason);
#else
    std::fprintf(stderr, "cubesaver: %s: %s\n", what, reason);
#endif
    std::exit(1);
}

// the library's reason, or what is known when it gives none
[[noreturn]] void die_with_library_reason(const char *what)
{
    if (allegro_error[0])
        die(what, allegro_error);
    if (system_driver && system_driver->id == SYSTEM_NONE)
        die(what, "the library runs without a system driver, as its configuration says");
    die(what, "the library gave no reason");
}

void give_back_display();

#ifndef ALLEGRO_WINDOWS
constexpr int stop_signals[] = {SIGTERM, SIGINT, SIGQUIT, SIGHUP};

// the stop signal that came, or 0; the main thread acts on it
volatile sig_atomic_t stop_signal = 0;

void record_stop_signal(int number)
{
    stop_signal = number;
}

// a launcher may start it with a standard stream closed; the x connection
// must never take one, or a failure line would go into the x protocol
void open_standard_streams()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd)
            std::exit(1);
    // a failure line to a closed pipe must still end with status 1
    signal(SIGPIPE, SIG_IGN);
}

sigset_t stop_signal_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (int number : stop_signals)
        sigaddset(&set, number);
    return set;
}

// held until our own handler is in, so the library's threads start with
// them blocked and its emergency handler never gets one
void hold_stop_signals()
{
    const sigset_t set = stop_signal_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void catch_stop_signals()
{
    struct sigaction action = {};
    action.sa_handler = record_stop_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int number : stop_signals)
        sigaction(number, &action, nullptr);
    const sigset_t set = stop_signal_set();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

// give back the display, then die of the signal as if it had not been caught
void stop_if_signalled()
{
    const int number = stop_signal;
    if (!number)
        return;
    give_back_display();
    // a quit must not leave a core file behind; a core handler behind a pipe
    // (systemd-coredump) is not held back by the limit, but by this
    const rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
#ifdef __linux__
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
    signal(number, SIG_DFL);
    raise(number);
    _exit(128 + number);
}
#else
void open_standard_streams()
{
}
void hold_stop_signals()
{
}
void catch_stop_signals()
{
}
void stop_if_signalled()
{
}
#endif

void increment_speed_counter()
{
    speed_counter.fetch_add(1);
}

// the cube in oblique view: red faces, black edges, mask colour around it
void paint_block()
{
    const int mask = makecol(255, 0, 255);
    const int black = makecol(0, 0, 0);
    const int red = makecol(200, 0, 0);

    rectfill(block, 0, 0, 30, 30, mask);
    rect(block, 0, 15, 14, 29, black);
    floodfill(block, 1, 16, red);
    line(block, 0, 14, 6, 8, black);
    line(block, 15, 29, 21, 23, black);
    line(block, 14, 15, 21, 8, black);
    line(block, 6, 8, 21, 8, black);
    line(block, 21, 8, 21, 23, black);
    floodfill(block, 6, 9, red);
    floodfill(block, 15, 15, red);
}

constexpr const char mode_failure[] = "cannot set the 640x480 16-bit full-screen mode";

#ifdef ALLEGRO_WITH_XWINDOWS
bool on_x11()
{
    return system_driver && system_driver->id == SYSTEM_XWINDOWS;
}

// with no display to open the library gives no reason of its own
const char *no_system_driver_reason()
{
    static char why[160];
    const char *name = std::getenv("DISPLAY");
    if (name)
        std::snprintf(why, sizeof why, "no system driver could start, with DISPLAY=\"%.100s\"",
                      name);
    else
        std::snprintf(why, sizeof why, "no system driver could start, and DISPLAY is not set");
    return why;
}

// on x11 the mode is a window on the desktop, so a smaller screen would cut
// the picture and push the pointer, which reads as a move and a clean exit
void check_screen_size()
{
    int width;
    int height;
    if (!on_x11() || get_desktop_resolution(&width, &height) != 0)
        return;
    if (width < screen_width || height < screen_height) {
        char why[64];
        std::snprintf(why, sizeof why, "the screen is only %dx%d", width, height);
        die(mode_failure, why);
    }
}

// the server is gone, so there is no display left to give back; leave at once
// rather than let the library's shutdown talk to a dead connection
int lost_x_server(Display *display)
{
    std::fprintf(stderr, "cubesaver: lost the X server: the connection to %s broke\n",
                 DisplayString(display));
    _exit(1);
}

void watch_x_connection()
{
    if (on_x11())
        XSetIOErrorHandler(lost_x_server);
}

// a connection of our own to the library's display, or none off x11
Display *open_own_connection()
{
    return on_x11() ? XOpenDisplay(DisplayString(_xwin.display)) : nullptr;
}

// a connection of our own that hears of every motion of a pointing device;
// the server's own moves of the pointer send none
Display *device_motion;
int xinput_opcode;

void watch_device_motion()
{
    Display *display = open_own_connection();
    if (!display)
        return;
    // raw events reach a client of version 2.1 or later even while the
    // library has the pointer grabbed
    int event, error, major = 2, minor = 2;
    if (!XQueryExtension(display, "XInputExtension", &xinput_opcode, &event, &error) ||
        XIQueryVersion(display, &major, &minor) != Success) {
        XCloseDisplay(display);
        return;
    }
    unsigned char bits[XIMaskLen(XI_RawMotion)] = {};
    XISetMask(bits, XI_RawMotion);
    XIEventMask mask = {XIAllMasterDevices, sizeof bits, bits};
    XISelectEvents(display, DefaultRootWindow(display), &mask, 1);
    // the round trip puts the selection in place; motion from before the
    // snapshot is no move
    XSync(display, True);
    device_motion = display;
}

// whether a device has moved the pointer since the snapshot
bool device_moved()
{
    if (!device_motion)
        return true;
    // the server sends the raw event before the motion the library has seen,
    // so after a round trip it is here if there was one
    if (!XPending(device_motion))
        XSync(device_motion, False);
    bool moved = false;
    while (XPending(device_motion)) {
        XEvent event;
        XNextEvent(device_motion, &event);
        moved = moved ||
                (event.xcookie.type == GenericEvent && event.xcookie.extension == xinput_opcode &&
                 event.xcookie.evtype == XI_RawMotion);
    }
    return moved;
}

// the mode switch leaves the library reading pointer moves as relative ones
// for a while, after which it warps the pointer to where it has counted,
// often an edge where a move outward changes nothing; put the pointer at the
// centre and take in every event up to here, so the snapshot is final
void centre_mouse()
{
    if (!on_x11())
        return;
    XLOCK();
    _xwin.mouse_warped = 0;
    XWarpPointer(_xwin.display, None, _xwin.window, 0, 0, 0, 0, screen_width / 2,
                 screen_height / 2);
    XSync(_xwin.display, False);
    XUNLOCK();
    for (;;) {
        XLOCK();
        const int queued = XQLength(_xwin.display);
        XUNLOCK();
        if (!queued)
            break;
        _xwin_handle_input();
    }
}

// the monitors as they were before the mode switch, on a connection of our
// own: real drivers carry a switch out on every monitor, putting each at 0,0
// unrotated, or off where it has no such mode, and the switch back only
// restores the mode
Display *layout_display;
int layout_width;
int layout_height;
int layout_width_mm;
int layout_height_mm;
XRRScreenResources *layout_resources;
std::vector<XRRCrtcInfo *> layout_crtcs;

// a refused randr request (xwayland refuses them) leaves that monitor as it is
int (*other_x_errors)(Display *, XErrorEvent *);

int ignore_layout_errors(Display *display, XErrorEvent *event)
{
    if (display == layout_display)
        return 0;
    return other_x_errors ? other_x_errors(display, event) : 0;
}

void size_of_screen(int &width, int &height)
{
    Window root;
    int x, y;
    unsigned w, h, border, depth;
    XGetGeometry(layout_display, DefaultRootWindow(layout_display), &root, &x, &y, &w, &h, &border,
                 &depth);
    width = static_cast<int>(w);
    height = static_cast<int>(h);
}

void record_layout()
{
    Display *display = open_own_connection();
    if (!display)
        return;
    int event, error, major = 0, minor = 0;
    if (!XRRQueryExtension(display, &event, &error) || !XRRQueryVersion(display, &major, &minor) ||
        major * 100 + minor < 102) {
        XCloseDisplay(display);
        return;
    }
    layout_display = display;
    other_x_errors = XSetErrorHandler(ignore_layout_errors);
    size_of_screen(layout_width, layout_height);
    layout_width_mm = DisplayWidthMM(display, DefaultScreen(display));
    layout_height_mm = DisplayHeightMM(display, DefaultScreen(display));
    layout_resources = XRRGetScreenResourcesCurrent(display, DefaultRootWindow(display));
    for (int i = 0; layout_resources && i < layout_resources->ncrtc; ++i)
        layout_crtcs.push_back(
            XRRGetCrtcInfo(display, layout_resources, layout_resources->crtcs[i]));
    XSync(display, False);
}

bool same_crtc(const XRRCrtcInfo *was, const XRRCrtcInfo *now)
{
    if (was->mode != now->mode || was->x != now->x || was->y != now->y ||
        was->rotation != now->rotation || was->noutput != now->noutput)
        return false;
    for (int i = 0; i < was->noutput; ++i)
        if (was->outputs[i] != now->outputs[i])
            return false;
    return true;
}

// every monitor and the screen size back as recorded, touching only what
// differs; a monitor outside a screen that must shrink goes off first
void put_layout_back()
{
    Display *display = layout_display;
    const Window root = DefaultRootWindow(display);
    XRRScreenResources *now = XRRGetScreenResourcesCurrent(display, root);
    if (!now)
        return;
    int width, height;
    size_of_screen(width, height);
    const bool resize = width != layout_width || height != layout_height;
    std::vector<int> differing;
    for (int i = 0; i < static_cast<int>(layout_crtcs.size()); ++i) {
        XRRCrtcInfo *crtc =
            layout_crtcs[i] ? XRRGetCrtcInfo(display, now, layout_resources->crtcs[i]) : nullptr;
        if (!crtc)
            continue;
        if (!same_crtc(layout_crtcs[i], crtc)) {
            differing.push_back(i);
            const bool outside = crtc->x + static_cast<int>(crtc->width) > layout_width ||
                                 crtc->y + static_cast<int>(crtc->height) > layout_height;
            if (resize && crtc->mode != None && outside)
                XRRSetCrtcConfig(display, now, layout_resources->crtcs[i], CurrentTime, 0, 0, None,
                                 RR_Rotate_0, nullptr, 0);
        }
        XRRFreeCrtcInfo(crtc);
    }
    if (resize)
        XRRSetScreenSize(display, root, layout_width, layout_height, layout_width_mm,
                         layout_height_mm);
    for (int i : differing) {
        const XRRCrtcInfo *was = layout_crtcs[i];
        XRRSetCrtcConfig(display, now, layout_resources->crtcs[i], CurrentTime, was->x, was->y,
                         was->mode, was->rotation, was->outputs, was->noutput);
    }
    XRRFreeScreenResources(now);
    XSync(display, False);
}

// the record serves once, and is let go of then
void restore_layout()
{
    if (!layout_display)
        return;
    if (layout_resources)
        put_layout_back();
    for (XRRCrtcInfo *crtc : layout_crtcs)
        if (crtc)
            XRRFreeCrtcInfo(crtc);
    layout_crtcs.clear();
    if (layout_resources)
        XRRFreeScreenResources(layout_resources);
    layout_resources = nullptr;
    XCloseDisplay(layout_display);
    layout_display = nullptr;
}
#else
const char *no_system_driver_reason()
{
    return "no system driver could start";
}
void check_screen_size()
{
}
void watch_x_connection()
{
}
void watch_device_motion()
{
}
bool device_moved()
{
    return true;
}
void centre_mouse()
{
}
void record_layout()
{
}
void restore_layout()
{
}
#endif

// the library's shutdown puts the mode back; then the monitors' layout
void give_back_display()
{
    allegro_exit();
    restore_layout();
}

// where the pointer is once set-up is done, or once the server has moved it
void take_mouse_snapshot()
{
    centre_mouse();
    mx = mouse_x;
    my = mouse_y;
}

void engine()
{
    hold_stop_signals();
    if (allegro_init() != 0)
        die("cannot start the allegro library",
            allegro_error[0] ? allegro_error : no_system_driver_reason());
    catch_stop_signals();
    watch_x_connection();
    if (install_keyboard() != 0)
        die_with_library_reason("cannot install the keyboard driver");
    if (install_timer() != 0)
        die_with_library_reason("cannot install the timer driver");
    if (install_mouse() < 0)
        die_with_library_reason("cannot install the mouse driver");
    set_mouse_speed(1, 1);
    if (install_int_ex(increment_speed_counter, BPS_TO_TIMER(ticks_per_second)) != 0)
        die_with_library_reason("cannot start the 120 Hz tick");
    set_color_depth(color_depth);
    check_screen_size();
    record_layout();
    // runs before the library's own exit handler, which then finds it done
    std::atexit(give_back_display);
    if (set_gfx_mode(GFX_AUTODETECT_FULLSCREEN, screen_width, screen_height, 0, 0) != 0)
        die_with_library_reason(mode_failure);
#ifdef ALLEGRO_WINDOWS
    // the mode switch puts the speed back to two counts a pixel, and windows
    // mice are relative, so a one-count move would leave mouse_x as it was
    set_mouse_speed(1, 1);
#endif
    buffer = create_bitmap(screen_width, screen_height);
    if (!buffer)
        die("cannot create the back buffer", "out of memory");
    // a new bitmap holds whatever memory it was given
    clear_bitmap(buffer);
    block = create_bitmap(block_size, block_size);
    if (!block)
        die("cannot create the block", "out of memory");
    paint_block();
    watch_device_motion();
    take_mouse_snapshot();
}

// one tick's work: a block at a random place, row first
void program()
{
    const int row = std::rand() % screen_height;
    const int column = std::rand() % screen_width;
    draw_sprite(buffer, block, column, row);
}

// returns only while the pointer is where it was after set-up and no stop
// signal has come
void exit_procedure()
{
    stop_if_signalled();
    if (mouse_needs_poll())
        poll_mouse();
    if (mouse_x == mx && mouse_y == my)
        return;
    if (device_moved())
        std::exit(0);
    // the server put it there (a compositor handing over its pointer), not a
    // person; it may be at an edge, so centre it again and watch from there
    take_mouse_snapshot();
}

void display()
{
    draw_sprite(screen, buffer, 0, 0);
    exit_procedure();
}

int main(int argc, char *argv[])
{
    (void)argc;
    (void)argv;
    open_standard_streams();
    engine();
    // work off every pending tick before showing anything
    for (;;) {
        if (speed_counter.load() > 0) {
            program();
            speed_counter.fetch_sub(1);
        } else {
            display();
        }
    }
}
END_OF_MAIN()
