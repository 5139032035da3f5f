// cubesaver run for real on private Xvfb servers: its picture, how it ends, how it fails
#include "support.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

namespace
{

const std::string program = CUBESAVER_PATH;

// the program on a private Xvfb, past set-up
struct running : session {
    running(const std::string &geometry, const std::vector<std::string> &args = {})
        : session(geometry)
    {
        child = spawn(program, server.name, args);
        // the first cube shows once set-up, and so the mouse snapshot, is done
        if (!wait_for_red(server.display, 20))
            ADD_FAILURE() << "no cube on the screen";
    }
};

void expect_clean_exit(running &run)
{
    const int status = wait_exit(run.child, 5);
    ASSERT_NE(status, -1) << "still running after the move";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    EXPECT_EQ(read_file(run.child.out_path), "");
    EXPECT_EQ(read_file(run.child.err_path), "");
}

struct screen_case {
    const char *geometry;
    std::vector<std::string> args;
};

void PrintTo(const screen_case &c, std::ostream *out)
{
    *out << c.geometry << (c.args.empty() ? "" : " with arguments");
}

class picture : public testing::TestWithParam<screen_case>
{
};

TEST_P(picture, equals_the_model_and_grows_at_the_tick_rate)
{
    running run(GetParam().geometry, GetParam().args);
    const auto positions = glibc_positions(20 * 240);
    double t1, t2;
    const int k1 = stamps_on_screen(run.server.display, positions, t1);
    sleep(3);
    const int k2 = stamps_on_screen(run.server.display, positions, t2);
    ASSERT_GE(k1, 0) << "the first picture matches no number of stamps";
    ASSERT_GT(k2, 0) << "the second picture matches no number of stamps";
    const double rate = (k2 - k1) / (t2 - t1);
    RecordProperty("stamps_per_second", std::to_string(rate));
    EXPECT_GT(rate, 60);
    EXPECT_LT(rate, 240);

    // the match covers blocks cut off at both far edges
    bool right = false, bottom = false;
    for (int i = 0; i < k2; ++i) {
        right = right || positions[i].column > picture_width - 30;
        bottom = bottom || positions[i].row > picture_height - 30;
    }
    EXPECT_TRUE(right && bottom);
}

INSTANTIATE_TEST_SUITE_P(screens, picture,
                         testing::Values(screen_case{"640x480x16", {}},
                                         screen_case{"640x480x16", {"--help", "-q", "x y"}},
                                         screen_case{"800x600x24", {}}));

TEST(exit, keys_and_buttons_do_nothing_and_a_move_along_x_ends_it)
{
    running run("640x480x16");
    Display *display = run.server.display;
    press_keys(display, {"Escape", "q", "space", "Return"});
    click_buttons(display, {1, 2, 3});
    ASSERT_EQ(wait_exit(run.child, 1.5), -1) << "a key or a button ended it";

    nudge_pointer(display, 1, 0);
    expect_clean_exit(run);
}

TEST(exit, a_move_along_y_ends_it)
{
    running run("640x480x16");
    nudge_pointer(run.server.display, 0, 1);
    expect_clean_exit(run);
}

// one line, "cubesaver: cannot <what>: <why>", that starts with the given text
bool is_failure_line(const std::string &text, const std::string &start)
{
    const size_t colon = text.find(": ", std::string("cubesaver: ").size());
    // a reason after that colon, and the one newline at the end
    return text.rfind(start, 0) == 0 && colon != std::string::npos && colon + 3 < text.size() &&
           text.find('\n') == text.size() - 1;
}

void expect_failure(process child, const std::string &start)
{
    const int status = wait_exit(child, 20);
    ASSERT_NE(status, -1) << "still running";
    EXPECT_FALSE(WIFSIGNALED(status)) << "signal " << WTERMSIG(status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "wait status " << status;
    EXPECT_TRUE(is_failure_line(read_file(child.err_path), start)) << read_file(child.err_path);
    EXPECT_EQ(read_file(child.out_path), "");
    kill_process(child);
}

TEST(failure, no_reachable_display_exits_1_with_one_line)
{
    expect_failure(spawn(program, ""), "cubesaver: cannot ");
    expect_failure(spawn(program, ":65000"), "cubesaver: cannot ");
}

TEST(failure, a_screen_smaller_than_the_mode_exits_1)
{
    xserver server = start_xserver("320x240x16");
    expect_failure(spawn(program, server.name),
                   "cubesaver: cannot set the 640x480 16-bit full-screen mode: ");
    stop_xserver(server);
}

} // namespace
