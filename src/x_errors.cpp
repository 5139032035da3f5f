// x errors on every connection of the program: none reaches xlib's default
// handler, which exits from inside the library and so deadlocks its shutdown
#include "x_errors.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

namespace
{

struct {
    Display *library;
    std::mutex lock;
    // the first error since the last look
    XErrorEvent first;
    std::atomic<bool> noted;
} errors;

// runs in whichever thread reads the error, under xlib's lock; it only notes
int note_error(Display *dpy, XErrorEvent *event)
{
    if (dpy != errors.library)
        return 0;
    std::lock_guard<std::mutex> hold(errors.lock);
    if (!errors.noted.load()) {
        errors.first = *event;
        errors.noted.store(true);
    }
    return 0;
}

// the name of the extension whose major opcode this is, or ""
std::string extension_name(Display *dpy, int major)
{
    int count = 0;
    char **names = XListExtensions(dpy, &count);
    std::string found;
    for (int i = 0; i < count && found.empty(); ++i) {
        int opcode, event, error;
        if (XQueryExtension(dpy, names[i], &opcode, &event, &error) && opcode == major)
            found = names[i];
    }
    if (names)
        XFreeExtensionList(names);
    return found;
}

} // namespace

void catch_x_errors(Display *library)
{
    errors.library = library;
    XSetErrorHandler(note_error);
}

bool take_library_error(XErrorEvent &error)
{
    if (!errors.noted.load())
        return false;
    std::lock_guard<std::mutex> hold(errors.lock);
    error = errors.first;
    errors.noted.store(false);
    return true;
}

const char *describe_error(Display *dpy, const XErrorEvent &error)
{
    char what[80] = "";
    XGetErrorText(dpy, error.error_code, what, sizeof what);
    // xlib's own database names the requests, as its default handler does:
    // a core one by its number, an extension's by the extension and its minor
    const bool core = error.request_code < 128;
    const std::string extension = core ? "" : extension_name(dpy, error.request_code);
    const std::string number = std::to_string(core ? error.request_code : error.minor_code);
    const std::string key = core ? number : extension + "." + number;
    char name[80] = "";
    XGetErrorDatabaseText(dpy, "XRequest", key.c_str(), "", name, sizeof name);
    std::string request = name[0] ? name : "request " + number;
    if (!core)
        request = (extension.empty() ? "an extension" : extension) + " " + request;
    static char text[256];
    std::snprintf(text, sizeof text, "%s from %s", what, request.c_str());
    return text;
}
