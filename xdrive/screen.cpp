// what shows: the program's picture, a compositor's desktop, the mode and the monitors
#include "xdrive.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/xf86vmode.h>

#include <algorithm>

namespace
{

// makecol(200, 0, 0) at 16 bits keeps 5 bits of red, which the library
// widens to 8 as (r << 3) | (r >> 2)
constexpr unsigned cube_red_8bit = (200 >> 3 << 3) | (200 >> 3 >> 2);

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

// the innermost window of the picture's size that is on the screen, below
// the top level
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
        // the library's window lies in a full-screen one of its own; a locker's
        // on a screen of the picture's size is a child of the root
        if (a.width == picture_width && a.height == picture_height && a.c_class == InputOutput &&
            parent != root)
            found = children[i];
        find_program_window(display, children[i], found);
    }
    if (children)
        XFree(children);
    return found;
}

} // namespace

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
    if (!image) {
        // gone between the look and the read
        shot.left = shot.top = -1;
        return shot;
    }
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

namespace
{

// whether the program's window shows a pixel of the wanted kind within the seconds
bool wait_for_pixel(Display *display, double seconds, bool (*wanted)(uint8_t))
{
    const double end = now_seconds() + seconds;
    do {
        const screenshot shot = read_picture(display);
        if (shot.left >= 0)
            for (uint8_t kind : shot.pixels)
                if (wanted(kind))
                    return true;
        sleep_seconds(0.002);
    } while (now_seconds() < end);
    return false;
}

} // namespace

bool wait_for_red(Display *display, double seconds)
{
    return wait_for_pixel(display, seconds, [](uint8_t kind) { return kind == red_pixel; });
}

bool wait_for_picture(Display *display, double seconds)
{
    return wait_for_pixel(display, seconds, [](uint8_t kind) { return kind != black_pixel; });
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

bool wait_for_compositor_picture(Display *outer, Display *inner, int width, int height,
                                 bool &flashed)
{
    flashed = false;
    for (double end = now_seconds() + 20, flash = now_seconds() + 2; now_seconds() < end;
         sleep_seconds(0.02)) {
        if (look_at_desktop(outer, width, height).red_shown)
            return true;
        if (!flashed && now_seconds() > flash) {
            flash_window(inner);
            flashed = true;
        }
    }
    return false;
}

namespace
{

// the child of the root that holds the window
Window top_level(Display *display, Window window)
{
    for (;;) {
        Window root, parent, *children = nullptr;
        unsigned count;
        if (!XQueryTree(display, window, &root, &parent, &children, &count))
            return None;
        if (children)
            XFree(children);
        if (parent == root)
            return window;
        window = parent;
    }
}

std::string window_name(Display *display, Window window)
{
    char *name = nullptr;
    std::string text = "window " + std::to_string(window);
    if (XFetchName(display, window, &name) && name)
        text += " \"" + std::string(name) + "\"";
    if (name)
        XFree(name);
    return text;
}

} // namespace

std::string window_over_picture(Display *display)
{
    Window program = None;
    if (!find_program_window(display, DefaultRootWindow(display), program))
        return "";
    int left, top;
    Window child;
    XTranslateCoordinates(display, program, DefaultRootWindow(display), 0, 0, &left, &top, &child);
    const Window own = top_level(display, program);
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count);
    std::string over;
    bool above = false;
    // bottom to top
    for (unsigned i = 0; i < count && over.empty(); ++i) {
        XWindowAttributes a;
        if (above && XGetWindowAttributes(display, children[i], &a) && a.map_state == IsViewable &&
            a.c_class == InputOutput && a.x < left + picture_width && a.x + a.width > left &&
            a.y < top + picture_height && a.y + a.height > top)
            over = window_name(display, children[i]) + " at " + std::to_string(a.width) + "x" +
                   std::to_string(a.height) + "+" + std::to_string(a.x) + "+" + std::to_string(a.y);
        above = above || children[i] == own;
    }
    if (children)
        XFree(children);
    return over;
}

std::string wait_for_nothing_over_picture(Display *display, double seconds)
{
    std::string over = window_over_picture(display);
    for (double end = now_seconds() + seconds; !over.empty() && now_seconds() < end;
         sleep_seconds(0.05))
        over = window_over_picture(display);
    return over;
}

bool locker_on_top(Display *display, int left, int top)
{
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count))
        return false;
    bool on_top = false;
    // top to bottom, to the first shown window over the picture's place
    for (unsigned i = count; i-- > 0;) {
        XWindowAttributes a;
        if (!XGetWindowAttributes(display, children[i], &a) || a.map_state != IsViewable ||
            a.c_class != InputOutput || a.x >= left + picture_width || a.x + a.width <= left ||
            a.y >= top + picture_height || a.y + a.height <= top)
            continue;
        on_top = a.override_redirect && a.x <= left && a.y <= top &&
                 a.x + a.width >= left + picture_width && a.y + a.height >= top + picture_height;
        break;
    }
    if (children)
        XFree(children);
    return on_top && !program_window_shown(display);
}

unsigned long program_top_level(Display *display)
{
    Window window = None;
    if (!find_program_window(display, DefaultRootWindow(display), window))
        return None;
    return top_level(display, window);
}

void destroy_program_window(Display *display)
{
    if (const Window top = program_top_level(display))
        XDestroyWindow(display, top);
    XSync(display, False);
}

bool program_window_shown(Display *display)
{
    Window window = None;
    return find_program_window(display, DefaultRootWindow(display), window) != None;
}

mode screen_size(Display *display)
{
    Window root;
    int x, y;
    unsigned width, height, border, depth;
    XGetGeometry(display, DefaultRootWindow(display), &root, &x, &y, &width, &height, &border,
                 &depth);
    return {static_cast<int>(width), static_cast<int>(height)};
}

mode current_mode(Display *display)
{
    // the screen's own size: a RandR switch (Wine's) resizes it
    const mode screen = screen_size(display);
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

// the transform a CRTC shows now, as its nine fixed-point numbers, or "" for
// none; a requested one that is still pending does not count
std::string current_transform(Display *display, RRCrtc id)
{
    XRRCrtcTransformAttributes *attributes = nullptr;
    if (!XRRGetCrtcTransform(display, id, &attributes) || !attributes)
        return "";
    std::string text;
    for (const auto &row : attributes->currentTransform.matrix)
        for (XFixed value : row)
            text += " " + std::to_string(value);
    text +=
        " filter '" + std::string(attributes->currentFilter ? attributes->currentFilter : "") + "'";
    XFree(attributes);
    return text;
}

bool is_identity(const std::string &transform)
{
    return transform.empty() || transform.rfind(" 65536 0 0 0 65536 0 0 0 65536 filter", 0) == 0;
}

} // namespace

std::string monitor_layout(Display *display)
{
    const mode screen = screen_size(display);
    std::string text =
        "screen " + std::to_string(screen.width) + "x" + std::to_string(screen.height);
    // a CRTC that is off and drives nothing says nothing; one that comes on shows
    for_each_crtc(
        display, [&](const XRRScreenResources *resources, RRCrtc id, const XRRCrtcInfo *crtc) {
            if (crtc->mode == None && crtc->noutput == 0)
                return;
            text += "; crtc " + std::to_string(id) + " " + mode_name(resources, crtc->mode) + " " +
                    box(crtc) + " rotation " + std::to_string(crtc->rotation) + " transform" +
                    current_transform(display, id) + " outputs";
            for (int i = 0; i < crtc->noutput; ++i)
                text += " " + std::to_string(crtc->outputs[i]);
        });
    return text;
}

void set_screen_size(Display *display, int width, int height)
{
    const int screen = DefaultScreen(display);
    XRRSetScreenSize(display, DefaultRootWindow(display), width, height,
                     DisplayWidthMM(display, screen), DisplayHeightMM(display, screen));
    XSync(display, False);
}

std::vector<std::string> lit_monitors(Display *display)
{
    std::vector<std::string> lit;
    for_each_crtc(display, [&](const XRRScreenResources *, RRCrtc id, const XRRCrtcInfo *crtc) {
        if (crtc->mode == None)
            return;
        std::string text = box(crtc);
        if (crtc->rotation != RR_Rotate_0)
            text += " rotated";
        if (!is_identity(current_transform(display, id)))
            text += " transformed";
        lit.push_back(text);
    });
    return lit;
}
