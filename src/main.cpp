// cubesaver: stamps red cubes on a 640x480 screen until the mouse moves
#include <allegro.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform.h"

constexpr int screen_width = 640;
constexpr int screen_height = 480;
constexpr int color_depth = 16;
constexpr int block_size = 30;
constexpr int ticks_per_second = 120;
static_assert(BPS_TO_TIMER(ticks_per_second) == 9943, "tick period in timer units");

constexpr const char mode_failure[] = "cannot set the 640x480 16-bit full-screen mode";

BITMAP *buffer;
BITMAP *block;
int32_t mx;
int32_t my;

// written by the timer's own thread as well as the run loop
std::atomic<int32_t> speed_counter{0};
static_assert(std::atomic<int32_t>::is_always_lock_free, "the tick counter must be lock-free");

// give back the display, say what failed and why, and stop
[[noreturn]] void die(const char *what, const char *why)
{
    // setting the text mode may overwrite the library's reason
    char reason[ALLEGRO_ERROR_SIZE];
    std::snprintf(reason, sizeof reason, "%s", why);
    if (system_driver)
        set_gfx_mode(GFX_TEXT, 0, 0, 0, 0);
    show_failure(what, reason);
    std::exit(1);
}

// the library's reason, or what is known when it gives none
[[noreturn]] void die_with_library_reason(const char *what)
{
    if (allegro_error[0])
        die(what, allegro_error);
    if (system_driver && system_driver->id == SYSTEM_NONE)
        die(what, "the library runs without a system driver, as its configuration says");
    die(what, "the library gave no reason");
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

// the library's shutdown puts the mode back; then what it missed. it runs
// once, however many ways the end comes (a second exit, a signal during it)
void give_back_display()
{
    static std::atomic_flag given_back = ATOMIC_FLAG_INIT;
    if (given_back.test_and_set())
        return;
    before_library_exit();
    allegro_exit();
    restore_display();
}

// where the pointer is once set-up is done, or once the server has moved it
void take_mouse_snapshot()
{
    mx = mouse_x;
    my = mouse_y;
}

void engine()
{
    before_library_start();
    if (allegro_init() != 0)
        die("cannot start the allegro library",
            allegro_error[0] ? allegro_error : library_start_failure());
    after_library_start();
    if (install_keyboard() != 0)
        die_with_library_reason("cannot install the keyboard driver");
    if (install_timer() != 0)
        die_with_library_reason("cannot install the timer driver");
    if (install_mouse() < 0)
        die_with_library_reason("cannot install the mouse driver");
    set_mouse_speed(1, 1);
    if (install_int_ex(increment_speed_counter, BPS_TO_TIMER(ticks_per_second)) != 0)
        die_with_library_reason("cannot start the 120 Hz tick");
    set_color_depth(color_depth);
    if (const char *why = screen_too_small(screen_width, screen_height))
        die(mode_failure, why);
    record_display();
    // runs before the library's own exit handler, which then finds it done
    std::atexit(give_back_display);
    if (set_gfx_mode(GFX_AUTODETECT_FULLSCREEN, screen_width, screen_height, 0, 0) != 0)
        die_with_library_reason(mode_failure);
    after_mode_set();
    buffer = create_bitmap(screen_width, screen_height);
    if (!buffer)
        die("cannot create the back buffer", "out of memory");
    // a new bitmap holds whatever memory it was given
    clear_bitmap(buffer);
    block = create_bitmap(block_size, block_size);
    if (!block)
        die("cannot create the block", "out of memory");
    paint_block();
    watch_pointer_motion();
    take_mouse_snapshot();
}

// one tick's work: a block at a random place, row first
void program()
{
    const int row = std::rand() % screen_height;
    const int column = std::rand() % screen_width;
    draw_sprite(buffer, block, column, row);
}

// returns only while no person has moved the pointer since set-up, no stop
// signal has come and the session is not to be locked
void exit_procedure()
{
    act_on_stop_signal();
    // a locker starts now and must get the keyboard and pointer
    if (session_locking())
        std::exit(0);
    if (const char *why = picture_lost())
        die("lost its window", why);
    if (mouse_needs_poll())
        poll_mouse();
    const bool moved = mouse_x != mx || mouse_y != my;
    // a device's move counts even where the pointer cannot go further, at an
    // edge; where none can be told apart, every change of place is a move
    const motion by = pointer_motion();
    if (by == motion::by_device || (by == motion::unknown && moved))
        std::exit(0);
    // the server put it there (a compositor handing over its pointer), not a
    // person, so watch from there
    if (moved)
        take_mouse_snapshot();
}

void display()
{
    draw_sprite(screen, buffer, 0, 0);
    keep_picture_on_top();
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
