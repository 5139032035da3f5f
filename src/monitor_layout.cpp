// the monitors as they were before the mode switch, on a connection of our
// own: real drivers carry a switch out on every monitor, putting each at 0,0
// unrotated, or off where it has no such mode, and the switch back only
// restores the mode
#include "monitor_layout.h"

#include <X11/extensions/Xrandr.h>

#include <vector>

namespace
{

struct {
    Display *dpy;
    int width;
    int height;
    int width_mm;
    int height_mm;
    XRRScreenResources *resources;
    std::vector<XRRCrtcInfo *> crtcs;
    // the handler ours replaced, for other connections' errors
    int (*other_errors)(Display *, XErrorEvent *);
} record;

// a refused randr request (xwayland refuses them) leaves that monitor as it is
int ignore_layout_errors(Display *dpy, XErrorEvent *event)
{
    if (dpy == record.dpy)
        return 0;
    return record.other_errors ? record.other_errors(dpy, event) : 0;
}

void size_of_screen(int &width, int &height)
{
    Window root;
    int x, y;
    unsigned w, h, border, depth;
    XGetGeometry(record.dpy, DefaultRootWindow(record.dpy), &root, &x, &y, &w, &h, &border, &depth);
    width = static_cast<int>(w);
    height = static_cast<int>(h);
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
    Display *dpy = record.dpy;
    const Window root = DefaultRootWindow(dpy);
    XRRScreenResources *now = XRRGetScreenResourcesCurrent(dpy, root);
    if (!now)
        return;
    int width, height;
    size_of_screen(width, height);
    const bool resize = width != record.width || height != record.height;
    std::vector<int> differing;
    for (int i = 0; i < static_cast<int>(record.crtcs.size()); ++i) {
        XRRCrtcInfo *crtc =
            record.crtcs[i] ? XRRGetCrtcInfo(dpy, now, record.resources->crtcs[i]) : nullptr;
        if (!crtc)
            continue;
        if (!same_crtc(record.crtcs[i], crtc)) {
            differing.push_back(i);
            const bool outside = crtc->x + static_cast<int>(crtc->width) > record.width ||
                                 crtc->y + static_cast<int>(crtc->height) > record.height;
            if (resize && crtc->mode != None && outside)
                XRRSetCrtcConfig(dpy, now, record.resources->crtcs[i], CurrentTime, 0, 0, None,
                                 RR_Rotate_0, nullptr, 0);
        }
        XRRFreeCrtcInfo(crtc);
    }
    if (resize)
        XRRSetScreenSize(dpy, root, record.width, record.height, record.width_mm, record.height_mm);
    for (int i : differing) {
        const XRRCrtcInfo *was = record.crtcs[i];
        XRRSetCrtcConfig(dpy, now, record.resources->crtcs[i], CurrentTime, was->x, was->y,
                         was->mode, was->rotation, was->outputs, was->noutput);
    }
    XRRFreeScreenResources(now);
    XSync(dpy, False);
}

} // namespace

void record_layout(Display *dpy)
{
    if (!dpy)
        return;
    int event, error, major = 0, minor = 0;
    if (!XRRQueryExtension(dpy, &event, &error) || !XRRQueryVersion(dpy, &major, &minor) ||
        major * 100 + minor < 102) {
        XCloseDisplay(dpy);
        return;
    }
    record.dpy = dpy;
    record.other_errors = XSetErrorHandler(ignore_layout_errors);
    size_of_screen(record.width, record.height);
    record.width_mm = DisplayWidthMM(dpy, DefaultScreen(dpy));
    record.height_mm = DisplayHeightMM(dpy, DefaultScreen(dpy));
    record.resources = XRRGetScreenResourcesCurrent(dpy, DefaultRootWindow(dpy));
    for (int i = 0; record.resources && i < record.resources->ncrtc; ++i)
        record.crtcs.push_back(XRRGetCrtcInfo(dpy, record.resources, record.resources->crtcs[i]));
    XSync(dpy, False);
}

// the record serves once, and is let go of then
void restore_layout()
{
    if (!record.dpy)
        return;
    if (record.resources)
        put_layout_back();
    for (XRRCrtcInfo *crtc : record.crtcs)
        if (crtc)
            XRRFreeCrtcInfo(crtc);
    record.crtcs.clear();
    if (record.resources)
        XRRFreeScreenResources(record.resources);
    record.resources = nullptr;
    XCloseDisplay(record.dpy);
    record.dpy = nullptr;
}
