// what the parts of xdrive share among themselves
#pragma once

#include "xdrive.h"

#include <pwd.h>

#include <functional>
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
// starts a server that writes one line to a descriptor it is given, the
// arguments that name the descriptor made by with_fd, and returns the line,
// or "" where none came
std::string line_from_started(xserver &server, const std::vector<std::string> &argv,
                              const std::function<std::vector<std::string>(int fd)> &with_fd,
                              const std::vector<std::string> &env, const std::string &log);
// a connection to the display, waiting for it to take one
Display *open_display(const std::string &name);
// the setup's window manager and its windows on a started server
void start_desktop(xserver &server);
// the user a desktop runs as, or nullptr where there is none
const passwd *desktop_user();
// ends every process of that user
void end_desktop_user();
// why nothing can run as that user here, or ""
std::string cannot_run_as_desktop_user();
// starts argv as that user, with a home and runtime folder of its own in the
// server's folder, the server's display and the extra environment given;
// every process of the user ends with the server
void launch_as_desktop_user(xserver &server, const std::vector<std::string> &argv,
                            const std::vector<std::string> &env, const std::string &log);
// why the window manager cannot run here, or ""
std::string cannot_run_desktop(window_manager wm);
// a python helper from xdrive/ with the extra environment, in a process group
// of its own that ends with the server, once it has said "ok"
helper start_helper(xserver &server, const std::string &script,
                    const std::vector<std::string> &env);
// the helper's answer to one request; what names it in a failure
void tell_helper(const helper &h, const std::string &request, const std::string &what);
void close_helper(helper &h);
// GNOME: why it cannot run here, or ""; its start
std::string cannot_run_gnome();
void start_gnome(xserver &server);

} // namespace xdrive_internal
