// the benchmark's floor: cubesaver's library calls with none of its own logic
// usage: floor tick|present|watch|startup
//   tick     a 120 Hz tick; each new tick stamps an outlined square straight on the screen
//   present  puts a back buffer on the screen as fast as it can, until the mouse moves
//   watch    watches mouse_x and mouse_y in a tight loop, until they change
//   startup  the drivers, the tick, the mode and the two bitmaps, then presents
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

void set_mode()
{
    set_color_depth(16);
    if (set_gfx_mode(GFX_AUTODETECT_FULLSCREEN, 640, 480, 0, 0) != 0)
        die("cannot set the mode");
}

// the drivers cubesaver installs, then the mode
void set_up()
{
    if (allegro_init() != 0 || install_keyboard() != 0 || install_timer() != 0 ||
        install_mouse() < 0)
        die("cannot start");
    set_mode();
}

[[noreturn]] void exit_on_move(BITMAP *buffer)
{
    const int x = mouse_x;
    const int y = mouse_y;
    for (;;) {
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
    set_up();
    if (install_int_ex(count_tick, BPS_TO_TIMER(120)) != 0)
        die("cannot start the tick");
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
    rectfill(buffer, 0, 0, square_size - 1, square_size - 1, makecol(200, 0, 0));
    exit_on_move(buffer);
}

[[noreturn]] void watch()
{
    set_up();
    rectfill(screen, 0, 0, square_size - 1, square_size - 1, makecol(200, 0, 0));
    exit_on_move(nullptr);
}

// what set-up costs the library: the same drivers, tick, mode and bitmaps,
// then presenting as the program does, so an observer meets the same load
[[noreturn]] void startup()
{
    set_up();
    if (install_int_ex(count_tick, BPS_TO_TIMER(120)) != 0)
        die("cannot start the tick");
    BITMAP *buffer = create_bitmap(SCREEN_W, SCREEN_H);
    BITMAP *block = create_bitmap(square_size, square_size);
    if (!buffer || !block)
        die("cannot create the bitmaps");
    clear_bitmap(buffer);
    rectfill(buffer, 0, 0, square_size - 1, square_size - 1, makecol(200, 0, 0));
    exit_on_move(buffer);
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
