// preloaded into the program under test: counts the pixels it uploads to the
// X server, in a shared 8-byte counter file named by CUBESAVER_UPLOADS
#include <X11/Xlib.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

namespace
{

std::atomic<uint64_t> *counter()
{
    static std::atomic<uint64_t> *shared = [] {
        std::atomic<uint64_t> *mapped = nullptr;
        const char *path = std::getenv("CUBESAVER_UPLOADS");
        const int fd = path ? open(path, O_RDWR) : -1;
        if (fd >= 0) {
            void *p = mmap(nullptr, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (p != MAP_FAILED)
                mapped = static_cast<std::atomic<uint64_t> *>(p);
            close(fd);
        }
        return mapped;
    }();
    return shared;
}

void count(unsigned width, unsigned height)
{
    if (std::atomic<uint64_t> *c = counter())
        c->fetch_add(uint64_t{width} * height);
}

template <typename F> F next(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int XPutImage(Display *display, Drawable d, GC gc, XImage *image, int src_x, int src_y,
                         int dest_x, int dest_y, unsigned width, unsigned height)
{
    static auto real = next<decltype(&XPutImage)>("XPutImage");
    count(width, height);
    return real(display, d, gc, image, src_x, src_y, dest_x, dest_y, width, height);
}

// declared here so the shim needs no MIT-SHM headers
extern "C" Bool XShmPutImage(Display *display, Drawable d, GC gc, XImage *image, int src_x,
                             int src_y, int dest_x, int dest_y, unsigned width, unsigned height,
                             Bool send_event)
{
    using put =
        Bool (*)(Display *, Drawable, GC, XImage *, int, int, int, int, unsigned, unsigned, Bool);
    static auto real = next<put>("XShmPutImage");
    count(width, height);
    return real(display, d, gc, image, src_x, src_y, dest_x, dest_y, width, height, send_event);
}
