// the benchmark's floor: cubesaver's library calls with none of its own logic
// usage: floor tick|present|watch|startup
//   tick     a 120 Hz tick; each new tick stamps an outlined square straight on the screen
//   present  puts a back buffer on the screen as fast as it can, until the mouse moves
//   watch    watches mouse_x and mouse_y in a tight loop, until they change
//   startup  the drivers, the tick, the mode and the two bitmaps, then presents, with
//            a red square from the first tick on
#include <allegro.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

constexpr int square_size = 30;

std::atomic<int> ticks{0};

void count_tick()
{
    ticks.fetch_add(1);
}

[[noreturn]] void die(const char *what)
{
    std::fprintf(stderr, "floor: %s: %s\n", what, allegro_error);
    std::exit(1);
}

// the drivers cubesaver installs, and its tick where it starts it, then the mode
void set_up(bool tick = false)
{
    if (allegro_init() != 0 || install_keyboard() != 0 || install_timer() != 0 ||
        install_mouse() < 0)
        die("cannot start");
    if (tick && install_int_ex(count_tick, BPS_TO_TIMER(120)) != 0)
        die("cannot start the tick");
    set_color_depth(16);
    if (set_gfx_mode(GFX_AUTODETECT_FULLSCREEN, 640, 480, 0, 0) != 0)
        die("cannot set the mode");
}

void put_square(BITMAP *bitmap)
{
    rectfill(bitmap, 0, 0, square_size - 1, square_size - 1, makecol(200, 0, 0));
}

// presents the buffer, if any, until the mouse moves; the square goes into
// it at once, or else on the first tick, as no cube can come before one
[[noreturn]] void exit_on_move(BITMAP *buffer, bool square_on_tick = false)
{
    const int x = mouse_x;
    const int y = mouse_y;
    for (bool square = !square_on_tick;;) {
        if (!square && ticks.load() > 0) {
            put_square(buffer);
            square = true;
        }
        if (buffer)
            draw_sprite(screen, buffer, 0, 0);
        if (mouse_needs_poll())
            poll_mouse();
        if (mouse_x != x || mouse_y != y)
            std::exit(0);
    }
}

[[noreturn]] void tick()
{
    set_up(true);
    const int red = makecol(200, 0, 0);
    const int black = makecol(0, 0, 0);
    for (int done = 0;;) {
        if (ticks.load() == done)
            continue;
        ++done;
        const int row = std::rand() % SCREEN_H;
        const int column = std::rand() % SCREEN_W;
        rectfill(screen, column, row, column + square_size - 1, row + square_size - 1, red);
        rect(screen, column, row, column + square_size - 1, row + square_size - 1, black);
    }
}

[[noreturn]] void present()
{
    set_up();
    BITMAP *buffer = create_bitmap(SCREEN_W, SCREEN_H);
    if (!buffer)
        die("cannot create the buffer");
    clear_bitmap(buffer);
    put_square(buffer);
    exit_on_move(buffer);
}

[[noreturn]] void watch()
{
    set_up();
    put_square(screen);
    exit_on_move(nullptr);
}

// what set-up costs the library: the same drivers, tick, mode and bitmaps,
// then presenting as the program does, so an observer meets the same load;
// the library's timer thread may deliver the first tick some 25 ms after the
// tick starts, and the program can show nothing red before it either
[[noreturn]] void startup()
{
    set_up(true);
    BITMAP *buffer = create_bitmap(SCREEN_W, SCREEN_H);
    BITMAP *block = create_bitmap(square_size, square_size);
    if (!buffer || !block)
        die("cannot create the bitmaps");
    clear_bitmap(buffer);
    exit_on_move(buffer, true);
}

int main(int argc, char *argv[])
{
    const char *mode = argc == 2 ? argv[1] : "";
    if (std::strcmp(mode, "tick") == 0)
        tick();
    if (std::strcmp(mode, "present") == 0)
        present();
    if (std::strcmp(mode, "watch") == 0)
        watch();
    if (std::strcmp(mode, "startup") == 0)
        startup();
    std::fprintf(stderr, "usage: floor tick|present|watch|startup\n");
    return 2;
}
END_OF_MAIN()
