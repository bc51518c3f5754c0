// Process, line and socket helpers, and the readers of CPU time and memory.
#include "bench.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace bench {

namespace {

// A fixed array: the signal handler reads it.
std::array<pid_t, 1024> g_started{};

void
stop_started() {
    for (const pid_t pid : g_started)
        if (pid > 0)
            kill(pid, SIGTERM);
}

extern "C" void
on_signal(int) {
    stop_started();
    _exit(130);
}

sockaddr_in
loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

void
replace_all(std::string& s, const std::string& from, const std::string& to) {
    if (from.empty())
        return;
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
}

// Calls f with the path of every thread's directory under /proc/PID/task.
template <typename F>
void
each_task(const std::string& pid, F f) {
    const std::string base = "/proc/" + pid + "/task/";
    DIR* d = opendir(base.c_str());
    while (const dirent* e = d ? readdir(d) : nullptr)
        if (e->d_name[0] != '.')
            f(base + e->d_name);
    if (d)
        closedir(d);
}

// On-CPU nanoseconds of every thread of a process: the exact sum behind
// utime+stime, finer than clock ticks.
double
tasks_ns(const std::string& pid) {
    double ns = 0;
    each_task(pid, [&ns](const std::string& task) {
        unsigned long long t = 0;
        if (FILE* f = std::fopen((task + "/schedstat").c_str(), "r")) {
            ns += std::fscanf(f, "%llu", &t) == 1 ? static_cast<double>(t) : 0;
            std::fclose(f);
        }
    });
    return ns;
}

// The first number after `key` in a /proc file of "Key: value" lines.
double
proc_value(const std::string& path, const char* key) {
    double v = 0;
    FILE* f = std::fopen(path.c_str(), "r");
    std::array<char, 256> line;
    const std::size_t n = std::strlen(key);
    while (f && std::fgets(line.data(), line.size(), f))
        if (std::strncmp(line.data(), key, n) == 0) {
            v = std::strtod(line.data() + n, nullptr);
            break;
        }
    if (f)
        std::fclose(f);
    return v;
}

} // namespace

[[noreturn]] void
die(const std::string& what) {
    std::fprintf(stderr, "kolvd_bench: %s: %s\n", what.c_str(), std::strerror(errno));
    stop_started();
    std::exit(1);
}

void
install_signal_handlers() {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
}

// Also in DIR/pids, so the calling script can stop them if we die.
void
track(const Options& o, pid_t pid) {
    const auto slot =
        std::find_if(g_started.begin(), g_started.end(), [](pid_t p) { return p <= 0; });
    if (slot == g_started.end())
        die("more than " + std::to_string(g_started.size()) + " processes");
    *slot = pid;
    if (FILE* f = std::fopen((o.dir + "/pids").c_str(), "a")) {
        std::fprintf(f, "%d\n", static_cast<int>(pid));
        std::fclose(f);
    }
}

// A stopped pid may be reused by someone else's process.
void
untrack(pid_t pid) {
    std::replace(g_started.begin(), g_started.end(), pid, pid_t{0});
}

double
since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

bool
ready(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    return poll(&p, 1, ms) > 0 && (p.revents & events) != 0;
}

void
drain(int fd) {
    std::array<char, 4096> sink;
    for (int i = 0; i < 1000 && ready(fd, POLLIN, 20) && read(fd, sink.data(), 4096) > 0; ++i) {
    }
}

void
pause_for(double seconds) {
    const auto whole = static_cast<time_t>(seconds);
    timespec t{whole, static_cast<long>((seconds - static_cast<double>(whole)) * 1e9)};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

bool
in_path(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::string
join(const Strings& args) {
    std::string s;
    for (const std::string& a : args)
        s += (s.empty() ? "" : " ") + a;
    return s;
}

std::string
generic(const Options& o, const Relay& r, std::string text) {
    replace_all(text, o.baseline, "OLD_KOLVD");
    replace_all(text, o.dir, "$TMP");
    replace_all(text, r.slave_path, "/dev/pts/N");
    if (r.port > 0)
        replace_all(text, std::to_string(r.port), "PORT");
    return text;
}

pid_t
spawn(const Options& o, const Strings& args) {
    const std::string out = o.dir + "/" + args[0].substr(args[0].rfind('/') + 1) + ".out";
    const pid_t pid = fork();
    if (pid == 0) {
        // A session of its own, as kolvd makes itself: with autogroup
        // scheduling a session is a task group, and a relay sharing ours would
        // be scheduled unlike kolvd.
        setsid();
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// A listener on an unused loopback port; returns the port.
int
listen_any(int& fd) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        die("listen");
    return ntohs(a.sin_port);
}

int
free_port() {
    int fd = -1;
    const int port = listen_any(fd);
    close(fd);
    return port;
}

// Waits until something listens on the port, without connecting to it.
bool
listening(int port) {
    for (int i = 0; i < 2500; ++i, usleep(2000)) {
        FILE* f = std::fopen("/proc/net/tcp", "r");
        std::array<char, 256> line;
        bool found = false;
        while (f && !found && std::fgets(line.data(), line.size(), f)) {
            unsigned p = 0, st = 0;
            found = std::sscanf(line.data(), " %*d: %*x:%x %*x:%*x %x", &p, &st) == 2 &&
                    static_cast<int>(p) == port && st == 0x0A;
        }
        if (f)
            std::fclose(f);
        if (found)
            return true;
    }
    return false;
}

void
open_pty(Relay& r) {
    r.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (r.master < 0 || grantpt(r.master) != 0 || unlockpt(r.master) != 0)
        die("posix_openpt");
    r.slave_path = ptsname(r.master);
    r.slave = open(r.slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (r.slave < 0)
        die("open " + r.slave_path);
    for (const int fd : {r.slave, r.master}) {
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
}

void
close_pty(Relay& r) {
    for (int* fd : {&r.master, &r.slave, &r.listen_fd}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

Link
open_link(const Relay& r) {
    Link l{-1, r.master, false};
    if (r.kind == Kind::pty) {
        l.client = open(r.slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        return l;
    }
    l.client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = loopback(r.port);
    if (connect(l.client, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        close(l.client);
        l.client = -1;
        return l;
    }
    const int one = 1;
    setsockopt(l.client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fcntl(l.client, F_SETFL, O_NONBLOCK);
    if (r.kind == Kind::tcp) {
        l.device = accept4(r.listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        l.own_device = true;
        setsockopt(l.device, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return l;
}

void
close_link(const Link& l) {
    close(l.client);
    if (l.own_device)
        close(l.device);
}

// One byte client -> relay -> device, echoed back to the client.
bool
echo_once(const Link& l) {
    char b = 'k';
    return write(l.client, &b, 1) == 1 && ready(l.device, POLLIN, 1000) &&
           read(l.device, &b, 1) == 1 && write(l.device, &b, 1) == 1 &&
           ready(l.client, POLLIN, 1000) && read(l.client, &b, 1) == 1;
}

namespace {

// The processes and their children: socat relays in a child per client.
Strings
family(const std::vector<pid_t>& pids) {
    Strings all;
    for (const pid_t pid : pids)
        all.push_back(std::to_string(pid));
    DIR* d = opendir("/proc");
    while (const dirent* e = d ? readdir(d) : nullptr) {
        std::array<char, 512> stat{};
        FILE* f = std::isdigit(static_cast<unsigned char>(e->d_name[0]))
                      ? std::fopen(("/proc/" + std::string(e->d_name) + "/stat").c_str(), "r")
                      : nullptr;
        if (!f)
            continue;
        const bool got = std::fread(stat.data(), 1, stat.size() - 1, f) > 0;
        std::fclose(f);
        const char* end = std::strrchr(stat.data(), ')'); // the name may hold anything
        int ppid = 0;
        if (got && end && std::sscanf(end + 2, "%*c %d", &ppid) == 1 && ppid > 0 &&
            std::find(pids.begin(), pids.end(), ppid) != pids.end())
            all.push_back(e->d_name);
    }
    if (d)
        closedir(d);
    return all;
}

} // namespace

double
cpu_ns(const std::vector<pid_t>& pids) {
    double ns = 0;
    for (const std::string& pid : family(pids))
        ns += tasks_ns(pid);
    return ns;
}

// Every time a thread was switched out: each is one wake-up.
unsigned long long
context_switches(const std::vector<pid_t>& pids) {
    double n = 0;
    for (const std::string& pid : family(pids))
        each_task(pid, [&n](const std::string& task) {
            n += proc_value(task + "/status", "voluntary_ctxt_switches:") +
                 proc_value(task + "/status", "nonvoluntary_ctxt_switches:");
        });
    return static_cast<unsigned long long>(n);
}

double
pss_kib(pid_t pid) {
    return proc_value("/proc/" + std::to_string(pid) + "/smaps_rollup", "Pss:");
}

double
peak_rss_kib(pid_t pid) {
    return proc_value("/proc/" + std::to_string(pid) + "/status", "VmHWM:");
}

double
quantile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

std::string
fixed(double v, int decimals) {
    std::array<char, 32> s{};
    std::snprintf(s.data(), s.size(), "%.*f", decimals, v);
    return s.data();
}

void
relay_columns(const std::vector<Relay>& rs) {
    for (const Relay& r : rs)
        std::printf(" | %s", r.name.c_str());
    std::printf(" |\n|---");
    for (std::size_t i = 0; i < rs.size(); ++i)
        std::printf("|---");
    std::printf("|\n");
}

std::string
ratio_cell(double num, double den) {
    return den > 0 && num > 0 ? fixed(num / den, 2) : "n/a";
}

double
paired_ratio(const std::vector<double>& num, const std::vector<double>& den) {
    std::vector<double> r;
    for (std::size_t i = 0; i < std::min(num.size(), den.size()); ++i)
        if (num[i] > 0 && den[i] > 0)
            r.push_back(num[i] / den[i]);
    return quantile(r, 0.5);
}

const char*
met(bool ok) {
    return ok ? "yes" : "**no**";
}

// Returns how many descriptors may be open now, after asking for `wanted`.
int
raise_open_files(int wanted) {
    rlimit l{};
    getrlimit(RLIMIT_NOFILE, &l);
    const auto want = static_cast<rlim_t>(wanted);
    if (l.rlim_cur < want) {
        l.rlim_cur = l.rlim_max == RLIM_INFINITY ? want : std::min(want, l.rlim_max);
        setrlimit(RLIMIT_NOFILE, &l);
        getrlimit(RLIMIT_NOFILE, &l);
    }
    return l.rlim_cur > 1000000 ? 1000000 : static_cast<int>(l.rlim_cur);
}

// Pseudo-terminals that can still be opened under kernel.pty.max.
int
free_ptys() {
    long max = 4096, used = 0;
    if (FILE* f = std::fopen("/proc/sys/kernel/pty/max", "r")) {
        if (std::fscanf(f, "%ld", &max) != 1)
            max = 4096;
        std::fclose(f);
    }
    if (FILE* f = std::fopen("/proc/sys/kernel/pty/nr", "r")) {
        if (std::fscanf(f, "%ld", &used) != 1)
            used = 0;
        std::fclose(f);
    }
    return static_cast<int>(std::max(0L, max - used));
}

} // namespace bench
