// Relay benchmark: kolvd, socat and ser2net side by side, each on its own
// pseudo-terminal (the benchmark plays the device on the master), plus two
// floors: the pseudo-terminal alone and loopback TCP alone. Many short rounds,
// interleaved, so a busy machine slows every relay alike. Prints Markdown; the
// pids it starts go to DIR/pids so the calling script can stop them if we die.
#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;
constexpr std::size_t kChunk = 1 << 16;

struct Options {
    std::string kolvd = "kolvd", baseline, dir = "/tmp";
    int rounds = 30, rtt_samples = 300, churn = 100;
    std::size_t bytes = 8u << 20;
};

enum class Kind { kolvd, socat, ser2net, pty, tcp };

struct Relay {
    Kind kind = Kind::tcp;
    std::string name, binary, command, config;
    int master = -1, slave = -1; // the slave stays open: the line never hangs up
    std::string slave_path;
    int port = 0, listen_fd = -1; // listen_fd: the TCP floor's own listener
    pid_t pid = -1;
};

struct Figures {
    std::vector<double> rtt, rtt_all, to_dev, to_client, cpu_to_dev, cpu_to_client, churn;
    unsigned long long lost_to_dev = 0, lost_to_client = 0, churn_failed = 0;
    double rss_kib = 0;
};

std::array<pid_t, 8> g_started{}; // read by the signal handler
std::size_t g_nstarted = 0;

void
stop_started() {
    for (std::size_t i = 0; i < g_nstarted; ++i)
        kill(g_started[i], SIGTERM);
}

extern "C" void
on_signal(int) {
    stop_started();
    _exit(130);
}

[[noreturn]] void
die(const std::string& what) {
    std::fprintf(stderr, "kolvd_bench: %s: %s\n", what.c_str(), std::strerror(errno));
    stop_started();
    std::exit(1);
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

pid_t
spawn(const Options& o, const Strings& args) {
    const std::string out = o.dir + "/" + args[0].substr(args[0].rfind('/') + 1) + ".out";
    const pid_t pid = fork();
    if (pid == 0) {
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

sockaddr_in
loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
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

// Waits until something listens on the port, without connecting to it.
bool
listening(int port) {
    for (int i = 0; i < 500; ++i, usleep(10000)) {
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

// kolvd detaches; its pid comes from the lock file in a private lock directory.
pid_t
start_kolvd(const Options& o, Relay& r) {
    const std::string locks = o.dir + "/locks-" + std::to_string(r.port);
    mkdir(locks.c_str(), 0755);
    mkdir((locks + "/LCK..pts").c_str(), 0755);
    const Strings args{r.binary,       "-L",         locks,
                       "-d",           "0",          "-f",
                       locks + "/log", r.slave_path, std::to_string(r.port)};
    r.command = join(args);
    waitpid(spawn(o, args), nullptr, 0);
    for (int i = 0; i < 500; ++i, usleep(10000)) {
        int pid = 0;
        if (FILE* f = std::fopen((locks + "/LCK.." + r.slave_path.substr(5)).c_str(), "r")) {
            const int n = std::fscanf(f, "%d", &pid);
            std::fclose(f);
            if (n == 1 && pid > 0)
                return pid;
        }
    }
    return -1;
}

pid_t
start_ser2net(const Options& o, Relay& r) {
    const std::string conf = o.dir + "/ser2net.yaml";
    // chardelay off: it holds serial data back for 1-20 ms to batch it.
    const std::string yaml = "connection: &bench\n  accepter: tcp,127.0.0.1," +
                             std::to_string(r.port) + "\n  connector: serialdev," + r.slave_path +
                             ",115200n81,local\n  options:\n    chardelay: false\n";
    if (FILE* f = std::fopen(conf.c_str(), "w")) {
        std::fputs(yaml.c_str(), f);
        std::fclose(f);
    }
    const Strings args{"ser2net", "-n", "-u", "-c", conf};
    r.command = join(args);
    r.config = conf + ":\n\n```yaml\n" + yaml + "```\n";
    return spawn(o, args);
}

// Starts a relay on its own line; false: a peer that would not start.
bool
start(const Options& o, Relay& r) {
    if (r.kind == Kind::tcp) {
        r.port = listen_any(r.listen_fd);
        r.command = "a client socket and a socket the benchmark accepted itself";
        return true;
    }
    open_pty(r);
    if (r.kind == Kind::pty) {
        r.command = "the benchmark opens the slave as the client";
        return true;
    }
    int fd = -1;
    r.port = listen_any(fd);
    close(fd);
    if (r.kind == Kind::kolvd) {
        r.pid = start_kolvd(o, r);
    } else if (r.kind == Kind::socat) {
        // -t 0: with the default 0.5 s linger after a client's end, the old
        // child still reads the line and takes the next client's bytes.
        const Strings args{"socat", "-t", "0",
                           "TCP-LISTEN:" + std::to_string(r.port) + ",reuseaddr,fork",
                           "FILE:" + r.slave_path + ",raw,echo=0"};
        r.command = join(args);
        r.pid = spawn(o, args);
    } else {
        r.pid = start_ser2net(o, r);
    }
    if (r.pid > 0) {
        g_started[g_nstarted++] = r.pid;
        if (FILE* f = std::fopen((o.dir + "/pids").c_str(), "a")) {
            std::fprintf(f, "%d\n", static_cast<int>(r.pid));
            std::fclose(f);
        }
    }
    if (r.pid > 0 && listening(r.port))
        return true;
    if (r.kind == Kind::kolvd)
        die("starting " + r.name);
    std::fprintf(stderr, "kolvd_bench: %s did not start, left out\n", r.name.c_str());
    kill(r.pid, SIGTERM);
    return false;
}

struct Link {
    int client = -1, device = -1;
    bool own_device = false;
};

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

// On-CPU nanoseconds of every thread of a process: the exact sum behind
// utime+stime, finer than clock ticks.
double
tasks_ns(const std::string& pid) {
    double ns = 0;
    const std::string base = "/proc/" + pid + "/task/";
    DIR* d = opendir(base.c_str());
    while (const dirent* e = d ? readdir(d) : nullptr) {
        unsigned long long t = 0;
        if (FILE* f = std::fopen((base + e->d_name + "/schedstat").c_str(), "r")) {
            ns += std::fscanf(f, "%llu", &t) == 1 ? static_cast<double>(t) : 0;
            std::fclose(f);
        }
    }
    if (d)
        closedir(d);
    return ns;
}

// The relay and its children: socat relays in a child per client.
double
cpu_ns(pid_t pid) {
    double ns = tasks_ns(std::to_string(pid));
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
        if (got && end && std::sscanf(end + 2, "%*c %d", &ppid) == 1 && ppid == pid)
            ns += tasks_ns(e->d_name);
    }
    if (d)
        closedir(d);
    return ns;
}

struct Transfer {
    double mb_per_s = 0, cpu_ms_per_mib = 0;
    unsigned long long lost = 0;
};

// Writes total bytes into `from` while reading `to` promptly; what has not
// arrived 300 ms after the last byte is counted as lost.
Transfer
transfer(int from, int to, std::size_t total, pid_t relay) {
    static std::array<char, kChunk> out{}, in{};
    const double cpu0 = relay > 0 ? cpu_ns(relay) : 0;
    const auto t0 = Clock::now();
    auto last = t0;
    std::size_t sent = 0, got = 0;
    while (got < total && since(t0) < 30 && (sent < total || since(last) < 0.3)) {
        std::array<pollfd, 2> p{
            {{to, POLLIN, 0}, {from, static_cast<short>(sent < total ? POLLOUT : 0), 0}}};
        poll(p.data(), 2, 50);
        const ssize_t w = (p[1].revents & POLLOUT) != 0
                              ? write(from, out.data(), std::min(kChunk, total - sent))
                              : 0;
        sent += static_cast<std::size_t>(std::max<ssize_t>(w, 0));
        const ssize_t r = (p[0].revents & POLLIN) != 0 ? read(to, in.data(), in.size()) : 0;
        if (r > 0) {
            got += static_cast<std::size_t>(r);
            last = Clock::now();
        }
    }
    const double secs = std::chrono::duration<double>(last - t0).count();
    const double mib = static_cast<double>(got) / (1 << 20);
    return {secs > 0 ? static_cast<double>(got) / 1e6 / secs : 0,
            relay > 0 && mib > 0 ? (cpu_ns(relay) - cpu0) / 1e6 / mib : 0,
            sent > got ? sent - got : 0};
}

// One round. Round trips alternate between the relays byte by byte and churn
// in batches of ten connections, so a busy machine hits every relay alike;
// the transfers take turns, in an order that rotates from round to round.
void
measure_round(const Options& o, const std::vector<Relay>& rs, std::vector<Figures>& fs, int round) {
    const std::size_t n = rs.size();
    std::vector<Link> links;
    for (const Relay& r : rs) {
        links.push_back(open_link(r));
        if (links.back().client < 0 || !echo_once(links.back())) // the relay is ready
            die(r.name + ": first exchange");
    }
    std::vector<std::vector<double>> rtt(n);
    for (int s = 0; s < o.rtt_samples; ++s) {
        for (std::size_t i = 0; i < n; ++i) {
            const auto t0 = Clock::now();
            if (echo_once(links[i]))
                rtt[i].push_back(since(t0) * 1e6);
        }
    }
    std::vector<Transfer> to_dev(n), to_client(n);
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t i = (j + static_cast<std::size_t>(round)) % n;
        to_dev[i] = transfer(links[i].client, links[i].device, o.bytes, rs[i].pid);
        drain(links[i].device);
        to_client[i] = transfer(links[i].device, links[i].client, o.bytes, rs[i].pid);
        close_link(links[i]);
    }
    std::vector<double> churn_secs(n);
    std::vector<unsigned long long> failed(n);
    for (int done = 0; done < o.churn; done += 10) {
        for (std::size_t i = 0; i < n; ++i) {
            const auto t0 = Clock::now();
            for (int k = 0; k < 10; ++k) {
                const Link c = open_link(rs[i]);
                failed[i] += c.client >= 0 && echo_once(c) ? 0U : 1U;
                close_link(c);
            }
            churn_secs[i] += since(t0);
        }
    }
    for (std::size_t i = 0; i < n && round > 0; ++i) {
        Figures& f = fs[i];
        std::sort(rtt[i].begin(), rtt[i].end());
        if (!rtt[i].empty())
            f.rtt.push_back(rtt[i][rtt[i].size() / 2]);
        f.rtt_all.insert(f.rtt_all.end(), rtt[i].begin(), rtt[i].end());
        f.to_dev.push_back(to_dev[i].mb_per_s);
        f.to_client.push_back(to_client[i].mb_per_s);
        f.cpu_to_dev.push_back(to_dev[i].cpu_ms_per_mib);
        f.cpu_to_client.push_back(to_client[i].cpu_ms_per_mib);
        f.lost_to_dev += to_dev[i].lost;
        f.lost_to_client += to_client[i].lost;
        f.churn.push_back((o.churn + 9) / 10 * 10 / churn_secs[i]);
        f.churn_failed += failed[i];
    }
    for (const Relay& r : rs)
        drain(r.master);
}

double
quantile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

double
peak_rss_kib(pid_t pid) {
    double kib = 0;
    FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    std::array<char, 256> line;
    while (f && kib == 0 && std::fgets(line.data(), line.size(), f))
        std::sscanf(line.data(), "VmHWM: %lf", &kib);
    if (f)
        std::fclose(f);
    return kib;
}

using Series = std::vector<double> Figures::*;

void
row(const char* label, const std::vector<Relay>& rs, const std::vector<Figures>& fs, Series s,
    int decimals, bool relays_only = false) {
    std::printf("| %s |", label);
    for (std::size_t i = 0; i < rs.size(); ++i) {
        const std::vector<double>& v = fs[i].*s;
        if (v.empty() || (relays_only && rs[i].pid <= 0))
            std::printf(" — |");
        else
            std::printf(" %.*f (%.*f–%.*f) |", decimals, quantile(v, 0.5), decimals,
                        quantile(v, 0.25), decimals, quantile(v, 0.75));
    }
    std::printf("\n");
}

void
counts(const char* label, const std::vector<Figures>& fs, unsigned long long Figures::*a,
       unsigned long long Figures::*b) {
    std::printf("| %s |", label);
    for (const Figures& f : fs)
        b ? std::printf(" %llu / %llu |", f.*a, f.*b) : std::printf(" %llu |", f.*a);
    std::printf("\n");
}

void
print_figures(const Options& o, const std::vector<Relay>& rs, const std::vector<Figures>& fs) {
    std::printf("## Relays as run\n\n");
    for (const Relay& r : rs)
        std::printf("- %s: `%s`\n", r.name.c_str(), r.command.c_str());
    for (const Relay& r : rs)
        if (!r.config.empty())
            std::printf("\n%s\n", r.config.c_str());
    std::printf("\n## Figures\n\n%d rounds after a warm-up round; in each, per relay: %d one-byte "
                "round trips, %zu MiB each way, %d connections. Cell: median (interquartile "
                "range) of the per-round figures; p99 over all round trips.\n\n|",
                o.rounds, o.rtt_samples, o.bytes >> 20, o.churn);
    for (const Relay& r : rs)
        std::printf(" | %s", r.name.c_str());
    std::printf(" |\n|---");
    for (std::size_t i = 0; i < rs.size(); ++i)
        std::printf("|---");
    std::printf("|\n");
    row("round trip, µs", rs, fs, &Figures::rtt, 1);
    std::printf("| round trip p99, µs |");
    for (const Figures& f : fs)
        std::printf(" %.1f |", quantile(f.rtt_all, 0.99));
    std::printf("\n");
    row("client → device, MB/s", rs, fs, &Figures::to_dev, 1);
    row("device → client, MB/s", rs, fs, &Figures::to_client, 1);
    counts("bytes lost c→d / d→c", fs, &Figures::lost_to_dev, &Figures::lost_to_client);
    row("relay CPU c→d, ms/MiB", rs, fs, &Figures::cpu_to_dev, 2, true);
    row("relay CPU d→c, ms/MiB", rs, fs, &Figures::cpu_to_client, 2, true);
    row("churn, connections/s", rs, fs, &Figures::churn, 0);
    counts("failed churn exchanges", fs, &Figures::churn_failed, nullptr);
    std::printf("| peak RSS (VmHWM), KiB |");
    for (const Figures& f : fs)
        f.rss_kib > 0 ? std::printf(" %.0f |", f.rss_kib) : std::printf(" — |");
    std::printf("\n");
}

// kolvd against socat (the targets) and ser2net; a peer not installed shows n/a.
void
print_ratios(const std::vector<Relay>& rs, const std::vector<Figures>& fs) {
    const auto find = [&](const char* name) -> const Figures* {
        for (std::size_t i = 0; i < rs.size(); ++i)
            if (rs[i].name == name)
                return &fs[i];
        return nullptr;
    };
    const Figures *k = find("kolvd"), *s = find("socat"), *n = find("ser2net");
    const auto med = [](const Figures* f, Series x) { return f ? quantile(f->*x, 0.5) : 0; };
    const auto p99 = [](const Figures* f, Series) { return f ? quantile(f->rtt_all, 0.99) : 0; };
    const auto rss = [](const Figures* f, Series) { return f ? f->rss_kib : 0; };
    struct Target {
        const char* figure;
        Series series;
        double (*get)(const Figures*, Series);
        const char* rule;
        double limit; // on kolvd/socat; negative: at least -limit; 0: kolvd under 2048 KiB
    };
    const std::array<Target, 8> targets{{
        {"round trip", &Figures::rtt, med, "≤ 0.85", 0.85},
        {"round trip p99", &Figures::rtt, p99, "≤ 1", 1},
        {"client → device MB/s", &Figures::to_dev, med, "≥ 1, no loss", -1},
        {"device → client MB/s", &Figures::to_client, med, "≥ 1, no loss", -1},
        {"CPU c→d per MiB", &Figures::cpu_to_dev, med, "≤ 0.8", 0.8},
        {"CPU d→c per MiB", &Figures::cpu_to_client, med, "≤ 0.8", 0.8},
        {"churn", &Figures::churn, med, "≥ 10", -10},
        {"peak RSS", &Figures::rtt, rss, "kolvd under 2048 KiB", 0},
    }};
    std::printf("\n## Ratios kolvd/peer and targets\n\n| figure | kolvd/socat | kolvd/ser2net | "
                "target | met |\n|---|---|---|---|---|\n");
    for (const Target& t : targets) {
        const double kv = t.get(k, t.series), sv = t.get(s, t.series), nv = t.get(n, t.series);
        const double ks = sv > 0 ? kv / sv : 0;
        bool met = t.limit > 0 ? ks <= t.limit : ks >= -t.limit;
        if (t.limit == 0)
            met = kv > 0 && kv < 2048;
        if (t.limit == -1) // the throughput targets also ask for no loss
            met = met && k->lost_to_dev + k->lost_to_client == 0;
        std::array<char, 16> to_s{}, to_n{};
        std::snprintf(to_s.data(), to_s.size(), sv > 0 ? "%.2f" : "n/a", ks);
        std::snprintf(to_n.data(), to_n.size(), nv > 0 ? "%.2f" : "n/a", nv > 0 ? kv / nv : 0);
        std::printf("| %s | %s | %s | %s | %s |\n", t.figure, to_s.data(), to_n.data(), t.rule,
                    s || t.limit == 0 ? (met ? "yes" : "**no**") : "n/a");
    }
}

Options
parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool value = i + 1 < argc;
        if (a == "--quick") {
            o.rounds = 2;
            o.rtt_samples = 100;
            o.churn = 20;
            o.bytes = 1u << 20;
        } else if (a == "--kolvd" && value) {
            o.kolvd = argv[++i];
        } else if (a == "--baseline" && value) {
            o.baseline = argv[++i];
        } else if (a == "--dir" && value) {
            o.dir = argv[++i];
        } else if (a == "--rounds" && value) {
            o.rounds = std::clamp(std::atoi(argv[++i]), 1, 200);
        } else {
            std::fprintf(stderr, "usage: kolvd_bench [--quick] [--rounds N] [--baseline "
                                 "OLD_KOLVD] --kolvd PATH --dir TMPDIR\n");
            std::exit(2);
        }
    }
    return o;
}

} // namespace

int
main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::vector<Relay> rs;
    const auto add = [&rs](Kind kind, const char* name, const std::string& binary) {
        rs.emplace_back().kind = kind;
        rs.back().name = name;
        rs.back().binary = binary;
    };
    add(Kind::kolvd, "kolvd", o.kolvd);
    if (!o.baseline.empty())
        add(Kind::kolvd, "kolvd baseline", o.baseline);
    add(Kind::socat, "socat", "socat");
    add(Kind::ser2net, "ser2net", "ser2net");
    add(Kind::pty, "pty floor", "");
    add(Kind::tcp, "TCP floor", "");
    std::erase_if(rs, [](const Relay& r) {
        const bool missing = r.kind != Kind::kolvd && !r.binary.empty() && !in_path(r.binary);
        if (missing)
            std::fprintf(stderr, "kolvd_bench: %s not installed, left out\n", r.name.c_str());
        return missing;
    });
    std::vector<Relay> started;
    for (Relay& r : rs)
        if (start(o, r))
            started.push_back(r);
    rs = started;
    std::vector<Figures> fs(rs.size());
    for (int round = 0; round <= o.rounds; ++round) {
        measure_round(o, rs, fs, round);
        std::fprintf(stderr, "\rround %d of %d", round, o.rounds);
    }
    std::fprintf(stderr, "\n");
    for (std::size_t i = 0; i < rs.size(); ++i)
        fs[i].rss_kib = rs[i].pid > 0 ? peak_rss_kib(rs[i].pid) : 0;
    print_figures(o, rs, fs);
    print_ratios(rs, fs);
    for (const Relay& r : rs) // kolvd shuts down on SIGHUP
        if (r.pid > 0)
            kill(r.pid, r.kind == Kind::kolvd ? SIGHUP : SIGTERM);
    for (const Relay& r : rs)
        if (r.pid > 0 && r.kind != Kind::kolvd)
            waitpid(r.pid, nullptr, 0);
}
