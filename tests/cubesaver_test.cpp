// cubesaver run for real on X servers of every kind people use: its picture,
// how it ends, how it stops on a signal and how it fails
#include "xdrive.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace
{

const std::string cubesaver_path = CUBESAVER_PATH;
constexpr double stamps_per_second = 120;

struct screen_case {
    server_setup server;
    // where the pointer is before the program starts, on the input screen
    int pointer_x = -1;
    int pointer_y = -1;
    // a window manager with a monitor configuration of its own (muffin)
    // shrinks the screen to the switched monitors while it runs
    bool screen_shrunk = false;
    // another client's window over or beside the picture
    intruder who = intruder::none;
};

const char *const intruder_names[] = {
    "", "window", "popup", "raising_window", "raising_popup", "window_beside"};

constexpr bool shrunk_while_it_runs = true;

void PrintTo(const screen_case &c, std::ostream *out)
{
    *out << describe(c.server);
    if (c.pointer_x >= 0)
        *out << " from " << c.pointer_x << "," << c.pointer_y;
    if (c.screen_shrunk)
        *out << ", the screen shrunk while it runs";
    if (c.who != intruder::none)
        *out << ", with another client's " << intruder_names[static_cast<int>(c.who)];
}

std::string case_name(const testing::TestParamInfo<screen_case> &info)
{
    std::string name = describe(info.param.server);
    if (info.param.pointer_x >= 0)
        name += "_from_" + std::to_string(info.param.pointer_x) + "_" +
                std::to_string(info.param.pointer_y);
    if (info.param.screen_shrunk)
        name += "_screen_shrunk";
    if (info.param.who != intruder::none)
        name += std::string("_with_") + intruder_names[static_cast<int>(info.param.who)];
    return name;
}

constexpr server_setup xvfb_640{server_kind::xvfb, 640, 480, 16};
constexpr server_setup xvfb_larger{server_kind::xvfb, 800, 600, 24};
constexpr server_setup xorg_16{server_kind::xorg, 1024, 768, 16};
constexpr server_setup xorg_24{server_kind::xorg, 1024, 768, 24};
// real drivers switch every monitor to 640x480 at 0,0; both must come back
constexpr server_setup xorg_two{server_kind::xorg, 2048, 768, 24, monitors::side_by_side};
constexpr server_setup xorg_offset{server_kind::xorg, 2048, 896, 24, monitors::offset};
// switched, a monitor is unrotated and unscaled; both must come back
constexpr server_setup xorg_portrait{server_kind::xorg, 1792, 1024, 24, monitors::portrait};
constexpr server_setup xorg_scaled{server_kind::xorg, 2560, 1152, 16, monitors::scaled};
constexpr server_setup xorg_portrait_and_scaled{server_kind::xorg, 2304, 1152, 24,
                                                monitors::portrait_and_scaled};
// at 0,0 only its rotation tells it from the switch's
constexpr server_setup xorg_portrait_first{server_kind::xorg, 1792, 1024, 24,
                                           monitors::portrait_first};
constexpr server_setup xorg_no_640{server_kind::xorg_no_640, 1024, 768, 24};
constexpr server_setup xwayland{server_kind::xwayland, 1024, 768, 24};
constexpr server_setup xwayland_seat{server_kind::xwayland_seat, 1024, 768, 24};
constexpr server_setup xwayland_rootful{server_kind::xwayland_rootful, 1024, 768, 24};
constexpr server_setup sway{server_kind::sway, 1024, 768, 24};
constexpr server_setup kwin{server_kind::kwin, 1024, 768, 24};
constexpr server_setup gnome{server_kind::gnome, 1024, 768, 24};
// desktops as people run them; a switch makes their window managers pull
// windows into 640x480 and re-create bars
constexpr server_setup xvfb_openbox{server_kind::xvfb,      1024, 768, 24, monitors::one,
                                    window_manager::openbox};
constexpr server_setup xvfb_i3{server_kind::xvfb, 1024, 768, 24, monitors::one, window_manager::i3};
constexpr server_setup xorg_xfwm4{server_kind::xorg,    1024, 768, 24, monitors::one,
                                  window_manager::xfwm4};
constexpr server_setup xorg_openbox{server_kind::xorg,      1024, 768, 16, monitors::one,
                                    window_manager::openbox};
constexpr server_setup xorg_two_openbox{
    server_kind::xorg, 2048, 768, 24, monitors::side_by_side, window_manager::openbox};
constexpr server_setup xorg_i3{server_kind::xorg, 1024, 768, 24, monitors::one, window_manager::i3};
constexpr server_setup xorg_two_i3{server_kind::xorg, 2048, 768, 24, monitors::side_by_side,
                                   window_manager::i3};
constexpr server_setup xorg_two_mutter{server_kind::xorg,     2048, 768, 24, monitors::side_by_side,
                                       window_manager::mutter};
constexpr server_setup xorg_kwin{server_kind::xorg,   1024, 768, 24, monitors::one,
                                 window_manager::kwin};
// whole desktop sessions, as a user of their own
constexpr server_setup xorg_mate{server_kind::xorg,   1024, 768, 24, monitors::one,
                                 window_manager::mate};
constexpr server_setup xorg_two_mate{server_kind::xorg,   2048, 768, 24, monitors::side_by_side,
                                     window_manager::mate};
constexpr server_setup xorg_lxqt{server_kind::xorg,   1024, 768, 24, monitors::one,
                                 window_manager::lxqt};
constexpr server_setup xorg_two_lxqt{server_kind::xorg,   2048, 768, 24, monitors::side_by_side,
                                     window_manager::lxqt};
constexpr server_setup xorg_cinnamon{server_kind::xorg,       1024, 768, 24, monitors::one,
                                     window_manager::cinnamon};
constexpr server_setup xorg_two_cinnamon{
    server_kind::xorg, 2048, 768, 24, monitors::side_by_side, window_manager::cinnamon};

// mutter puts its own monitor configuration back as soon as the library
// switches, so the picture stays at the top left, black around it
bool switches_mode(const server_setup &server)
{
    return server.kind == server_kind::xorg && server.wm != window_manager::mutter;
}

// what the program must give back: the mode, every monitor's place, the
// pointer acceleration and every window's place
struct desktop {
    mode size{};
    std::string layout;
    std::vector<int> acceleration;
    std::vector<std::string> windows;
};

desktop desktop_now(const xserver &server)
{
    Display *display = server.display;
    return {current_mode(display), monitor_layout(display), pointer_control(display),
            window_places(server)};
}

// the desktop before a start, with an unusual acceleration, which the library
// changes while it runs
desktop prepare_desktop(const xserver &server)
{
    set_pointer_control(server.display, 7, 2, 4);
    return desktop_now(server);
}

void expect_desktop(const xserver &server, const desktop &before)
{
    const desktop now = desktop_now(server);
    EXPECT_EQ(now.size.width, before.size.width);
    EXPECT_EQ(now.size.height, before.size.height);
    EXPECT_EQ(now.layout, before.layout);
    EXPECT_EQ(now.acceleration, before.acceleration);
    EXPECT_FALSE(program_window_shown(server.display));
    // muffin draws with llvmpipe here, on the CPU the program keeps busy, and
    // then takes the requests for places seconds late or not at all; it also
    // leaves a maximised window as high as a work area without its panel
    if (server.setup.wm != window_manager::cinnamon) {
        EXPECT_EQ(wait_for_window_places(server, before.windows, 5), before.windows);
    }
}

// the program on a server, past set-up, with the desktop as it was before
struct running : session {
    desktop before;
    explicit running(const screen_case &c, const std::vector<std::string> &args = {},
                     bool cores_allowed = false)
        : session(c.server)
    {
        if (c.pointer_x >= 0)
            move_pointer_to(server.input, c.pointer_x, c.pointer_y);
        before = prepare_desktop(server);
        std::vector<std::string> argv{cubesaver_path};
        argv.insert(argv.end(), args.begin(), args.end());
        if (cores_allowed)
            argv.insert(argv.begin(), {"prlimit", "--core=unlimited", "--"});
        child = spawn(argv[0], server.name, {argv.begin() + 1, argv.end()});
        // the first stamp shows once set-up, and so the mouse snapshot, is
        // done; a stamp of the wrong colour shows too, and fails on the model
        if (!wait_for_picture(server.display, 20))
            ADD_FAILURE() << "nothing drawn on the screen";
        // a nested compositor hands its pointer over once it shows the
        // window; a move before that would be the hand-over
        bool flashed;
        if (server.input != server.display &&
            !wait_for_compositor_picture(server.input, server.display, c.server.width,
                                         c.server.height, flashed))
            ADD_FAILURE() << "the compositor does not show the picture";
    }
};

const server_setup &server_of(const screen_case &c)
{
    return c.server;
}

// a case is skipped, saying why, where its server cannot run
template <typename param> class on_server : public testing::TestWithParam<param>
{
  protected:
    void SetUp() override
    {
        const std::string why = cannot_run(server_of(this->GetParam()));
        if (!why.empty())
            GTEST_SKIP() << why;
    }
};

// "cubesaver: <what failed>: <why>", with a reason and one newline at the end
bool is_failure_line(const std::string &text, const std::string &start)
{
    const size_t colon = text.find(": ", std::string("cubesaver: ").size());
    return text.rfind(start, 0) == 0 && colon != std::string::npos && colon + 3 < text.size() &&
           text.find('\n') == text.size() - 1;
}

// the display as the program found it, and silence
void expect_display_given_back(running &run)
{
    expect_desktop(run.server, run.before);
    EXPECT_EQ(read_file(run.child.out_path), "");
    EXPECT_EQ(read_file(run.child.err_path), "");
}

class picture : public on_server<screen_case>
{
};

// another client's window comes over the picture or beside it: the program
// raises its own over what a window manager stacks, seldom however often
// that comes back, never over another client's override-redirect window,
// and not at all while nothing covers the picture
void expect_stacking_with(const xserver &server, intruder who, const screenshot &shot)
{
    const bool beside = who == intruder::window_beside;
    process other;
    const auto show = [&] {
        other = start_intruder(server.name, who, beside ? shot.left - 60 : shot.left + 200,
                               beside ? shot.top - 50 : shot.top + 100);
    };
    const bool settles = who == intruder::window || who == intruder::window_beside;
    const int raises = count_raises(server.name, settles ? 1 : 3, show);
    testing::Test::RecordProperty("raises", raises);
    switch (who) {
    case intruder::window:
        EXPECT_EQ(wait_for_nothing_over_picture(server.display, 2), "") << "left under it";
        break;
    case intruder::popup:
    case intruder::raising_popup:
        EXPECT_LE(raises, 2) << "it fights another client's override-redirect window";
        EXPECT_NE(window_over_picture(server.display).find("\"intruder\""), std::string::npos)
            << "the other client's window is not left on top";
        break;
    case intruder::raising_window:
        EXPECT_GE(raises, 1) << "left under a window that raises itself";
        EXPECT_LE(raises, 16) << "raised more than five times a second";
        break;
    case intruder::window_beside:
        EXPECT_EQ(raises, 0) << "raised with nothing over the picture";
        break;
    case intruder::none:
        break;
    }
    kill_process(other);
}

TEST_P(picture, equals_the_model_and_every_tick_becomes_a_stamp)
{
    running run(GetParam(), {"--help", "-q", "x y"});
    Display *display = run.server.display;
    const server_setup &server = GetParam().server;
    const screenshot shot = read_picture(display);
    // muffin at times takes the switch for a new monitor and puts its own
    // layout back at once; the picture then stays in the corner
    const bool undone =
        server.wm == window_manager::cinnamon && monitor_layout(display) == run.before.layout;
    RecordProperty("switch_undone", undone);
    if (switches_mode(server) && undone) {
        EXPECT_EQ(shot.left, 0);
        EXPECT_EQ(shot.top, 0);
    } else if (switches_mode(server)) {
        EXPECT_EQ(current_mode(display).width, picture_width);
        EXPECT_EQ(current_mode(display).height, picture_height);
        // the driver carried the switch out on every monitor
        const auto lit = lit_monitors(display);
        EXPECT_EQ(lit.size(), server.layout == monitors::one ? 1u : 2u);
        for (const std::string &monitor : lit)
            EXPECT_EQ(monitor, "640x480+0+0");
        EXPECT_EQ(shot.left, 0);
        EXPECT_EQ(shot.top, 0);
    } else if (server.wm == window_manager::mutter) {
        EXPECT_EQ(shot.left, 0);
        EXPECT_EQ(shot.top, 0);
    } else if (server.kind == server_kind::xvfb || server.kind == server_kind::xorg_no_640 ||
               server.kind == server_kind::xwayland_rootful) {
        EXPECT_EQ(shot.left, (server.width - picture_width) / 2) << "not centred";
        EXPECT_EQ(shot.top, (server.height - picture_height) / 2) << "not centred";
    }

    // a bar or window a window manager puts above it after the switch goes
    // back under at once
    EXPECT_EQ(wait_for_nothing_over_picture(display, 2), "") << "stacked over the picture";

    const auto positions = glibc_positions(20 * 240);
    double t1, t2;
    const int k1 = least_lagging_stamps(display, positions, t1, stamps_per_second);
    // stopped, it misses ticks, which the timer then delivers at once
    kill(run.child.pid, SIGSTOP);
    sleep_seconds(1);
    kill(run.child.pid, SIGCONT);
    sleep_seconds(5);
    const int k2 = least_lagging_stamps(display, positions, t2, stamps_per_second);
    ASSERT_GE(k1, 0) << "the first pictures match no number of stamps";
    ASSERT_GT(k2, 0) << "the second pictures match no number of stamps";
    const double rate = (k2 - k1) / (t2 - t1);
    RecordProperty("stamps_per_second", std::to_string(rate));
    // a clock 5 % off, or ticks lost in the stop, fall well outside
    EXPECT_NEAR(rate, stamps_per_second, stamps_per_second * 0.02);

    // the match covers blocks cut off at both far edges
    bool right = false, bottom = false;
    for (int i = 0; i < k2; ++i) {
        right = right || positions[i].column > picture_width - 30;
        bottom = bottom || positions[i].row > picture_height - 30;
    }
    EXPECT_TRUE(right && bottom);

    if (GetParam().who != intruder::none)
        expect_stacking_with(run.server, GetParam().who, shot);
}

INSTANTIATE_TEST_SUITE_P(
    servers, picture,
    testing::Values(screen_case{xvfb_640}, screen_case{xvfb_larger}, screen_case{xorg_16},
                    screen_case{xorg_24}, screen_case{xorg_two}, screen_case{xorg_offset},
                    screen_case{xorg_portrait}, screen_case{xorg_scaled},
                    screen_case{xorg_portrait_and_scaled}, screen_case{xorg_no_640},
                    screen_case{xwayland}, screen_case{xwayland_seat},
                    screen_case{xwayland_rootful}, screen_case{sway}, screen_case{kwin},
                    screen_case{gnome}, screen_case{xvfb_openbox}, screen_case{xvfb_i3},
                    screen_case{xorg_xfwm4}, screen_case{xorg_openbox},
                    screen_case{xorg_two_openbox}, screen_case{xorg_i3}, screen_case{xorg_two_i3},
                    screen_case{xorg_two_mutter}, screen_case{xorg_kwin}, screen_case{xorg_mate},
                    screen_case{xorg_two_mate}, screen_case{xorg_lxqt}, screen_case{xorg_two_lxqt},
                    screen_case{xorg_cinnamon}, screen_case{xorg_two_cinnamon},
                    screen_case{xvfb_larger, -1, -1, false, intruder::window},
                    screen_case{xvfb_larger, -1, -1, false, intruder::window_beside},
                    screen_case{xvfb_larger, -1, -1, false, intruder::raising_window},
                    screen_case{xvfb_larger, -1, -1, false, intruder::raising_popup},
                    screen_case{xvfb_openbox, -1, -1, false, intruder::window},
                    screen_case{xorg_openbox, -1, -1, false, intruder::popup},
                    screen_case{xorg_two_openbox, -1, -1, false, intruder::raising_popup}),
    case_name);

class ending : public on_server<screen_case>
{
};

TEST_P(ending, only_a_move_ends_it_one_pixel_any_way)
{
    const int moves[4][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};
    for (int i = 0; i < 4; ++i) {
        const int *move = moves[i];
        SCOPED_TRACE(testing::Message() << "move " << move[0] << "," << move[1]);
        running run(GetParam());
        if (GetParam().screen_shrunk)
            set_screen_size(run.server.display, picture_width, picture_height);
        // another window makes a compositor repaint and hand over its pointer
        flash_window(run.server.display);
        ASSERT_EQ(wait_exit(run.child, 0.5), -1) << "ended with no move";

        // mutter hands its pointer over on the first move after the window
        // appears, which reads as the server's own
        const bool hand_over = GetParam().server.kind == server_kind::gnome;
        nudge_pointer(run.server, move[0], move[1]);
        int status = wait_exit(run.child, hand_over ? 1 : 5);
        if (status == -1 && hand_over) {
            nudge_pointer(run.server, move[0], move[1]);
            status = wait_exit(run.child, 5);
        }
        ASSERT_NE(status, -1) << "still running after the move";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
        expect_display_given_back(run);
    }
}

// where the pointer may start, on each server
const std::vector<screen_case> ending_servers{
    screen_case{xvfb_640},
    screen_case{xvfb_larger, 799, 599},
    screen_case{xorg_24, 0, 0},
    screen_case{xorg_24, 1023, 767},
    screen_case{xorg_16, 1023, 0},
    screen_case{xorg_16, 0, 767},
    screen_case{xorg_two, 2047, 767},
    screen_case{xorg_two, 2047, 767, shrunk_while_it_runs},
    screen_case{xorg_24, 1023, 767, shrunk_while_it_runs},
    screen_case{xorg_offset, 1500, 800},
    screen_case{xorg_portrait, 1791, 1023},
    screen_case{xorg_scaled, 2559, 767},
    screen_case{xorg_portrait_and_scaled, 0, 1151},
    screen_case{xorg_portrait_first, 100, 900},
    screen_case{xorg_no_640, 1023, 767},
    screen_case{xwayland},
    screen_case{xwayland_seat, 1000, 700},
    screen_case{xwayland_rootful},
    screen_case{sway, 1000, 700},
    screen_case{kwin, 1000, 700},
    screen_case{gnome},
    screen_case{xvfb_openbox, 900, 700},
    screen_case{xorg_xfwm4, 1023, 767},
    screen_case{xorg_openbox, 800, 300},
    screen_case{xorg_two_openbox, 2047, 0},
    screen_case{xorg_i3, 1000, 700},
    screen_case{xorg_two_mutter, 1023, 700},
    screen_case{xorg_kwin, 1000, 700}};

// whole sessions differ from their window managers in what they put back,
// not in the keys and buttons that reach the server
const std::vector<screen_case> session_servers{
    screen_case{xorg_mate, 1000, 700},     screen_case{xorg_two_mate, 1500, 300},
    screen_case{xorg_lxqt, 1000, 700},     screen_case{xorg_two_lxqt, 1500, 300},
    screen_case{xorg_cinnamon, 1000, 700}, screen_case{xorg_two_cinnamon, 1500, 300}};

std::vector<screen_case> joined(std::vector<screen_case> a, const std::vector<screen_case> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

INSTANTIATE_TEST_SUITE_P(servers, ending,
                         testing::ValuesIn(joined(ending_servers, session_servers)), case_name);

enum class press { keys, buttons };

void PrintTo(press p, std::ostream *out)
{
    *out << (p == press::keys ? "keys" : "buttons");
}

using press_case = std::tuple<press, screen_case>;

const server_setup &server_of(const press_case &c)
{
    return std::get<1>(c).server;
}

class pressing : public on_server<press_case>
{
};

// only where a person's presses reach the X server while it runs can this
// fail; weston and KWin keep the keys, sway the buttons
TEST_P(pressing, does_nothing)
{
    const bool keys = std::get<0>(GetParam()) == press::keys;
    running run(std::get<1>(GetParam()));
    const std::vector<std::string> key_names{"Escape", "q", "space", "Return"};
    const std::vector<unsigned> buttons{1, 2, 3};
    const int held = static_cast<int>(keys ? key_names.size() : buttons.size());
    const presses seen = count_presses(
        run.server.name,
        [&] {
            if (keys)
                hold_keys(run.server, key_names);
            else
                hold_buttons(run.server, buttons);
        },
        held);
    const int reached = keys ? seen.keys : seen.buttons;
    RecordProperty("presses_reached", reached);
    ASSERT_EQ(wait_exit(run.child, 0.5), -1) << "ended on a press";
    if (reached == 0)
        GTEST_SKIP() << "no " << (keys ? "key" : "button")
                     << " pressed here reaches the X server while it runs, so "
                     << (keys ? "keys" : "buttons") << " cannot be tested here";
}

std::string pressing_name(const testing::TestParamInfo<press_case> &info)
{
    return std::string(std::get<0>(info.param) == press::keys ? "keys_" : "buttons_") +
           case_name({std::get<1>(info.param), info.index});
}

INSTANTIATE_TEST_SUITE_P(servers, pressing,
                         testing::Combine(testing::Values(press::keys, press::buttons),
                                          testing::ValuesIn(ending_servers)),
                         pressing_name);

class idle : public on_server<screen_case>
{
};

const char grab_line[] =
    "cubesaver: cannot set the 640x480 16-bit full-screen mode: Can not grab keyboard\n";

// as a session sets it up: xautolock with the program as its locker, its
// stderr kept; the locker's status goes to a file
TEST_P(idle, xautolock_starts_it_a_second_start_fails_cleanly_and_a_move_ends_it)
{
    if (access("/usr/bin/xautolock", X_OK) != 0)
        GTEST_SKIP() << "xautolock is not installed";
    session run(GetParam().server);
    Display *display = run.server.display;
    const desktop before = prepare_desktop(run.server);
    const std::string status = run.server.dir + "/status", err = run.server.dir + "/stderr";
    run.child = spawn("/usr/bin/xautolock", run.server.name,
                      {"-time", "1", "-nocloseerr", "-locker",
                       cubesaver_path + " 2>" + err + "; echo $? >" + status});
    // xautolock ignores -locknow for a few seconds after it starts or a
    // locker ends, so ask again
    int asked = 0;
    bool shown = false;
    while (!shown && asked < 10) {
        process ask = spawn("/usr/bin/xautolock", run.server.name, {"-locknow"});
        wait_exit(ask, 5);
        kill_process(ask);
        ++asked;
        shown = wait_for_picture(display, 2);
    }
    RecordProperty("locknow_asked", asked);
    ASSERT_TRUE(shown) << "xautolock -locknow did not start it, asked " << asked << " times";

    // an idle trigger while it runs
    process second = spawn(cubesaver_path, run.server.name);
    const int second_status = wait_exit(second, 20);
    EXPECT_TRUE(WIFEXITED(second_status) && WEXITSTATUS(second_status) == 1)
        << "wait status " << second_status;
    EXPECT_EQ(read_file(second.err_path), grab_line);
    kill_process(second);
    const auto positions = glibc_positions(20 * 240);
    double t1, t2;
    const int k1 = stamps_on_screen(display, positions, t1);
    int k2 = k1;
    for (double end = now_seconds() + 5; k2 <= k1 && now_seconds() < end;)
        k2 = stamps_on_screen(display, positions, t2);
    EXPECT_GT(k2, k1) << "the first stopped stamping";
    EXPECT_EQ(read_file(status), "") << "the first ended";

    nudge_pointer(run.server, 1, 0);
    for (double end = now_seconds() + 5; read_file(status).empty() && now_seconds() < end;)
        sleep_seconds(0.01);
    EXPECT_EQ(read_file(status), "0\n") << "the move did not end it with status 0";
    EXPECT_EQ(read_file(err), "");
    expect_desktop(run.server, before);
}

// it does not lock; the recipe that does: a locker after it, so the move
// that ends the cubes meets a lock screen
TEST_P(idle, a_locker_after_it_holds_the_keyboard_once_a_move_ends_it)
{
    if (access("/usr/bin/xautolock", X_OK) != 0 || access("/usr/bin/slock", X_OK) != 0)
        GTEST_SKIP() << "xautolock or slock (suckless-tools) is not installed";
    session run(GetParam().server);
    Display *display = run.server.display;
    // a copy, as the installed file carries a capability a process here may not take
    const std::string slock = run.server.dir + "/slock", status = run.server.dir + "/status";
    ASSERT_EQ(std::system(("cp /usr/bin/slock " + slock).c_str()), 0);
    run.child =
        spawn("/usr/bin/xautolock", run.server.name,
              {"-time", "1", "-locker", cubesaver_path + "; echo $? >" + status + "; " + slock});
    bool shown = false;
    for (int asked = 0; !shown && asked < 10; ++asked) {
        process ask = spawn("/usr/bin/xautolock", run.server.name, {"-locknow"});
        wait_exit(ask, 5);
        kill_process(ask);
        shown = wait_for_picture(display, 2);
    }
    ASSERT_TRUE(shown) << "xautolock -locknow did not start it";

    nudge_pointer(run.server, 1, 0);
    for (double end = now_seconds() + 5; read_file(status).empty() && now_seconds() < end;)
        sleep_seconds(0.01);
    EXPECT_EQ(read_file(status), "0\n") << "the move did not end it with status 0";
    // seldom, since each look is a grab of our own that the locker may meet
    bool locked = false;
    for (double end = now_seconds() + 10; !locked && now_seconds() < end; sleep_seconds(0.3))
        locked = keyboard_held_elsewhere(display);
    ASSERT_TRUE(locked) << "no locker holds the keyboard after the move";

    // an idle trigger while the locker holds starts nothing
    process ask = spawn("/usr/bin/xautolock", run.server.name, {"-locknow"});
    wait_exit(ask, 5);
    kill_process(ask);
    sleep_seconds(2);
    EXPECT_EQ(read_file(status), "0\n") << "it ran again under the locker";
    EXPECT_TRUE(keyboard_held_elsewhere(display)) << "the locker let go";
}

INSTANTIATE_TEST_SUITE_P(servers, idle,
                         testing::Values(screen_case{xvfb_640}, screen_case{xorg_two}), case_name);

struct lock_case {
    screen_case screen;
    lock_trigger trigger;
    locker with;
};

std::string lock_name(const lock_case &c)
{
    static const char *const triggers[] = {"session_lock", "sleep", "screen_saver_on",
                                           "as_notifier"};
    static const char *const lockers[] = {"i3lock", "slock", "xscreensaver"};
    return case_name({c.screen, 0}) + "_" + triggers[static_cast<int>(c.trigger)] + "_" +
           lockers[static_cast<int>(c.with)];
}

void PrintTo(const lock_case &c, std::ostream *out)
{
    *out << lock_name(c);
}

const server_setup &server_of(const lock_case &c)
{
    return c.screen.server;
}

class locking : public on_server<lock_case>
{
  protected:
    void SetUp() override
    {
        on_server<lock_case>::SetUp();
        const std::string why = cannot_lock(GetParam().with);
        if (!IsSkipped() && !why.empty())
            GTEST_SKIP() << why;
    }
};

// a locker gives up when another client holds the keyboard: i3lock after 2.5
// s, slock after 0.6 s; one still there after this long holds it
constexpr double locker_gives_up = 3;

// the session starts its locker at the moment the program hears of the lock,
// so the program lets go of the keyboard and pointer at once and ends as
// after a move; starting it was no input, so the idle watchers were not reset
TEST_P(locking, the_locker_started_then_holds_over_the_desktop_as_it_was)
{
    const lock_case &c = GetParam();
    session run(c.screen.server);
    xserver &server = run.server;
    Display *display = server.display;
    start_system_bus(server);
    // where a monitor stays under it: a switch that takes the monitor away
    // from under the pointer makes the server move it, which counts as input
    if (c.screen.pointer_x >= 0)
        move_pointer_to(display, c.screen.pointer_x, c.screen.pointer_y);
    const desktop before = prepare_desktop(server);
    const bool as_notifier = c.trigger == lock_trigger::notifier;
    const std::string err = server.dir + "/stderr";
    // as the README has it: the screen saver's timeout starts it, its cycle the locker
    if (as_notifier)
        set_screen_saver(display, 2, 2);
    start_lock_watch(
        server, c.with,
        as_notifier ? write_script(server.dir + "/notifier", "exec " + cubesaver_path + " 2>" + err)
                    : "");
    // so that a reset of the idle time shows
    sleep_seconds(1);
    const idle_state idle_before = idle_now(display);
    if (!as_notifier)
        run.child = spawn(cubesaver_path, server.name, {}, stderr_mode::file, {server.system_bus});
    ASSERT_TRUE(wait_for_picture(display, 20)) << "nothing drawn on the screen";
    const screenshot shot = read_picture(display);
    const idle_state idle_after = idle_now(display);
    RecordProperty("idle_before", std::to_string(idle_before.seconds));
    RecordProperty("idle_after", std::to_string(idle_after.seconds));
    EXPECT_GE(idle_after.seconds, idle_before.seconds) << "starting it counted as input";
    EXPECT_EQ(idle_after.saver_on, as_notifier) << "starting it turned the screen saver off";

    const double pulled = now_seconds();
    pull_trigger(server, c.trigger);
    if (as_notifier) {
        // until the cycle, the saver that started it stays on
        bool stayed_on = true;
        for (double end = now_seconds() + 10; program_window_shown(display) && now_seconds() < end;
             sleep_seconds(0.02))
            stayed_on = stayed_on && idle_now(display).saver_on;
        EXPECT_TRUE(stayed_on) << "the screen saver went off while it ran";
        EXPECT_EQ(read_file(err), "");
    } else {
        const int status = wait_exit(run.child, 5);
        ASSERT_NE(status, -1) << "still running after the lock";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
        RecordProperty("seconds_to_exit", std::to_string(now_seconds() - pulled));
        EXPECT_EQ(read_file(run.child.err_path), "");
    }

    // the locker the session started took its grabs and stays
    if (c.with != locker::xscreensaver) {
        std::vector<pid_t> started;
        for (double end = now_seconds() + 10; started.empty() && now_seconds() < end;
             sleep_seconds(0.02))
            started = lockers_started(server);
        ASSERT_EQ(started.size(), 1u) << "xss-lock started no locker, or more than one";
        for (double end = now_seconds() + locker_gives_up; now_seconds() < end; sleep_seconds(0.05))
            ASSERT_EQ(kill(started[0], 0), 0) << "the locker gave up";
    } else {
        sleep_seconds(locker_gives_up);
    }
    EXPECT_TRUE(keyboard_held_elsewhere(display)) << "no locker holds the keyboard";
    // the screen saver hides every window until the person comes back
    if (idle_now(display).saver_on)
        nudge_pointer(server.input, 1, 0);
    for (double end = now_seconds() + 5;
         !locker_on_top(display, shot.left, shot.top) && now_seconds() < end; sleep_seconds(0.05))
        ;
    EXPECT_TRUE(locker_on_top(display, shot.left, shot.top)) << "the locker is not on top";
    expect_desktop(server, before);
}

INSTANTIATE_TEST_SUITE_P(
    servers, locking,
    testing::Values(lock_case{{xvfb_640}, lock_trigger::session_lock, locker::i3lock},
                    lock_case{{xvfb_640}, lock_trigger::sleep, locker::slock},
                    lock_case{{xvfb_640}, lock_trigger::screen_saver, locker::i3lock},
                    lock_case{{xvfb_640}, lock_trigger::notifier, locker::slock},
                    // the pointer outside the centred picture, where nothing may pull it in
                    lock_case{{xvfb_larger, 10, 10}, lock_trigger::session_lock, locker::slock},
                    lock_case{{xvfb_larger, 10, 10}, lock_trigger::notifier, locker::i3lock},
                    lock_case{{xorg_24}, lock_trigger::session_lock, locker::slock},
                    lock_case{{xorg_24}, lock_trigger::sleep, locker::i3lock},
                    lock_case{{xorg_24}, lock_trigger::screen_saver, locker::slock},
                    lock_case{{xorg_24}, lock_trigger::notifier, locker::i3lock},
                    lock_case{{xorg_24}, lock_trigger::session_lock, locker::xscreensaver},
                    lock_case{{xorg_two, 300, 300}, lock_trigger::session_lock, locker::i3lock},
                    lock_case{{xorg_two, 300, 300}, lock_trigger::screen_saver, locker::i3lock},
                    lock_case{{xorg_two, 300, 300}, lock_trigger::notifier, locker::slock},
                    lock_case{{xorg_two, 300, 300}, lock_trigger::sleep, locker::xscreensaver},
                    lock_case{{xorg_openbox}, lock_trigger::session_lock, locker::i3lock},
                    lock_case{{xorg_openbox}, lock_trigger::notifier, locker::slock}),
    [](const testing::TestParamInfo<lock_case> &info) { return lock_name(info.param); });

// what stops it from outside: a signal, or another client destroying its window
constexpr int window_destroyed = 0;

struct stop_case {
    server_setup server;
    int signal; // or window_destroyed
};

std::string stop_name(const stop_case &c)
{
    return describe(c.server) + "_" +
           (c.signal == window_destroyed ? "window_destroyed" : sigabbrev_np(c.signal));
}

void PrintTo(const stop_case &c, std::ostream *out)
{
    *out << stop_name(c);
}

const server_setup &server_of(const stop_case &c)
{
    return c.server;
}

class stopping : public on_server<stop_case>
{
};

// a signal kills it with that same signal, however it falls against the
// library's lock; a window destroyed under it is a failure: status 1 and one
// line, as on any other failure; it gives the display back either way
TEST_P(stopping, gives_the_display_back_and_ends_as_the_cause_says)
{
    const int signal = GetParam().signal;
    // a whole desktop session takes seconds to start, and what it adds is not
    // in the signal's timing
    const bool session = is_desktop_session(GetParam().server.wm);
    const int attempts = signal == window_destroyed ? 10 : session ? 2 : 5;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        SCOPED_TRACE(testing::Message() << "attempt " << attempt);
        // with cores allowed, as a user's shell may allow them, a quit must
        // still leave none
        running run({GetParam().server}, {}, true);
        sleep_seconds(0.05 * (attempt % 5));
        if (signal == window_destroyed)
            destroy_program_window(run.server.display);
        else
            kill(run.child.pid, signal);
        const int status = wait_exit(run.child, 10);
        ASSERT_NE(status, -1) << "still running";
        EXPECT_FALSE(WIFSIGNALED(status) && WCOREDUMP(status)) << "it dumped core";
        if (signal == window_destroyed) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "wait status " << status;
            const std::string err = read_file(run.child.err_path);
            EXPECT_TRUE(is_failure_line(err, "cubesaver: lost its window: ")) << err;
            expect_desktop(run.server, run.before);
        } else {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal)
                << "wait status " << status;
            expect_display_given_back(run);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    servers, stopping,
    testing::Values(stop_case{xorg_24, SIGTERM}, stop_case{xorg_24, SIGINT},
                    stop_case{xorg_16, SIGQUIT}, stop_case{xorg_16, SIGHUP},
                    stop_case{xorg_two, SIGTERM}, stop_case{xorg_two, SIGHUP},
                    stop_case{xorg_offset, SIGTERM}, stop_case{xorg_offset, SIGHUP},
                    stop_case{xorg_portrait, SIGTERM}, stop_case{xorg_scaled, SIGHUP},
                    stop_case{xorg_portrait_and_scaled, SIGTERM},
                    stop_case{xorg_portrait_first, SIGINT}, stop_case{xvfb_640, SIGTERM},
                    stop_case{xvfb_640, SIGHUP}, stop_case{sway, SIGTERM}, stop_case{kwin, SIGTERM},
                    stop_case{gnome, SIGTERM}, stop_case{xorg_xfwm4, SIGTERM},
                    stop_case{xorg_two_openbox, SIGHUP}, stop_case{xorg_i3, SIGTERM},
                    stop_case{xorg_two_mutter, SIGTERM}, stop_case{xorg_kwin, SIGHUP},
                    stop_case{xorg_mate, SIGTERM}, stop_case{xorg_two_mate, SIGHUP},
                    stop_case{xorg_lxqt, SIGTERM}, stop_case{xorg_two_lxqt, SIGHUP},
                    stop_case{xorg_cinnamon, SIGTERM}, stop_case{xorg_two_cinnamon, SIGTERM},
                    stop_case{xvfb_larger, window_destroyed}, stop_case{xorg_24, window_destroyed},
                    stop_case{xorg_two, window_destroyed}),
    [](const testing::TestParamInfo<stop_case> &info) { return stop_name(info.param); });

TEST(lost_server, ends_it_promptly_with_status_1_and_its_one_line)
{
    running run({xvfb_640});
    const std::string line =
        "cubesaver: lost the X server: the connection to " + run.server.name + " broke\n";
    stop_xserver(run.server);
    const int status = wait_exit(run.child, 5);
    ASSERT_NE(status, -1) << "still running without its server";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "wait status " << status;
    EXPECT_EQ(read_file(run.child.err_path), line);
}

// what makes set-up fail
enum class cause { no_display, unreachable_display, small_screen, keyboard_grabbed, no_system };

struct failure_case {
    cause why;
    stderr_mode err;
    const char *line; // the start of the one line it writes
};

std::string failure_name(const failure_case &c)
{
    static const char *const causes[] = {"no_display", "unreachable_display", "small_screen",
                                         "keyboard_grabbed", "no_system"};
    static const char *const modes[] = {"", "_stderr_closed", "_stderr_broken_pipe"};
    return std::string(causes[static_cast<int>(c.why)]) + modes[static_cast<int>(c.err)];
}

void PrintTo(const failure_case &c, std::ostream *out)
{
    *out << failure_name(c);
}

class failure : public testing::TestWithParam<failure_case>
{
};

// a failing set-up exits 1 within seconds, however stderr is, and leaves no window
TEST_P(failure, exits_1_with_one_line_and_leaves_no_window)
{
    const failure_case &c = GetParam();
    const server_setup server =
        c.why == cause::small_screen ? server_setup{server_kind::xvfb, 320, 240, 16} : xvfb_640;
    session run(server);
    std::string display = run.server.name;
    std::vector<std::string> env;
    Display *grab = nullptr;
    std::string home;
    if (c.why == cause::no_display)
        display = "";
    if (c.why == cause::unreachable_display)
        display = ":65000";
    if (c.why == cause::keyboard_grabbed)
        grab = grab_keyboard(run.server.name);
    if (c.why == cause::no_system) {
        // the library's own configuration asks for no system driver
        home = run.server.dir + "/home";
        mkdir(home.c_str(), 0700);
        std::ofstream(home + "/allegro.cfg") << "[system]\nsystem = NONE\n";
        env.push_back("HOME=" + home);
    }
    run.child = spawn(cubesaver_path, display, {}, c.err, env);
    const int status = wait_exit(run.child, 20);
    if (grab)
        close_display(grab);
    ASSERT_NE(status, -1) << "still running";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "wait status " << status;
    EXPECT_FALSE(program_window_shown(run.server.display));
    EXPECT_EQ(read_file(run.child.out_path), "");
    if (c.err == stderr_mode::file) {
        EXPECT_TRUE(is_failure_line(read_file(run.child.err_path), c.line))
            << read_file(run.child.err_path);
    }
}

std::string failure_case_name(const testing::TestParamInfo<failure_case> &info)
{
    return failure_name(info.param);
}

INSTANTIATE_TEST_SUITE_P(
    causes, failure,
    testing::Values(
        failure_case{cause::no_display, stderr_mode::file,
                     "cubesaver: cannot start the allegro "
                     "library: no system driver could"},
        failure_case{cause::unreachable_display, stderr_mode::file, "cubesaver: cannot start "},
        failure_case{cause::small_screen, stderr_mode::file,
                     "cubesaver: cannot set the 640x480 16-bit full-screen mode: the screen is "
                     "only 320x240"},
        failure_case{cause::keyboard_grabbed, stderr_mode::file, grab_line},
        failure_case{cause::no_system, stderr_mode::file,
                     "cubesaver: cannot install the keyboard driver: "},
        failure_case{cause::small_screen, stderr_mode::closed, ""},
        failure_case{cause::keyboard_grabbed, stderr_mode::closed, ""},
        failure_case{cause::small_screen, stderr_mode::broken_pipe, ""},
        failure_case{cause::keyboard_grabbed, stderr_mode::broken_pipe, ""}),
    failure_case_name);

} // namespace
