// Faults from outside that must neither freeze, spin nor stop the server, nor
// turn it against another process: hang-ups nobody signals, a log that takes
// no data, lock files naming strangers, resource shortages, stuck clients.
#include "support/daemon.h"

#include <cstring>
#include <sys/resource.h>

namespace {

using Faults = kt::Daemon;
using kt::Child;

long
context_switches(pid_t pid) {
    const std::string status = kt::slurp("/proc/" + std::to_string(pid) + "/status");
    long total = 0;
    for (const char* key : {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"})
        total += std::atol(status.c_str() + status.find(key) + std::strlen(key));
    return total;
}

} // namespace

// After a connection the server closed itself, its side of it lingers in
// TIME_WAIT; a new server on the same port must still bind at once.
TEST_F(Faults, RestartRightAfterAServerSideClose) {
    up();
    const int c = client();
    exchange(c, "x", "y");
    ASSERT_EQ(control("-I").status, 0);
    ASSERT_TRUE(kt::closed(c));
    close(c);
    ASSERT_EQ(control("-S").status, 0);
    ASSERT_EQ(finish(), 0);
    std::filesystem::remove(log);
    up();
    exchange(client(), "served", "again");
}

// The port hangs up while it is not our controlling terminal, so no SIGHUP
// comes: it is some other session's, or (before the log was opened without
// becoming one) a terminal named by -f was ours. Idle (0) or relaying (1).
class HangUp : public kt::Daemon, public ::testing::WithParamInterface<std::tuple<bool, int>> {};

TEST_P(HangUp, EndsTheServerAsSighupDoes) {
    const auto [log_on_terminal, phase] = GetParam(); // else another session holds the port
    Child other;
    kt::Pty log_tty;
    std::vector<std::string> opts;
    if (!log_on_terminal) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        other.pid = fork();
        if (other.pid == 0) { // a session leader's first terminal becomes its own
            close(master);    // or the pair could never hang up
            setsid();
            (void)!open(dev.c_str(), O_RDWR);
            (void)!write(ready[1], "", 1);
            for (;;)
                pause();
        }
        char byte;
        ASSERT_EQ(read(ready[0], &byte, 1), 1);
        close(ready[0]), close(ready[1]);
    } else {
        opts = {"-f", log_tty.dev};
        fcntl(log_tty.master, F_SETFL, O_NONBLOCK);
    }
    ASSERT_EQ(start(opts).status, 0);
    ASSERT_GT(pid = adopted, 0);
    close(slave), slave = -1;
    const int c = phase ? client() : -1;
    if (c >= 0)
        exchange(c, "x", "y");
    close(master), master = -1;
    EXPECT_EQ(finish(), 0);
    EXPECT_FALSE(std::filesystem::exists(lock));
    EXPECT_TRUE(c < 0 || kt::closed(c));
    const std::string hung_up = "kolvd: serial port " + dev + " hung up\n";
    if (opts.empty()) {
        const std::string text = kt::slurp(log);
        const auto at = text.rfind(hung_up);
        EXPECT_TRUE(at != text.npos && text.find('\n', at + hung_up.size()) == text.size() - 1 &&
                    text.ends_with(shutdown_line(SIGHUP)))
            << text;
    } else { // the terminal ends its lines with CR LF
        char text[4096];
        const ssize_t n = read(log_tty.master, text, sizeof text);
        const std::string got(text, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        const auto at = got.find("kolvd: serial port " + dev + " hung up\r\n[");
        EXPECT_NE(at, got.npos) << got;
        EXPECT_NE(got.find("] SHUTDOWN kolvd server for " + dev, at), got.npos) << got;
    }
}

INSTANTIATE_TEST_SUITE_P(PortNotOurTerminal, HangUp,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(0, 1)));

// A log nobody reads (a FIFO already holding 64 KiB) takes no line: the
// server starts, relays, and still ends on SIGHUP, SIGTERM or -S.
class LogStall : public kt::Daemon, public ::testing::WithParamInterface<int> {};

TEST_P(LogStall, NeitherHoldsTheRelayNorTheShutdown) {
    ASSERT_EQ(mkfifo(log.c_str(), 0644), 0);
    const int fifo = open(log.c_str(), O_RDWR | O_NONBLOCK);
    const std::string fill(4096, 'f');
    while (write(fifo, fill.data(), fill.size()) > 0) {
    }
    ASSERT_EQ(start({}).status, 0);
    ASSERT_GT(pid = adopted, 0);
    ASSERT_TRUE(kt::wait_until([&] { return kt::slurp(lock).size() == 11; }));
    close(slave), slave = -1;
    const int c = client();
    exchange(c, "through", "a stalled log");
    const int sig = GetParam();
    if (sig == 0)
        EXPECT_EQ(control("-S").status, 0);
    else
        kill(pid, sig);
    EXPECT_EQ(finish(), sig == SIGTERM ? 1 : 0);
    EXPECT_FALSE(std::filesystem::exists(lock));
    EXPECT_TRUE(kt::closed(c));
    close(fifo);
}

INSTANTIATE_TEST_SUITE_P(EndedBy, LogStall, ::testing::Values(SIGHUP, SIGTERM, 0));

// A lock file rewritten with the pid of another process (here a sleep of the
// test's own): neither command signals it; both answer as for a stale lock.
TEST_F(Faults, ControlCommandsSignalOnlyTheServerOfThePort) {
    up();
    Child sleeper;
    char arg0[] = "/bin/sleep", arg1[] = "60";
    char* argv[] = {arg0, arg1, nullptr};
    ASSERT_EQ(posix_spawn(&sleeper.pid, argv[0], nullptr, nullptr, argv, environ), 0);
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", sleeper.pid);
    kt::spit(lock, text);
    const std::string id = std::to_string(sleeper.pid);
    for (const auto& [opt, out] :
         {std::pair{"-S", "Unable to kill server pid " + id + "\n"},
          std::pair{"-I", "kolvd: Unable to reinitialize server pid " + id + "\n"}}) {
        const kt::Result r = control(opt);
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.err, "kolvd: pid " + id + " is not the server of " + dev + "\n");
        EXPECT_EQ(r.status, 1);
    }
    EXPECT_TRUE(sleeper.alive());
    std::snprintf(text, sizeof text, "%10d\n", pid);
    kt::spit(lock, text);
    EXPECT_EQ(control("-S").status, 0);
    EXPECT_EQ(finish(), 0);
}

// Out of descriptors: accept fails with EMFILE. The server reports it at most
// once a second, waits without spinning and serves the client once it can.
TEST_F(Faults, AcceptOutOfDescriptorsWaitsForThemToComeBack) {
    up();
    rlimit roomy{};
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, nullptr, &roomy), 0);
    const auto fds = kt::fds_of(pid);
    rlim_t lowest_free = 0; // below it every descriptor is taken
    while (fds.count(std::to_string(lowest_free)))
        ++lowest_free;
    const rlimit tight{lowest_free, roomy.rlim_max};
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &tight, nullptr), 0);
    const int c = client();
    ASSERT_TRUE(wait_log("kolvd: accept: Too many open files\n"));
    const long before = context_switches(pid);
    std::this_thread::sleep_for(kt::ms(1000)); // a window to count wake-ups in
    EXPECT_LT(context_switches(pid) - before, 50);
    EXPECT_LE(kt::count(kt::slurp(log), "kolvd: accept"), 3);
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &roomy, nullptr), 0);
    exchange(c, "served", "at last");
    EXPECT_EQ(kt::count(kt::slurp(log), "Server not started"), 0);
}

// A client that stops reading while the device talks is dropped after 60 s of
// taking nothing, even with no idle timeout, and the next client is served. A
// full socket is no failed send: the one report is the send that timed out.
TEST_F(Faults, ClientThatTakesNoDataIsDropped) {
    up({"-d", "0"});
    const int stuck = socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096; // a window that closes soon
    setsockopt(stuck, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{AF_INET, htons(static_cast<std::uint16_t>(tcp)), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(connect(stuck, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_TRUE(wait_log(" connects to "));
    const int next = client(); // waits in the backlog
    const std::string burst = kt::bytes(4096);
    EXPECT_TRUE(kt::wait_until(
        [&] {
            if (kt::count(kt::slurp(log), " connects to ") == 2)
                return true;
            (void)!write(master, burst.data(), burst.size());
            return false;
        },
        kt::ms(90000)));
    close(stuck);
    // A burst may still come between our look at the log and the flush at accept.
    ASSERT_EQ(kt::pump(next, "next", master, 4), "next");
    ASSERT_EQ(write(master, "client", 6), 6);
    std::string got;
    EXPECT_TRUE(kt::wait_until([&] {
        char buf[65536];
        got.append(buf,
                   static_cast<std::size_t>(std::max<ssize_t>(read(next, buf, sizeof buf), 0)));
        return got.ends_with("client");
    }));
    const std::string text = kt::slurp(log);
    EXPECT_EQ(kt::count(text, "kolvd: "), 1) << text;
    EXPECT_EQ(kt::count(text, "kolvd: write socket: Connection timed out\n"), 1) << text;
}
