// a person's hand: the pointer, keys and buttons through XTest, and other clients
#include "internal.h"

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <unistd.h>

#include <stdexcept>

using namespace xdrive_internal;

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

presses count_presses(const std::string &name, const std::function<void()> &act, int expected)
{
    Display *display = open_display(name);
    int opcode, event, error, major = 2, minor = 2;
    if (!XQueryExtension(display, "XInputExtension", &opcode, &event, &error) ||
        XIQueryVersion(display, &major, &minor) != Success) {
        XCloseDisplay(display);
        throw std::runtime_error(name + " has no XInput 2.2");
    }
    // raw events reach a client of 2.1 or later even while another holds a grab
    unsigned char bits[XIMaskLen(XI_RawButtonPress)] = {};
    XISetMask(bits, XI_RawKeyPress);
    XISetMask(bits, XI_RawButtonPress);
    XIEventMask mask = {XIAllMasterDevices, sizeof bits, bits};
    XISelectEvents(display, DefaultRootWindow(display), &mask, 1);
    XSync(display, True);
    act();
    // a nested compositor passes them on in its own time, or never
    presses seen;
    for (double end = now_seconds() + 2;
         seen.keys + seen.buttons < expected && now_seconds() < end;) {
        XSync(display, False);
        if (!XPending(display))
            sleep_seconds(0.01);
        while (XPending(display)) {
            XEvent e;
            XNextEvent(display, &e);
            if (e.xcookie.type != GenericEvent || e.xcookie.extension != opcode)
                continue;
            seen.keys += e.xcookie.evtype == XI_RawKeyPress;
            seen.buttons += e.xcookie.evtype == XI_RawButtonPress;
        }
    }
    XCloseDisplay(display);
    return seen;
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

namespace
{

// the intruder's own loop, in a child process of its own; it writes to shown
// once its window is on the screen
[[noreturn]] void run_intruder(const std::string &name, intruder who, int x, int y, int shown)
{
    Display *display = XOpenDisplay(name.c_str());
    if (!display)
        _exit(1);
    const Window root = DefaultRootWindow(display);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = who == intruder::popup || who == intruder::raising_popup;
    attributes.background_pixel = WhitePixel(display, DefaultScreen(display));
    const int size = who == intruder::window_beside ? 40 : 200;
    const Window window =
        XCreateWindow(display, root, x, y, size, size, 0, CopyFromParent, InputOutput,
                      CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
    XStoreName(display, window, "intruder");
    const bool raising = who == intruder::raising_window || who == intruder::raising_popup;
    if (raising)
        XSelectInput(display, root, SubstructureNotifyMask);
    XMapRaised(display, window);
    XSync(display, False);
    if (write(shown, "", 1) != 1)
        _exit(1);
    for (;;) {
        XEvent event;
        XNextEvent(display, &event);
        // back on top on every change of the stacking but its own
        if (event.type == ConfigureNotify && event.xconfigure.window != window) {
            XRaiseWindow(display, window);
            XFlush(display);
        }
    }
}

} // namespace

process start_intruder(const std::string &name, intruder who, int x, int y)
{
    int shown[2];
    if (pipe(shown) != 0)
        throw std::runtime_error("pipe failed");
    process child;
    child.pid = fork();
    if (child.pid == 0)
        run_intruder(name, who, x, y, shown[1]);
    close(shown[1]);
    char byte;
    const bool mapped = read(shown[0], &byte, 1) == 1;
    close(shown[0]);
    if (!mapped)
        throw std::runtime_error("the other client could not show its window");
    return child;
}

int count_raises(const std::string &name, double seconds, const std::function<void()> &act)
{
    Display *display = open_display(name);
    const Window own = program_top_level(display);
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    XSync(display, False);
    act();
    int raises = 0;
    for (const double end = now_seconds() + seconds; now_seconds() < end;) {
        if (!XPending(display)) {
            sleep_seconds(0.005);
            continue;
        }
        XEvent event;
        XNextEvent(display, &event);
        raises += event.type == ConfigureNotify && event.xconfigure.window == own;
    }
    XCloseDisplay(display);
    return raises;
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

bool grab_keyboard_and_pointer(Display *display)
{
    const Window root = DefaultRootWindow(display);
    if (XGrabKeyboard(display, root, False, GrabModeAsync, GrabModeAsync, CurrentTime) !=
        GrabSuccess)
        return false;
    if (XGrabPointer(display, root, False, 0, GrabModeAsync, GrabModeAsync, None, None,
                     CurrentTime) == GrabSuccess)
        return true;
    XUngrabKeyboard(display, CurrentTime);
    XSync(display, False);
    return false;
}

bool keyboard_held_elsewhere(Display *display)
{
    const int result = XGrabKeyboard(display, DefaultRootWindow(display), False, GrabModeAsync,
                                     GrabModeAsync, CurrentTime);
    if (result == GrabSuccess)
        XUngrabKeyboard(display, CurrentTime);
    XSync(display, False);
    return result == AlreadyGrabbed || result == GrabFrozen;
}

Display *open_connection(const std::string &name)
{
    return open_display(name);
}

void close_display(Display *display)
{
    XCloseDisplay(display);
}

namespace
{

// a button's evdev code, as RemoteDesktop takes it
int evdev_button(unsigned button)
{
    constexpr int left = 0x110, right = 0x111, middle = 0x112;
    return button == 1 ? left : button == 2 ? middle : right;
}

void tell_hand(const xserver &server, const std::string &request)
{
    tell_helper(server.hand, request, "mutter's RemoteDesktop");
}

void hold_by_hand(const xserver &server, const std::string &kind, unsigned long code)
{
    tell_hand(server, kind + " " + std::to_string(code) + " 1");
    sleep_seconds(0.1);
    tell_hand(server, kind + " " + std::to_string(code) + " 0");
}

} // namespace

void nudge_pointer(const xserver &server, int dx, int dy)
{
    if (server.hand.in < 0)
        return nudge_pointer(server.input, dx, dy);
    tell_hand(server, "motion " + std::to_string(dx) + " " + std::to_string(dy));
}

void hold_keys(const xserver &server, const std::vector<std::string> &keys)
{
    if (server.hand.in < 0)
        return hold_keys(server.input, keys);
    for (const auto &key : keys)
        hold_by_hand(server, "keysym", XStringToKeysym(key.c_str()));
}

void hold_buttons(const xserver &server, const std::vector<unsigned> &buttons)
{
    if (server.hand.in < 0)
        return hold_buttons(server.input, buttons);
    for (unsigned button : buttons)
        hold_by_hand(server, "button", evdev_button(button));
}
