// runs cubesaver once on each kind of X server and prints what a user sees there,
// as the Markdown table in the README
// usage: servers [--exe cubesaver.exe [NOTE] | --no-wine WHY]
// (the .exe runs under Wine as well; NOTE follows the names of its rows)
#include "xdrive.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace
{

const std::string program = CUBESAVER_PATH;

struct row {
    const char *label;
    server_setup server;
    bool wine;
};

const row rows[] = {
    {"Xvfb, 640x480 at 16 bits", {server_kind::xvfb, 640, 480, 16}, false},
    {"Xvfb, 1024x768 at 24 bits", {server_kind::xvfb, 1024, 768, 24}, false},
    {"Xorg (dummy driver switching as real ones do), 1024x768 at 24 bits",
     {server_kind::xorg, 1024, 768, 24},
     false},
    {"Xorg (the same), two 1024x768 monitors side by side, 2048x768 at 24 bits",
     {server_kind::xorg, 2048, 768, 24, monitors::side_by_side},
     false},
    {"Xorg (the same), 1024x768 and a portrait monitor (rotated left) beside it, 1792x1024 at 24 "
     "bits",
     {server_kind::xorg, 1792, 1024, 24, monitors::portrait},
     false},
    {"Xorg (the same), 1024x768 scaled by 1.5 and a plain monitor beside it, 2560x1152 at 16 bits",
     {server_kind::xorg, 2560, 1152, 16, monitors::scaled},
     false},
    {"Xorg with no 640x480 mode, 1024x768 at 24 bits",
     {server_kind::xorg_no_640, 1024, 768, 24},
     false},
    {"Xwayland rootless, weston headless (no seat)", {server_kind::xwayland, 1024, 768, 24}, false},
    {"Xwayland rootless, weston on X11 (a real seat)",
     {server_kind::xwayland_seat, 1024, 768, 24},
     false},
    {"Xwayland rootful, weston headless", {server_kind::xwayland_rootful, 1024, 768, 24}, false},
    {"Xwayland rootless, sway on X11 (a real seat)", {server_kind::sway, 1024, 768, 24}, false},
    {"Xwayland rootless, KWin on X11 (a real seat)", {server_kind::kwin, 1024, 768, 24}, false},
    {"GNOME: Xwayland rootless, mutter's headless native backend (pointer by RemoteDesktop)",
     {server_kind::gnome, 1024, 768, 24},
     false},
    {"Xvfb 1024x768, openbox with picom, its windows",
     {server_kind::xvfb, 1024, 768, 24, monitors::one, window_manager::openbox},
     false},
    {"Xvfb 1024x768, i3 with its bar, its windows",
     {server_kind::xvfb, 1024, 768, 24, monitors::one, window_manager::i3},
     false},
    {"Xorg (switching) 1024x768, xfwm4 with its compositor, its windows",
     {server_kind::xorg, 1024, 768, 24, monitors::one, window_manager::xfwm4},
     false},
    {"Xorg (switching) 1024x768, openbox with picom, its windows",
     {server_kind::xorg, 1024, 768, 16, monitors::one, window_manager::openbox},
     false},
    {"Xorg (switching), two monitors side by side, openbox with picom, its windows",
     {server_kind::xorg, 2048, 768, 24, monitors::side_by_side, window_manager::openbox},
     false},
    {"Xorg (switching) 1024x768, i3 with its bar, its windows",
     {server_kind::xorg, 1024, 768, 24, monitors::one, window_manager::i3},
     false},
    {"Xorg (switching), two monitors side by side, i3 with its bar, its windows",
     {server_kind::xorg, 2048, 768, 24, monitors::side_by_side, window_manager::i3},
     false},
    {"Xorg (switching), two monitors side by side, mutter as X11 window manager, its windows",
     {server_kind::xorg, 2048, 768, 24, monitors::side_by_side, window_manager::mutter},
     false},
    {"Xorg (switching) 1024x768, KWin X11, its windows",
     {server_kind::xorg, 1024, 768, 24, monitors::one, window_manager::kwin},
     false},
    {"Xorg (switching), two monitors side by side, MATE (marco) as a user's session",
     {server_kind::xorg, 2048, 768, 24, monitors::side_by_side, window_manager::mate},
     false},
    {"Xorg (switching), two monitors side by side, LXQt (openbox) as a user's session",
     {server_kind::xorg, 2048, 768, 24, monitors::side_by_side, window_manager::lxqt},
     false},
    {"Xorg (switching) 1024x768, Cinnamon (muffin) as a user's session",
     {server_kind::xorg, 1024, 768, 24, monitors::one, window_manager::cinnamon},
     false},
    {"Wine on Xvfb, 640x480 at 16 bits", {server_kind::xvfb, 640, 480, 16}, true},
    {"Wine on Xorg (switching dummy driver), 1024x768 at 16 bits",
     {server_kind::xorg, 1024, 768, 16},
     true},
};

std::string size(const mode &m)
{
    return std::to_string(m.width) + "x" + std::to_string(m.height);
}

// what the user sees, from the mode, where the window lies and, under a
// compositor with a desktop of its own, how large the cubes are spread there
std::string seen(const row &r, const mode &desktop, const mode &during, const screenshot &shot,
                 const std::string &compositor, size_t monitors_lit)
{
    const server_kind kind = r.server.kind;
    if (shot.left < 0)
        return "no picture";
    if (!compositor.empty())
        return compositor;
    if (kind == server_kind::xwayland || kind == server_kind::xwayland_rootful ||
        kind == server_kind::gnome)
        return "the window at " + std::to_string(shot.left) + "," + std::to_string(shot.top) +
               " of the X screen (no output to look at)";
    if (kind == server_kind::xorg &&
        (during.width != picture_width || during.height != picture_height))
        return "the switch undone at once by the window manager, picture at " +
               std::to_string(shot.left) + "," + std::to_string(shot.top) +
               " of the first monitor, black around it";
    if (during.width != desktop.width || during.height != desktop.height)
        return std::string(monitors_lit > 1 ? "every monitor " : "") + "switched to " +
               size(during) + ", picture at " + std::to_string(shot.left) + "," +
               std::to_string(shot.top);
    if (desktop.width == picture_width && desktop.height == picture_height)
        return "the whole screen";
    return "centred at " + std::to_string(shot.left) + "," + std::to_string(shot.top) +
           ", black around it";
}

// how the compositor shows the picture on its own desktop
std::string on_compositor(Display *outer, Display *inner, const server_setup &setup)
{
    bool flashed;
    if (!wait_for_compositor_picture(outer, inner, setup.width, setup.height, flashed))
        return "not shown on the compositor's desktop";
    const desktop_view view = look_at_desktop(outer, setup.width, setup.height);
    const std::string note = flashed ? "shown only once another client maps a window; then " : "";
    return note + (view.black_extent.width > picture_width + 30 ? "scaled" : "not scaled") +
           ", the picture fills " + size(view.black_extent) + " of the compositor's desktop";
}

void run_row(const row &r, const std::string &exe, const std::string &note,
             const std::string &no_wine)
{
    const std::string label = r.wine && !note.empty() ? r.label + (" (" + note + ")") : r.label;
    if (r.wine && exe.empty()) {
        if (!no_wine.empty())
            std::printf("| %s | not run: %s | | | | |\n", label.c_str(), no_wine.c_str());
        return;
    }
    const std::string why = cannot_run(r.server);
    if (!why.empty()) {
        std::printf("| %s | not run: %s | | | | |\n", label.c_str(), why.c_str());
        return;
    }
    session run(r.server);
    Display *display = run.server.display;
    const mode desktop = screen_size(display);
    const std::string layout = monitor_layout(display);
    const std::vector<std::string> windows = window_places(run.server);
    // a person's hand is on the compositor's window before it starts
    if (run.server.input != display)
        move_pointer_to(run.server.input, r.server.width - 24, r.server.height - 68);
    run.child = r.wine ? spawn_wine(exe, run.server.name) : spawn(program, run.server.name);
    if (!wait_for_red(display, r.wine ? 120 : 20)) {
        std::printf("| %s | %s | no cube on the screen | | | |\n", label.c_str(),
                    size(desktop).c_str());
        return;
    }
    const mode during = current_mode(display);
    const size_t monitors_lit = lit_monitors(display).size();
    const screenshot shot = read_picture(display);
    const std::string over = wait_for_nothing_over_picture(display, 2);
    const std::string compositor = run.server.input != display
                                       ? on_compositor(run.server.input, display, r.server)
                                       : std::string();
    const auto positions = r.wine ? msvcrt_positions(20 * 240) : glibc_positions(20 * 240);
    double when;
    const bool equal = stamps_on_screen(display, positions, when) >= 0;
    // a real seat may take the first move as the compositor's hand-over
    int moves = 0, status = -1;
    while (status == -1 && moves < 3) {
        nudge_pointer(run.server, 1, 0);
        ++moves;
        status = wait_exit(run.child, r.wine ? 20 : 5);
    }
    const mode after = screen_size(display);
    const std::string monitors_after =
        monitor_layout(display) == layout ? (monitors_lit > 1 ? ", every monitor in its place" : "")
                                          : ", monitors not as they were";
    const std::vector<std::string> windows_after = wait_for_window_places(run.server, windows, 5);
    const std::string windows_seen = windows.empty()            ? ""
                                     : windows_after == windows ? ", every window in its place"
                                                                : ", windows moved";
    const bool clean = status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::printf("| %s | %s | %s | %s | %s | %s |\n", label.c_str(), size(desktop).c_str(),
                (seen(r, desktop, during, shot, compositor, monitors_lit) +
                 (over.empty() ? "" : "; covered by " + over))
                    .c_str(),
                equal ? "equals the model" : "differs",
                clean ? (moves == 1 ? "ends it, status 0" : "the second ends it, status 0")
                      : "does not end it",
                (size(after) + monitors_after + windows_seen).c_str());
}

} // namespace

int main(int argc, char **argv)
{
    std::string exe, note, no_wine;
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "--exe") == 0) {
        exe = argv[2];
        note = argc == 4 ? argv[3] : "";
    } else if (argc == 3 && std::strcmp(argv[1], "--no-wine") == 0)
        no_wine = argv[2];
    else if (argc != 1) {
        std::fprintf(stderr, "usage: servers [--exe cubesaver.exe [NOTE] | --no-wine WHY]\n");
        return 2;
    }
    std::printf("| server | desktop | what the user sees | picture | a 1-pixel move | "
                "desktop after |\n|---|---|---|---|---|---|\n");
    try {
        for (const row &r : rows)
            run_row(r, exe, note, no_wine);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "servers: %s\n", e.what());
        return 1;
    }
}
