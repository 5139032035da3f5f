// cubesaver: stamps red cubes on a 640x480 screen until the mouse moves
#include <allegro.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

constexpr int screen_width = 640;
constexpr int screen_height = 480;
constexpr int color_depth = 16;
constexpr int block_size = 30;
constexpr int ticks_per_second = 120;
constexpr int settle_quiet_ms = 100;
constexpr int settle_limit_ms = 1000;
static_assert(BPS_TO_TIMER(ticks_per_second) == 9943, "tick period in timer units");

BITMAP *buffer;
BITMAP *block;
int32_t mx;
int32_t my;

// written by the timer's own thread as well as the run loop
std::atomic<int32_t> speed_counter{0};
static_assert(std::atomic<int32_t>::is_always_lock_free, "the tick counter must be lock-free");

// give back the display, say what failed and why, and stop
[[noreturn]] void die(const char *what, const char *why = allegro_error)
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

// on x11 the mode is a window on the desktop, so a smaller screen would cut
// the picture and push the pointer, which reads as a move and a clean exit
void check_screen_size()
{
#ifdef ALLEGRO_WITH_XWINDOWS
    int width;
    int height;
    if (system_driver->id != SYSTEM_XWINDOWS || get_desktop_resolution(&width, &height) != 0)
        return;
    if (width < screen_width || height < screen_height) {
        char why[64];
        std::snprintf(why, sizeof why, "the screen is only %dx%d", width, height);
        die(mode_failure, why);
    }
#endif
}

// the library hears of the pointer moves of the mode switch a moment later (on
// a screen larger than the mode it then jumps); a snapshot taken before that
// would read as a move at the first look
void wait_for_mouse_to_settle()
{
    int quiet = 0;
    for (int waited = 0; quiet < settle_quiet_ms && waited < settle_limit_ms; waited += 10) {
        const int x = mouse_x;
        const int y = mouse_y;
        rest(10);
        quiet = mouse_x == x && mouse_y == y ? quiet + 10 : 0;
    }
}

void engine()
{
    // with no display to open the library gives no reason of its own
    if (allegro_init() != 0)
        die("cannot start the allegro library",
            allegro_error[0] ? allegro_error : "no display could be opened");
    if (install_keyboard() != 0)
        die("cannot install the keyboard driver");
    if (install_timer() != 0)
        die("cannot install the timer driver");
    if (install_mouse() < 0)
        die("cannot install the mouse driver");
    set_mouse_speed(1, 1);
    if (install_int_ex(increment_speed_counter, BPS_TO_TIMER(ticks_per_second)) != 0)
        die("cannot start the 120 Hz tick");
    set_color_depth(color_depth);
    check_screen_size();
    if (set_gfx_mode(GFX_AUTODETECT_FULLSCREEN, screen_width, screen_height, 0, 0) != 0)
        die(mode_failure);
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
    wait_for_mouse_to_settle();
    mx = mouse_x;
    my = mouse_y;
}

// one tick's work: a block at a random place, row first
void program()
{
    const int row = std::rand() % screen_height;
    const int column = std::rand() % screen_width;
    draw_sprite(buffer, block, column, row);
}

// returns only while the pointer is where it was after set-up
void exit_procedure()
{
    if (mouse_needs_poll())
        poll_mouse();
    if (mouse_x != mx)
        std::exit(0);
    if (mouse_y != my)
        std::exit(0);
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
