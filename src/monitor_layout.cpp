// the monitors as they were before the mode switch, on a connection of our
// own: real drivers carry a switch out on every monitor, putting each at 0,0
// unrotated, or off where it has no such mode, and the switch back only
// restores the mode
#include "monitor_layout.h"

#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <cstring>
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
    // each crtc's transform and filter (a scaled monitor), or nullptr before
    // randr 1.3; the switch shows the crtc unscaled but keeps the transform
    // its user asked for, which the server applies again with the crtc's
    // next configuration
    std::vector<XRRCrtcTransformAttributes *> transforms;
} record;

void size_of_screen(int &width, int &height)
{
    Window root;
    int x, y;
    unsigned w, h, border, depth;
    XGetGeometry(record.dpy, DefaultRootWindow(record.dpy), &root, &x, &y, &w, &h, &border, &depth);
    width = static_cast<int>(w);
    height = static_cast<int>(h);
}

// the transform a crtc shows now, or nullptr where the server has none; after
// the switch a client's last request still reads as pending, so only the
// current one counts
XRRCrtcTransformAttributes *transform_of(Display *dpy, RRCrtc crtc)
{
    XRRCrtcTransformAttributes *attributes = nullptr;
    if (!XRRGetCrtcTransform(dpy, crtc, &attributes))
        return nullptr;
    return attributes;
}

bool same_filter(const char *was, const char *now)
{
    return std::strcmp(was ? was : "", now ? now : "") == 0;
}

bool same_transform(const XRRCrtcTransformAttributes *was, const XRRCrtcTransformAttributes *now)
{
    if (!was || !now)
        return true;
    return std::memcmp(&was->currentTransform, &now->currentTransform,
                       sizeof was->currentTransform) == 0 &&
           same_filter(was->currentFilter, now->currentFilter) &&
           was->currentNparams == now->currentNparams &&
           (was->currentNparams == 0 ||
            std::memcmp(was->currentParams, now->currentParams,
                        sizeof *was->currentParams * was->currentNparams) == 0);
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

// whether the crtc shows what was recorded for it
bool as_recorded(int i, const XRRCrtcInfo *crtc)
{
    // where no transform was recorded there is none to put back
    XRRCrtcTransformAttributes *transform =
        record.transforms[i] ? transform_of(record.dpy, record.resources->crtcs[i]) : nullptr;
    const bool same_shape = same_transform(record.transforms[i], transform);
    if (transform)
        XFree(transform);
    return same_shape && same_crtc(record.crtcs[i], crtc);
}

// the crtcs that differ from the record, and whether the screen's size does
std::vector<int> differences(XRRScreenResources *now, bool &resize)
{
    int width, height;
    size_of_screen(width, height);
    resize = width != record.width || height != record.height;
    std::vector<int> differing;
    for (int i = 0; i < static_cast<int>(record.crtcs.size()); ++i) {
        XRRCrtcInfo *crtc =
            record.crtcs[i] ? XRRGetCrtcInfo(record.dpy, now, record.resources->crtcs[i]) : nullptr;
        if (crtc && !as_recorded(i, crtc))
            differing.push_back(i);
        if (crtc)
            XRRFreeCrtcInfo(crtc);
    }
    return differing;
}

// every monitor and the screen size back as recorded, touching only what
// differs; a monitor outside a screen that must shrink goes off first.
// whether it is all back
bool put_layout_back()
{
    Display *dpy = record.dpy;
    const Window root = DefaultRootWindow(dpy);
    XRRScreenResources *now = XRRGetScreenResourcesCurrent(dpy, root);
    if (!now)
        return true;
    bool resize;
    const std::vector<int> differing = differences(now, resize);
    for (int i : differing) {
        XRRCrtcInfo *crtc = XRRGetCrtcInfo(dpy, now, record.resources->crtcs[i]);
        if (crtc) {
            const bool outside = crtc->x + static_cast<int>(crtc->width) > record.width ||
                                 crtc->y + static_cast<int>(crtc->height) > record.height;
            if (resize && crtc->mode != None && outside)
                XRRSetCrtcConfig(dpy, now, record.resources->crtcs[i], CurrentTime, 0, 0, None,
                                 RR_Rotate_0, nullptr, 0);
            XRRFreeCrtcInfo(crtc);
        }
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
    now = XRRGetScreenResourcesCurrent(dpy, root);
    if (!now)
        return false;
    const bool back = differences(now, resize).empty() && !resize;
    XRRFreeScreenResources(now);
    return back;
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
    size_of_screen(record.width, record.height);
    record.width_mm = DisplayWidthMM(dpy, DefaultScreen(dpy));
    record.height_mm = DisplayHeightMM(dpy, DefaultScreen(dpy));
    record.resources = XRRGetScreenResourcesCurrent(dpy, DefaultRootWindow(dpy));
    const bool has_transforms = major * 100 + minor >= 103;
    for (int i = 0; record.resources && i < record.resources->ncrtc; ++i) {
        const RRCrtc crtc = record.resources->crtcs[i];
        record.crtcs.push_back(XRRGetCrtcInfo(dpy, record.resources, crtc));
        record.transforms.push_back(has_transforms ? transform_of(dpy, crtc) : nullptr);
    }
    XSync(dpy, False);
}

// a window manager with a monitor configuration of its own (muffin) may
// shrink the screen to the switched monitors while the program runs, and the
// library switches its mode back only into a screen that holds it
void grow_screen_back()
{
    if (!record.dpy)
        return;
    int width, height;
    size_of_screen(width, height);
    if (width >= record.width && height >= record.height)
        return;
    XRRSetScreenSize(record.dpy, DefaultRootWindow(record.dpy), std::max(width, record.width),
                     std::max(height, record.height), record.width_mm, record.height_mm);
    XSync(record.dpy, False);
}

// the record serves once, and is let go of then
bool restore_layout()
{
    if (!record.dpy)
        return true;
    const bool back = !record.resources || put_layout_back();
    for (XRRCrtcInfo *crtc : record.crtcs)
        if (crtc)
            XRRFreeCrtcInfo(crtc);
    record.crtcs.clear();
    for (XRRCrtcTransformAttributes *transform : record.transforms)
        if (transform)
            XFree(transform);
    record.transforms.clear();
    if (record.resources)
        XRRFreeScreenResources(record.resources);
    record.resources = nullptr;
    XCloseDisplay(record.dpy);
    record.dpy = nullptr;
    return back;
}
