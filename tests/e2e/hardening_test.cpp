// Clients that vanish or churn, and signals and period ends that arrive in
// the middle of transfers.
#include "support/daemon.h"

#include <sstream>

using Hardening = kt::Daemon;

// Every connection ends with exactly one line, written before its socket is
// closed (the debug line says when); no error line appears but the report of a
// chunk held at the cut; `last` ends the log.
static void
expect_in_order(const std::string& text, const std::string& last) {
    std::string seen, want; // c connects, e ends, x socket closed
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        const auto has = [&l](const char* s) { return l.find(s) != l.npos; };
        // A chunk a side had not taken when its connection was cut is reported.
        EXPECT_FALSE(has("kolvd: ") && !has(": Resource temporarily unavailable")) << l;
        if (has(" connects to "))
            seen += 'c';
        else if (has(" disconnects from ") || has("REINITIALIZE") || has("MaxConnectPeriod"))
            seen += 'e';
        else if (has("Close socket for server on "))
            seen += 'x';
    }
    while (want.size() < seen.size())
        want += "cex";
    EXPECT_EQ(seen, want.substr(0, seen.size()));
    EXPECT_TRUE(text.ends_with(last)) << text.substr(text.size() - std::min(text.size(), 300UL));
}

TEST_F(Hardening, ChurnLeavesNoDescriptorOrMemoryBehind) {
    const auto rss = [this] {
        const std::string status = kt::slurp("/proc/" + std::to_string(pid) + "/status");
        return std::atol(status.c_str() + status.find("VmRSS:") + 6);
    };
    up();
    const auto fds = kt::fds_of(pid);
    const long rss_before = rss();
    constexpr unsigned kCycles = 2000;
    for (unsigned i = 0; i < kCycles && !HasFailure(); ++i) {
        const int c = client();
        exchange(c, kt::bytes(64, i), kt::bytes(48, ~i));
        close(c);
    }
    ASSERT_TRUE(wait_log(line("] 127.0.0.1 disconnects from "), kCycles));
    EXPECT_EQ(kt::fds_of(pid), fds);
    EXPECT_LT(rss() - rss_before, 1024) << rss_before << " kB before";
}

// A peer that vanished without FIN or RST is probed within a minute, not the
// system's two hours: the accepted socket carries a keepalive timer.
TEST_F(Hardening, AcceptedSocketProbesItsPeer) {
    up();
    exchange(client(), "x", "y");
    std::istringstream table(kt::slurp("/proc/net/tcp"));
    unsigned port = 0, state = 0, timer = 0;
    unsigned long when = 0;
    for (std::string l;
         std::getline(table, l) && !(port == static_cast<unsigned>(tcp) && state == 1);)
        std::sscanf(l.c_str(), " %*u: %*x:%x %*x:%*x %x %*x:%*x %x:%lx", &port, &state, &timer,
                    &when);
    ASSERT_TRUE(port == static_cast<unsigned>(tcp) && state == 1);
    EXPECT_EQ(timer, 2U);
    EXPECT_LE(when, 60 * static_cast<unsigned long>(sysconf(_SC_CLK_TCK)));
}

// 200 -I drops, then MaxConnectPeriod ends of connections that each get a
// period of their own, all during transfers, then the shutdown signal of the
// parameter.
class Storm : public kt::Daemon, public ::testing::WithParamInterface<int> {};

TEST_P(Storm, LinesStayInOrderThroughDropsPeriodEndsAndShutdown) {
    const std::string setup = "MaxConnectPeriod=1\nIdleTimeout=0\nDebugMode=yes\nService=";
    kt::spit(dir / "setup", setup + svc + "\n");
    up({"-F", dir / "setup"});
    const std::string burst = kt::bytes(8192);
    const auto start_transfer = [&](int c) { // both directions busy when the connection is cut
        (void)!send(c, burst.data(), burst.size(), 0);
        (void)!write(master, burst.data(), 512);
    };
    for (int i = 0; i < 203 && !HasFailure(); ++i) {
        const int c = client();
        exchange(c, "go", "ok");
        start_transfer(c);
        if (i < 200)
            EXPECT_EQ(control("-I").status, 0);
        else if (i == 202)
            break;
        EXPECT_TRUE(kt::wait_until([&] { // period ends come while the transfer goes on
            start_transfer(c);
            tcflush(master, TCIFLUSH);
            return kt::closed(c, kt::ms(0));
        }));
        close(c);
        tcflush(master, TCIFLUSH); // what a dropped client sent is not for the next one
    }
    kill(pid, GetParam());
    EXPECT_EQ(finish(), GetParam() == SIGTERM ? 1 : 0);
    EXPECT_FALSE(std::filesystem::exists(lock));
    const std::string text = kt::slurp(log);
    EXPECT_GE(kt::count(text, "REINITIALIZE"), 190); // a slow pass may meet its period end
    const std::string period_end =
        "] 127.0.0.1 was disconnected, it exceeded MaxConnectPeriod=1 s\n";
    EXPECT_EQ(kt::count(text, "REINITIALIZE") + kt::count(text, period_end), 202);
    expect_in_order(text, shutdown_line(GetParam()) + "Close serial port " + dev +
                              "\nRemove lock file for " + dev + "\n");
}

INSTANTIATE_TEST_SUITE_P(EndedBy, Storm, ::testing::Values(SIGHUP, SIGTERM));

// A log on a terminal never becomes the server's controlling terminal: when
// that terminal goes away (its master closed), no SIGHUP ends the server.
TEST_F(Hardening, TerminalLogClosedUnderTheServer) {
    kt::Pty console;
    fcntl(console.master, F_SETFL, O_NONBLOCK);
    log = console.dev;
    ASSERT_EQ(start({}).status, 0);
    ASSERT_GT(pid = adopted, 0);
    close(slave), slave = -1;
    const int c = client();
    exchange(c, "before", "the log's terminal closes");
    close(console.master), console.master = -1;
    exchange(c, "after", "it closed");
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0);
}
