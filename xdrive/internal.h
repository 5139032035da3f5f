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

} // namespace xdrive_internal
