// cubesaver.exe run under Wine on a private Xvfb: its picture and how it ends
// usage: windows_tests PATH-TO-EXE, with WINEPREFIX set by script/test-windows
#include "support.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

namespace
{

std::string exe;

// a failed assertion returns early; this still ends what the test started
struct wine_run {
    xserver server = start_xserver("640x480x16");
    process child = spawn("/usr/bin/wine", server.name, {exe});
    ~wine_run()
    {
        kill_process(child);
        stop_xserver(server);
    }
};

TEST(wine, draws_the_model_with_the_windows_rand_and_a_move_ends_it)
{
    wine_run run;
    xserver &server = run.server;
    process &child = run.child;
    ASSERT_TRUE(wait_for_red(server.display, 120)) << "no cube on the screen";

    const auto positions = msvcrt_positions(20 * 240);
    double t1, t2;
    const int k1 = stamps_on_screen(server.display, positions, t1);
    sleep(2);
    const int k2 = stamps_on_screen(server.display, positions, t2);
    EXPECT_GE(k1, 0) << "the first picture matches no number of stamps";
    EXPECT_GT(k2, k1) << "the second picture matches no later number of stamps";
    RecordProperty("stamps_per_second", std::to_string((k2 - k1) / (t2 - t1)));

    int x, y;
    pointer_position(server.display, x, y);
    move_pointer(server.display, x + 1, y);
    // wine takes a second or two to take a process down
    const int status = wait_exit(child, 20);
    EXPECT_NE(status, -1) << "still running after the move";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}

} // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: windows_tests PATH-TO-EXE\n");
        return 2;
    }
    exe = argv[1];
    return RUN_ALL_TESTS();
}
