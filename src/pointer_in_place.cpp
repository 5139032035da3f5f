// the pointer stays where the person left it: the x server counts a move of
// the pointer that a client asks for as a person's input, which sets its idle
// time back to 0 and turns a screen saver that is on off, so an idle watcher
// takes the start of a screen saver for the person coming back. the library
// moves it in three ways; its calls to xlib end up here, which defines them
#include <X11/Xlib.h>

#include <dlfcn.h>

// it warps the pointer to the centre when it sets the mode, and while it
// reads moves as relative ones; nothing here needs the pointer anywhere
extern "C" int XWarpPointer(Display *, Window, Window, int, int, unsigned, unsigned, int, int)
{
    return 1;
}

// it confines the pointer to its window, and the server moves a pointer that
// lies outside into it; a move is seen wherever the pointer is, so it is let be
extern "C" int XGrabPointer(Display *dpy, Window grab_window, Bool owner_events,
                            unsigned event_mask, int pointer_mode, int keyboard_mode,
                            Window confine_to, Cursor cursor, Time time)
{
    (void)confine_to;
    using grab = int (*)(Display *, Window, Bool, unsigned, int, int, Window, Cursor, Time);
    static const auto xlib_grab = reinterpret_cast<grab>(dlsym(RTLD_NEXT, "XGrabPointer"));
    if (!xlib_grab)
        return GrabNotViewable;
    return xlib_grab(dpy, grab_window, owner_events, event_mask, pointer_mode, keyboard_mode, None,
                     cursor, time);
}
