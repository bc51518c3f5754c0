// End-to-end harness: a pseudo-terminal plays the serial device, clients
// connect on 127.0.0.1, and the daemon runs detached with its log and locks in
// a temporary directory. The test process is a child subreaper, so the
// detached daemon becomes its child and its exit status can be collected.
#pragma once

#include "support/process.h"

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <set>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <utility>

namespace kt {

inline int
count(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (auto at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1))
        ++n;
    return n;
}

inline std::string
bytes(std::size_t n, unsigned seed = 0) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(((i + seed) * 2654435761U) >> 13);
    return s;
}

// Timestamps ("[Dec-06-2026 02:20:06]") differ from run to run: "[T]".
inline std::string
untimed(std::string text) {
    for (auto at = text.find('['); at != std::string::npos; at = text.find('[', at + 1))
        if (at + 21 < text.size() && text[at + 21] == ']')
            text.replace(at, 22, "[T]");
    return text;
}

// A socket bound to, or connected to, 127.0.0.1:port (0: any free port).
inline int
loopback(int port, bool bind_it) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof a;
    auto* sa = reinterpret_cast<sockaddr*>(&a);
    EXPECT_EQ(bind_it ? bind(s, sa, len) : connect(s, sa, len), 0);
    if (bind_it) {
        getsockname(s, sa, &len);
        close(s);
        return ntohs(a.sin_port);
    }
    fcntl(s, F_SETFL, O_NONBLOCK);
    return s;
}

// Writes `data` to `src` while reading from `dst`, until `want` bytes came
// (with no `dst`: all is written), end of file, or 5 s without progress. Both
// descriptors are non-blocking.
inline std::string
pump(int src, std::string_view data, int dst, std::size_t want) {
    std::string got;
    char buf[65536];
    while (got.size() < want && (dst >= 0 || !data.empty())) {
        pollfd p[2] = {{dst, POLLIN, 0}, {data.empty() ? -1 : src, POLLOUT, 0}};
        if (poll(p, 2, 5000) <= 0)
            break;
        if (p[1].revents) {
            const ssize_t n = write(src, data.data(), data.size());
            if (n < 0 && errno != EAGAIN)
                break;
            data.remove_prefix(static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        }
        if (p[0].revents) {
            const ssize_t n = read(dst, buf, std::min(sizeof buf, want - got.size()));
            if (n == 0 || (n < 0 && errno != EAGAIN))
                break;
            got.append(buf, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        }
    }
    return got;
}

// True once the peer has closed or reset `fd`; data still arriving is discarded.
inline bool
closed(int fd) {
    return wait_until([fd] {
        char buf[65536];
        const ssize_t n = read(fd, buf, sizeof buf);
        return n == 0 || (n < 0 && errno != EAGAIN);
    });
}

// The daemon's descriptors and what each one refers to.
inline std::map<std::string, std::string>
fds_of(pid_t pid) {
    std::map<std::string, std::string> fds;
    for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        fds[e.path().filename()] = fs::read_symlink(e.path());
    return fds;
}

// A spawned program, killed and reaped by pid when the test is done with it.
struct Child {
    pid_t pid = -1;
    explicit Child(pid_t p = -1) : pid(p) {}
    Child(Child&& other) noexcept : pid(std::exchange(other.pid, -1)) {}
    ~Child() {
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
    }
};

class Daemon : public ::testing::Test, public Pty {
  protected:
    TempDir dir;
    std::string port_name = dev.substr(5); // "pts/N"
    int tcp = loopback(0, true);
    std::string svc = std::to_string(tcp); // a name of digits is a port number
    std::string log = dir / "log", locks = dir / "locks", lock = locks + "/LCK.." + port_name;
    pid_t pid = -1;       // the daemon started by up()
    pid_t adopted = -1;   // the daemon the last start left behind
    std::set<pid_t> kids; // every daemon started here

    void SetUp() override {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        std::signal(SIGPIPE, SIG_IGN);
        // Every daemon starts as a careless launcher leaves it: its signals
        // ignored and blocked.
        sigset_t careless;
        sigemptyset(&careless);
        for (const int sig : {SIGHUP, SIGTERM, SIGUSR1, SIGALRM}) {
            std::signal(sig, SIG_IGN);
            sigaddset(&careless, sig);
        }
        sigprocmask(SIG_BLOCK, &careless, nullptr);
        fcntl(master, F_SETFL, O_NONBLOCK);
        fs::create_directories(locks + "/LCK..pts");
        // Sanitizer reports would otherwise land in the log among the lines under test.
        setenv("ASAN_OPTIONS", ("log_path=" + dir / "asan").c_str(), 1);
        setenv("UBSAN_OPTIONS", ("print_stacktrace=1:log_path=" + dir / "ubsan").c_str(), 1);
    }

    // A daemon already reaped is not waited for, so its id, maybe reused, is never killed.
    void TearDown() override {
        for (const pid_t p : kids)
            if (waitpid(p, nullptr, WNOHANG) == 0 && kill(p, SIGKILL) == 0)
                waitpid(p, nullptr, 0);
        for (const auto& e : fs::directory_iterator(dir.path))
            if (e.path().filename().string().find("san.") != std::string::npos)
                ADD_FAILURE() << "sanitizer report:\n" << slurp(e.path());
    }

    // kolvd on our pty and service with -L, and -f unless `log` is empty (after
    // -F the service is the file's), run through `pre`; the daemon it leaves
    // behind is adopted.
    Result start(std::vector<std::string> opts, std::vector<std::string> pre = {}) {
        pre.insert(pre.end(), {KOLVD_BINARY, "-L", locks});
        if (!log.empty())
            pre.insert(pre.end(), {"-f", log});
        opts.insert(opts.begin(), pre.begin(), pre.end());
        opts.insert(opts.end(), {port_name, svc});
        const Result r = run(opts);
        adopted = -1;
        std::istringstream children(
            slurp("/proc/self/task/" + std::to_string(getpid()) + "/children"));
        for (pid_t p; children >> p;)
            if (kids.insert(p).second)
                adopted = p;
        return r;
    }

    // A daemon that reached its client loop: the launcher waits for that.
    void up(std::vector<std::string> opts = {}, std::vector<std::string> pre = {}) {
        const bool locking = std::find(opts.begin(), opts.end(), "-N") == opts.end();
        ASSERT_EQ(start(std::move(opts), std::move(pre)).status, 0);
        ASSERT_GT(pid = adopted, 0);
        ASSERT_TRUE(!locking || slurp(lock) == planted(pid));
        close(std::exchange(slave, -1));
    }

    // Exit status of the daemon (128 + signal if killed), -1 if it still runs after 5 s.
    int finish() {
        int st = 0;
        return wait_until([&] { return waitpid(pid, &st, WNOHANG) > 0; }) ? exit_status(st) : -1;
    }

    bool wait_log(const std::string& text, int n = 1) {
        return wait_until([&] { return count(slurp(log), text) >= n; });
    }

    // Left open for the test process to close on its way out.
    int client() {
        return loopback(tcp, false);
    }

    // A client that one exchange has shown accepted.
    int served() {
        const int c = client();
        exchange(c, "x", "y");
        return c;
    }

    // Both ways, every byte compared; the first leg also proves the client was accepted.
    void exchange(int c, const std::string& up, const std::string& down) {
        ASSERT_EQ(pump(c, up, master, up.size()), up);
        ASSERT_EQ(pump(master, down, c, down.size()), down);
    }

    Result control(const std::string& opt) {
        return run(
            {"/usr/bin/timeout", "-s", "KILL", "10", KOLVD_BINARY, "-L", locks, opt, port_name});
    }

    // strace attached to the daemon with `opts`; the daemon goes on when it is killed.
    Child strace(std::vector<std::string> opts) {
        const std::string out = dir / "strace";
        spit(out, "");
        opts.insert(opts.begin(),
                    {"/usr/bin/strace", "-o", "/dev/null", "-p", std::to_string(pid)});
        Child tracer(spawn(opts, {"/dev/null", out, out}));
        EXPECT_TRUE(wait_until([&] { return slurp(out).find("attached") != std::string::npos; }))
            << slurp(out);
        return tracer;
    }

    std::string line(const std::string& event) const {
        return event + dev + "\n";
    }
};

} // namespace kt
