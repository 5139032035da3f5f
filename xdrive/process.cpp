// the program and the servers as processes: starting, waiting, ending
#include "internal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace xdrive_internal
{

std::string temp_file()
{
    char path[] = "/tmp/cubesaver-test-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        throw std::runtime_error("mkstemp failed");
    close(fd);
    return path;
}

std::string temp_dir()
{
    char path[] = "/tmp/cubesaver-server-XXXXXX";
    if (!mkdtemp(path))
        throw std::runtime_error("mkdtemp failed");
    return path;
}

[[noreturn]] void exec_child(const std::vector<std::string> &argv,
                             const std::vector<std::string> &env, int keep_fd)
{
    for (int fd = 3; fd < 256; ++fd)
        if (fd != keep_fd)
            close(fd);
    for (const auto &setting : env)
        putenv(const_cast<char *>(setting.c_str()));
    std::vector<char *> args;
    for (const auto &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

pid_t launch(const std::vector<std::string> &argv, const std::vector<std::string> &env, int keep_fd,
             const std::string &log)
{
    const pid_t pid = fork();
    if (pid == 0) {
        // a group of its own, so that stopping it ends whatever it started
        setpgid(0, 0);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        dup2(out, 1);
        dup2(out, 2);
        exec_child(argv, env, keep_fd);
    }
    return pid;
}

std::string line_from_started(xserver &server, const std::vector<std::string> &argv,
                              const std::function<std::vector<std::string>(int fd)> &with_fd,
                              const std::vector<std::string> &env, const std::string &log)
{
    int fds[2];
    if (pipe(fds) != 0)
        throw std::runtime_error("pipe failed");
    std::vector<std::string> all = argv;
    const std::vector<std::string> fd_args = with_fd(fds[1]);
    all.insert(all.begin() + 1, fd_args.begin(), fd_args.end());
    server.pids.push_back(launch(all, env, fds[1], log));
    close(fds[1]);
    std::string line;
    char c;
    pollfd ready{fds[0], POLLIN, 0};
    while (poll(&ready, 1, 30000) == 1 && read(fds[0], &c, 1) == 1 && c != '\n')
        line += c;
    close(fds[0]);
    return line;
}

namespace
{

bool helper_answered(const helper &h)
{
    char reply[3] = {};
    size_t got = 0;
    while (got < sizeof reply) {
        const ssize_t n = read(h.out, reply + got, sizeof reply - got);
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return std::string(reply, sizeof reply) == "ok\n";
}

} // namespace

helper start_helper(xserver &server, const std::string &script, const std::vector<std::string> &env)
{
    int to[2], from[2];
    if (pipe(to) != 0 || pipe(from) != 0)
        throw std::runtime_error("cannot make the pipes to " + script);
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        dup2(to[0], 0);
        dup2(from[1], 1);
        const int log =
            open((server.dir + "/" + script + ".log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        dup2(log, 2);
        exec_child({"/usr/bin/python3", XDRIVE_SOURCE_DIR "/" + script}, env);
    }
    close(to[0]);
    close(from[1]);
    server.pids.push_back(pid);
    const helper h{to[1], from[0]};
    if (!helper_answered(h))
        throw std::runtime_error(
            script + " did not start: " + read_file(server.dir + "/" + script + ".log"));
    return h;
}

void tell_helper(const helper &h, const std::string &request, const std::string &what)
{
    const std::string line = request + "\n";
    if (write(h.in, line.data(), line.size()) != static_cast<ssize_t>(line.size()) ||
        !helper_answered(h))
        throw std::runtime_error(what + " did not take " + request);
}

void close_helper(helper &h)
{
    if (h.in < 0)
        return;
    close(h.in);
    close(h.out);
    h = helper{};
}

} // namespace xdrive_internal

using namespace xdrive_internal;

double now_seconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void sleep_seconds(double seconds)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

process spawn(const std::string &path, const std::string &display,
              const std::vector<std::string> &args, stderr_mode err,
              const std::vector<std::string> &env)
{
    process child{-1, temp_file(), temp_file()};
    int pipe_fds[2] = {-1, -1};
    if (err == stderr_mode::broken_pipe && pipe(pipe_fds) != 0)
        throw std::runtime_error("pipe failed");
    child.pid = fork();
    if (child.pid == 0) {
        if (display.empty())
            unsetenv("DISPLAY");
        else
            setenv("DISPLAY", display.c_str(), 1);
        dup2(open(child.out_path.c_str(), O_WRONLY | O_TRUNC), 1);
        if (err == stderr_mode::file)
            dup2(open(child.err_path.c_str(), O_WRONLY | O_TRUNC), 2);
        else if (err == stderr_mode::broken_pipe)
            dup2(pipe_fds[1], 2);
        else
            close(2);
        std::vector<std::string> argv{path};
        argv.insert(argv.end(), args.begin(), args.end());
        exec_child(argv, env);
    }
    // no reader is left on the pipe
    if (pipe_fds[0] >= 0) {
        close(pipe_fds[0]);
        close(pipe_fds[1]);
    }
    return child;
}

process spawn_wine(const std::string &exe, const std::string &display)
{
    // wine's desktop process stays with the display it started on, so a wine
    // session left from an earlier run on a server now gone must end first
    process stop = spawn("/usr/bin/wineserver", "", {"-k"});
    wait_exit(stop, 20);
    kill_process(stop);
    const char *wine = std::getenv("CUBESAVER_WINE");
    return spawn(wine ? wine : "/usr/bin/wine", display, {exe});
}

int wait_exit(process &child, double seconds)
{
    // a pidfd turns readable the moment the process ends
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, child.pid, 0));
    pollfd ended{fd, POLLIN, 0};
    poll(&ended, 1, static_cast<int>(seconds * 1000));
    close(fd);
    int status;
    if (waitpid(child.pid, &status, WNOHANG) != child.pid)
        return -1;
    child.pid = -1;
    return status;
}

void kill_process(process &child)
{
    if (child.pid > 0) {
        kill(child.pid, SIGKILL);
        waitpid(child.pid, nullptr, 0);
        child.pid = -1;
    }
    unlink(child.out_path.c_str());
    unlink(child.err_path.c_str());
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}
