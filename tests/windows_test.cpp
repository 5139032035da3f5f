// cubesaver.exe run under Wine: on an Xvfb, and on Xorg, where Wine switches the mode
// script/test-windows sets CUBESAVER_EXE to the .exe, CUBESAVER_WINE to the wine
// that runs it, and WINEPREFIX
#include "xdrive.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

namespace
{

// the mode once it is the wanted one, or the last seen at the deadline
mode wait_for_mode(Display *display, mode wanted, double seconds)
{
    mode seen = current_mode(display);
    for (double end = now_seconds() + seconds;
         (seen.width != wanted.width || seen.height != wanted.height) && now_seconds() < end;) {
        sleep_seconds(0.05);
        seen = current_mode(display);
    }
    return seen;
}

class wine : public testing::TestWithParam<server_setup>
{
};

TEST_P(wine, draws_the_model_with_the_windows_rand_and_a_move_ends_it)
{
    const char *exe = std::getenv("CUBESAVER_EXE");
    ASSERT_NE(exe, nullptr) << "CUBESAVER_EXE names no .exe";
    const std::string why = cannot_run(GetParam());
    if (!why.empty())
        GTEST_SKIP() << why;
    session run(GetParam());
    Display *display = run.server.display;
    const mode desktop = current_mode(display);
    run.child = spawn_wine(exe, run.server.name);
    ASSERT_TRUE(wait_for_red(display, 40))
        << "no cube on the screen; wine said: " << read_file(run.child.err_path);
    const mode during = wait_for_mode(display, {picture_width, picture_height}, 10);
    EXPECT_EQ(during.width, picture_width);
    EXPECT_EQ(during.height, picture_height);

    const auto positions = msvcrt_positions(20 * 240);
    double t1, t2;
    const int k1 = stamps_on_screen(display, positions, t1);
    EXPECT_GE(k1, 0) << "the first picture matches no number of stamps";
    int k2 = k1;
    for (double end = now_seconds() + 10; k2 <= k1 + 120 && now_seconds() < end;)
        k2 = stamps_on_screen(display, positions, t2);
    EXPECT_GT(k2, k1) << "the later pictures match no later number of stamps";
    RecordProperty("stamps_per_second", std::to_string((k2 - k1) / (t2 - t1)));

    nudge_pointer(display, 1, 0);
    // wine takes a second or two to take a process down
    const int status = wait_exit(run.child, 20);
    EXPECT_NE(status, -1) << "still running after the move";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    // wine's desktop process puts the mode back in its own time
    const mode after = wait_for_mode(display, desktop, 10);
    EXPECT_EQ(after.width, desktop.width);
    EXPECT_EQ(after.height, desktop.height);
}

INSTANTIATE_TEST_SUITE_P(servers, wine,
                         testing::Values(server_setup{server_kind::xvfb, 640, 480, 16},
                                         server_setup{server_kind::xorg, 1024, 768, 16}),
                         [](const testing::TestParamInfo<server_setup> &info) {
                             return describe(info.param);
                         });

} // namespace
