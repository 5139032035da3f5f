// what the parts of xdrive share among themselves
#pragma once

#include "xdrive.h"

#include <string>
#include <vector>

namespace xdrive_internal
{

std::string temp_file();
std::string temp_dir();
// in a child: the extra environment set, every descriptor past the standard
// three closed but the one given, then the program
[[noreturn]] void exec_child(const std::vector<std::string> &argv,
                             const std::vector<std::string> &env, int keep_fd = -1);
// starts a server or compositor, in a process group of its own, with its
// output on /dev/null (or the log)
pid_t launch(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
             int keep_fd = -1, const std::string &log = "/dev/null");
// a connection to the display, waiting for it to take one
Display *open_display(const std::string &name);
// the setup's window manager and its windows on a started server
void start_desktop(xserver &server);
// why the window manager cannot run here, or ""
std::string cannot_run_desktop(window_manager wm);
// GNOME: why it cannot run here, or ""; its start; the hand's requests and
// whether it took one
std::string cannot_run_gnome();
void start_gnome(xserver &server);
void tell_hand(const xserver &server, const std::string &request);
bool hand_answered(const xserver &server);

} // namespace xdrive_internal
