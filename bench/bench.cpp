// cubesaver measured from outside on private Xvfb servers, beside the library's floor
// usage: bench [--quick] [--json FILE]
#include "xdrive.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>

namespace
{

const std::string program = CUBESAVER_PATH;
const std::string floor_program = FLOOR_PATH;
const std::string upload_counter = COUNT_UPLOADS_PATH;
constexpr double ticks_per_second = 120;
constexpr double frame_pixels = picture_width * picture_height;

struct settings {
    double window;       // the long window, for the program idle
    double short_window; // for the other windows
    int runs;            // of each windowed measurement
    int latency_runs;    // of exit latency and start-up
};

// one run's figures, by name; a run measures only some of them
using sample = std::map<std::string, double>;

// two busy processes beside the one measured, for as long as this lives
struct cpu_load {
    std::vector<pid_t> hogs;
    explicit cpu_load(bool on)
    {
        for (int i = 0; on && i < 2; ++i) {
            const pid_t pid = fork();
            if (pid == 0)
                for (volatile unsigned spin = 0;; spin = spin + 1) {
                }
            hogs.push_back(pid);
        }
    }
    ~cpu_load()
    {
        for (pid_t pid : hogs) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

double cpu_seconds(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 0; i < 13 && fields >> field; ++i)
        if (i >= 11)
            ticks += std::stod(field); // utime and stime
    return ticks / sysconf(_SC_CLK_TCK);
}

// a line of /proc/PID/status, in MiB
double status_mib(pid_t pid, const std::string &key)
{
    std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key + ":", 0) == 0)
            return std::stod(line.substr(key.size() + 1)) / 1024;
    return NAN;
}

struct run_options {
    std::string path{};
    std::vector<std::string> args{};
    double window = 0;                   // 0: start it and end it, nothing between
    std::optional<stamp_shape> stamps{}; // what to count on the screen, if anything
    bool loaded = false;
    bool move = true; // end it with a move, or else kill it
};

// pixels uploaded by the preloaded counter, in a file mapped here too
struct uploads {
    std::string path = "/tmp/cubesaver-uploads-XXXXXX";
    std::atomic<uint64_t> *count = nullptr;
    uploads()
    {
        const int fd = mkstemp(path.data());
        if (fd < 0 || ftruncate(fd, sizeof(uint64_t)) != 0)
            throw std::runtime_error("cannot make the upload counter");
        void *p = mmap(nullptr, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        if (p == MAP_FAILED)
            throw std::runtime_error("cannot map the upload counter");
        count = static_cast<std::atomic<uint64_t> *>(p);
    }
    ~uploads()
    {
        munmap(count, sizeof(uint64_t));
        unlink(path.c_str());
    }
};

sample run_once(const run_options &run)
{
    sample figures;
    session state({server_kind::xvfb, 640, 480, 16});
    const xserver &server = state.server;
    const cpu_load load(run.loaded);
    uploads uploaded;
    setenv("CUBESAVER_UPLOADS", uploaded.path.c_str(), 1);
    setenv("LD_PRELOAD", upload_counter.c_str(), 1);
    const double spawned = now_seconds();
    state.child = spawn(run.path, server.name, run.args);
    process &child = state.child;
    unsetenv("LD_PRELOAD");
    if (!wait_for_red(server.display, 20))
        throw std::runtime_error(run.path + ": nothing red on the screen");
    figures["startup_ms"] = (now_seconds() - spawned) * 1000;

    if (run.window > 0) {
        const auto positions = glibc_positions(static_cast<int>((run.window + 30) * 240));
        const auto count = [&](double &when) {
            when = now_seconds();
            return run.stamps ? stamps_on_screen(server.display, positions, when, *run.stamps) : 0;
        };
        double t1, t2;
        const int k1 = count(t1);
        const uint64_t pixels1 = uploaded.count->load();
        const double cpu1 = cpu_seconds(child.pid);
        const double rss1 = status_mib(child.pid, "VmRSS");
        usleep(static_cast<useconds_t>(run.window * 1e6));
        const int k2 = count(t2);
        const double seconds = t2 - t1;
        if (k1 < 0 || k2 < 0)
            throw std::runtime_error(run.path + ": the screen matches no number of stamps");
        if (run.stamps) {
            figures["stamps_per_s"] = (k2 - k1) / seconds;
            figures["drift_stamps"] = (k2 - k1) - ticks_per_second * seconds;
        }
        figures["presentations_per_s"] =
            (uploaded.count->load() - pixels1) / frame_pixels / seconds;
        figures["cpu_s_per_s"] = (cpu_seconds(child.pid) - cpu1) / seconds;
        figures["peak_rss_mib"] = status_mib(child.pid, "VmHWM");
        figures["rss_growth_mib"] = status_mib(child.pid, "VmRSS") - rss1;
    }

    if (run.move) {
        // the floor takes its snapshot just after its first draw
        usleep(300000);
        nudge_pointer(server.display, 1, 0);
        const double moved = now_seconds();
        const int status = wait_exit(child, 10);
        if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            throw std::runtime_error(run.path + ": no clean exit on a move");
        figures["exit_latency_ms"] = (now_seconds() - moved) * 1000;
    }
    return figures;
}

// from a lock's trigger until a locker's grabs of the keyboard and the pointer
// both succeed, tried without a pause as i3lock tries them
double lock_release_ms(lock_trigger trigger)
{
    session state({server_kind::xvfb, 640, 480, 16});
    xserver &server = state.server;
    start_system_bus(server);
    state.child = spawn(program, server.name, {}, stderr_mode::file, {server.system_bus});
    if (!wait_for_red(server.display, 20))
        throw std::runtime_error(program + ": nothing red on the screen");
    Display *locker = open_connection(server.name);
    usleep(300000);
    const double pulled = now_seconds();
    pull_trigger(server, trigger);
    bool grabbed = false;
    while (!grabbed && now_seconds() < pulled + 5)
        grabbed = grab_keyboard_and_pointer(locker);
    const double released = now_seconds();
    close_display(locker);
    if (!grabbed)
        throw std::runtime_error(program + ": the keyboard and pointer stay held after a lock");
    return (released - pulled) * 1000;
}

// figure name -> samples, for one side of the table
using results = std::map<std::string, std::vector<double>>;

// runs it the given number of times, keeping the named figures
void repeat(results &into, int runs, const run_options &run,
            std::initializer_list<const char *> keep, const std::string &suffix = "")
{
    for (int i = 0; i < runs; ++i) {
        sample figures = run_once(run);
        for (const char *name : keep)
            into[name + suffix].push_back(figures.at(name));
    }
}

struct summary {
    double median = NAN, low = NAN, high = NAN;
};

summary summarize(std::vector<double> values)
{
    if (values.empty())
        return {};
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return {median, values.front(), values.back()};
}

struct row {
    const char *name;
    const char *label;
    bool has_ratio = true; // a ratio of two drifts near zero says nothing
};

const row rows[] = {
    {"stamps_per_s", "stamps per second, idle"},
    {"stamps_per_s_loaded", "stamps per second, 2 CPU hogs beside it"},
    {"drift_stamps", "drift against 120·t over the window (stamps), idle", false},
    {"drift_stamps_loaded", "drift against 120·t over the window (stamps), loaded", false},
    {"presentations_per_s", "presentations per second"},
    {"exit_latency_ms", "exit latency after a 1-pixel move (ms)"},
    {"lock_release_ms", "keyboard and pointer free after logind's Session.Lock (ms)", false},
    {"saver_release_ms", "keyboard and pointer free after the screen saver turns on (ms)", false},
    {"startup_ms", "start-up, spawn to the first cube (ms)"},
    {"peak_rss_mib", "peak RSS (MiB)"},
    {"rss_growth_mib", "RSS growth over the window (MiB)"},
    {"cpu_s_per_s", "CPU seconds per second"},
};

std::string cell(const summary &s)
{
    if (std::isnan(s.median))
        return "–";
    char text[64];
    std::snprintf(text, sizeof text, "%.5g (%.5g – %.5g)", s.median, s.low, s.high);
    return text;
}

std::string machine()
{
    std::istringstream cpuinfo(read_file("/proc/cpuinfo"));
    std::string line, model = "unknown CPU";
    while (std::getline(cpuinfo, line))
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    utsname host;
    uname(&host);
    return model + ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores, Linux " +
           host.release;
}

void report(const results &ours, const results &floor, const settings &set,
            const std::string &json_path)
{
    const std::string host = machine();
    std::printf("Machine: %s. Window %.0f s (others %.0f s), %d runs each, %d for latency "
                "and start-up; median (min – max).\n\n",
                host.c_str(), set.window, set.short_window, set.runs, set.latency_runs);
    std::printf("| figure | cubesaver | floor | ratio |\n|---|---|---|---|\n");
    std::ofstream json(json_path);
    json << "{\n  \"machine\": \"" << host << "\",\n  \"window_s\": " << set.window
         << ",\n  \"runs\": " << set.runs << ",\n  \"figures\": {";
    const char *comma = "";
    for (const row &r : rows) {
        const auto find = [&r](const results &side) {
            const auto it = side.find(r.name);
            return it == side.end() ? summary{} : summarize(it->second);
        };
        const summary a = find(ours), b = find(floor);
        char ratio[32] = "–";
        if (r.has_ratio && !std::isnan(a.median) && !std::isnan(b.median) && b.median != 0)
            std::snprintf(ratio, sizeof ratio, "%.2f", a.median / b.median);
        std::printf("| %s | %s | %s | %s |\n", r.label, cell(a).c_str(), cell(b).c_str(), ratio);
        json << comma << "\n    \"" << r.name << "\": {";
        const char *inner = "";
        for (const auto &[side, s] : {std::pair{"cubesaver", a}, std::pair{"floor", b}}) {
            json << inner << "\"" << side << "\": ";
            if (std::isnan(s.median))
                json << "null";
            else
                json << "{\"median\": " << s.median << ", \"min\": " << s.low
                     << ", \"max\": " << s.high << "}";
            inner = ", ";
        }
        json << "}";
        comma = ",";
    }
    json << "\n  }\n}\n";
    std::printf("\nThe same figures as JSON: %s\n", json_path.c_str());
}

} // namespace

int main(int argc, char **argv)
{
    settings set{60, 60, 3, 10};
    std::string json_path = "bench.json";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0)
            set = {10, 2, 1, 3};
        else if (std::strcmp(argv[i], "--json") == 0 && i + 1 < argc)
            json_path = argv[++i];
        else {
            std::fprintf(stderr, "usage: bench [--quick] [--json FILE]\n");
            return 2;
        }
    }
    try {
        results ours, floor;
        const double idle = set.window, other = set.short_window;
        repeat(ours, set.runs, {program, {}, idle, stamp_shape::cube},
               {"stamps_per_s", "drift_stamps", "presentations_per_s", "cpu_s_per_s",
                "peak_rss_mib", "rss_growth_mib"});
        repeat(ours, set.runs, {program, {}, other, stamp_shape::cube, true},
               {"stamps_per_s", "drift_stamps"}, "_loaded");

        const std::vector<std::string> tick{"tick"};
        // the tick floor never ends by itself
        repeat(floor, set.runs, {floor_program, tick, other, stamp_shape::square, false, false},
               {"stamps_per_s", "drift_stamps"});
        repeat(floor, set.runs, {floor_program, tick, other, stamp_shape::square, true, false},
               {"stamps_per_s", "drift_stamps"}, "_loaded");
        repeat(floor, set.runs, {floor_program, {"present"}, other},
               {"presentations_per_s", "cpu_s_per_s", "peak_rss_mib", "rss_growth_mib"});
        repeat(floor, set.latency_runs, {floor_program, {"watch"}}, {"exit_latency_ms"});
        // start-up by turns, so that both sides meet the machine in the same state
        for (int i = 0; i < set.latency_runs; ++i) {
            repeat(ours, 1, {program}, {"exit_latency_ms", "startup_ms"});
            repeat(floor, 1, {floor_program, {"startup"}, 0, {}, false, false}, {"startup_ms"});
        }
        for (int i = 0; i < set.latency_runs; ++i) {
            ours["lock_release_ms"].push_back(lock_release_ms(lock_trigger::session_lock));
            ours["saver_release_ms"].push_back(lock_release_ms(lock_trigger::screen_saver));
        }
        report(ours, floor, set, json_path);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "bench: %s\n", e.what());
        return 1;
    }
}
