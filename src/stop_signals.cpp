// stop signals: noted by the handler, acted on by the main thread, which
// gives the display back and dies of the same signal
#include "stop_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cstdlib>

namespace
{

constexpr int stop_signals[] = {SIGTERM, SIGINT, SIGQUIT, SIGHUP};

// the stop signal that came, or 0
volatile sig_atomic_t received = 0;

void note_signal(int number)
{
    received = number;
}

sigset_t stop_signal_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (int number : stop_signals)
        sigaddset(&set, number);
    return set;
}

} // namespace

// a launcher may start it with a standard stream closed; the x connection
// must never take one, or a failure line would go into the x protocol
void open_standard_streams()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd)
            std::exit(1);
    // a failure line to a closed pipe must still end with status 1
    signal(SIGPIPE, SIG_IGN);
}

// held until our own handler is in, so the library's threads start with
// them blocked and its emergency handler never gets one
void hold_stop_signals()
{
    const sigset_t set = stop_signal_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void catch_stop_signals()
{
    struct sigaction action = {};
    action.sa_handler = note_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int number : stop_signals)
        sigaction(number, &action, nullptr);
    const sigset_t set = stop_signal_set();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void stop_if_signalled(void (*give_back)())
{
    const int number = received;
    if (!number)
        return;
    give_back();
    // a quit must not leave a core file behind; a core handler behind a pipe
    // (systemd-coredump) is not held back by the limit, but by this
    const rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
#ifdef __linux__
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
    signal(number, SIG_DFL);
    raise(number);
    _exit(128 + number);
}
