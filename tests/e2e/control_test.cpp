// Shutdown by signal or by the device hanging up, in every state of the server,
// and the -S and -I commands against running servers and lock files that lie.
#include "support/daemon.h"

// Phase 0 idle, 1 relaying, 2 blocked writing to a device that never drains;
// the end comes from SIGHUP, SIGTERM, or (0) the device hanging up, which the
// port, as the daemon's controlling terminal, turns into a SIGHUP.
class Shutdown : public kt::Daemon, public ::testing::WithParamInterface<std::tuple<int, int>> {};

TEST_P(Shutdown, WritesItsLineRemovesTheLockAndExits) {
    const auto [phase, sig] = GetParam();
    up();
    const int c = phase > 0 ? client() : -1;
    if (c >= 0)
        exchange(c, "x", "y");
    const std::string flood = kt::bytes(1 << 16);
    pollfd p{c, POLLOUT, 0};
    for (int i = 0; phase == 2 && i < 10000; ++i) // until the daemon stops taking bytes
        if (send(c, flood.data(), flood.size(), 0) < 0 && poll(&p, 1, 300) == 0)
            break;
    if (sig == 0)
        close(master), master = -1;
    else
        kill(pid, sig);
    EXPECT_EQ(finish(), sig == SIGTERM ? 1 : 0);
    const std::string text = kt::slurp(log);
    EXPECT_TRUE(text.ends_with(shutdown_line(sig))) << text;
    // The chunk the port never took is reported once, as is a hang-up.
    const std::string held = "kolvd: write to serial port: Resource temporarily unavailable\n";
    EXPECT_EQ(kt::count(text, held), phase == 2) << text;
    EXPECT_EQ(kt::count(text, "kolvd: serial port " + dev + " hung up\n"), sig == 0) << text;
    EXPECT_EQ(kt::count(text, "kolvd: "), (phase == 2) + (sig == 0)) << text;
    EXPECT_FALSE(std::filesystem::exists(lock));
    EXPECT_TRUE(c < 0 || kt::closed(c));
}

INSTANTIATE_TEST_SUITE_P(EveryState, Shutdown,
                         ::testing::Combine(::testing::Values(0, 1, 2),
                                            ::testing::Values(SIGHUP, SIGTERM, 0)));

using Control = kt::Daemon;

TEST_F(Control, ReinitialiseDropsOnlyAClientAndShutdownEndsTheServer) {
    up();
    const auto command = [&](const char* opt, const std::string& what) {
        const kt::Result r = control(opt);
        EXPECT_EQ(r.out, "Sent " + what + " server on " + dev + "\n");
        EXPECT_EQ(r.status, 0);
    };
    const int first = client();
    exchange(first, "first", "client");
    close(first);
    ASSERT_TRUE(wait_log(line("] 127.0.0.1 disconnects from ")));
    command("-I", "SIGUSR1 signal to reinitialize"); // no client: nothing changes
    // Bytes the device sends while nobody is connected are not for the next client.
    ASSERT_EQ(write(master, "stale", 5), 5);
    const int c = client();
    exchange(c, "after", "an idle -I");
    command("-I", "SIGUSR1 signal to reinitialize");
    EXPECT_TRUE(kt::closed(c));
    EXPECT_EQ(kt::count(kt::slurp(log), line("] REINITIALIZE kolvd server on ")), 1);
    exchange(client(), "next", "client");
    EXPECT_EQ(kt::count(kt::slurp(log), line("] 127.0.0.1 connects to ")), 3);
    command("-S", "SIGHUP signal to shutdown");
    EXPECT_EQ(finish(), 0);
    EXPECT_FALSE(std::filesystem::exists(lock));
}

// A lock file's content (none, or "FIFO": not a regular file), the
// command, and what it prints. No process can have the id 2147483647: such a
// lock is stale.
constexpr std::tuple<const char*, const char*, const char*> kLockCases[] = {
    {nullptr, "-S", "Server not running or lock file not located\n"},
    {"2147483647\n", "-S", "Unable to kill server pid 2147483647\n"},
    {"0x7fffffff\n", "-I", "kolvd: Unable to reinitialize server pid 2147483647\n"},
    {"1\n", "-S", "A server pid of 1 does not make sense\n"},
    {"junk\n", "-I", "A server pid of 0 does not make sense\n"},
    {"", "-S", "A server pid of -1 does not make sense\n"},
    {"FIFO", "-I", "A server pid of -1 does not make sense\n"},
};

TEST_F(Control, LockFilesThatDoNotNameARunningServer) {
    for (const auto& [planted, opt, out] : kLockCases) {
        const std::string content = planted ? planted : "(none)";
        SCOPED_TRACE(content + opt);
        std::filesystem::remove_all(lock);
        if (content == "FIFO")
            mkfifo(lock.c_str(), 0666);
        else if (planted)
            kt::spit(lock, content);
        const kt::Result r = control(opt);
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.err, kt::count(r.out, "nable") ? "kolvd: kill: No such process\n" : "");
        EXPECT_EQ(r.status, 1);
    }
}

TEST_F(Control, ForeignLockIsNeverRemoved) {
    up();
    kt::spit(lock, "         1\n");
    kill(pid, SIGHUP);
    EXPECT_EQ(finish(), 0);
    EXPECT_TRUE(kt::slurp(log).ends_with("Could not remove lock file for: " + dev + "\n"));
    EXPECT_EQ(kt::slurp(lock), "         1\n");
}

// -I while the daemon writes to a port that drains slowly: the signal meets
// it blocked, between writes, or about to write, and must drop the client
// every time.
TEST_F(Control, ReinitialiseDropsAClientWhateverItsPortWriteIsDoing) {
    up();
    const std::string flood = kt::bytes(1 << 16);
    char sink[4096];
    for (int i = 0; i < 50; ++i) {
        SCOPED_TRACE(i);
        const int c = client();
        exchange(c, "x", "y");
        while (send(c, flood.data(), flood.size(), 0) > 0) {
        }
        for (int k = 0; k < i % 5; ++k) // room for a few more writes
            (void)!read(master, sink, sizeof sink);
        usleep(static_cast<useconds_t>(i * 40));
        kill(pid, SIGUSR1);
        ASSERT_TRUE(kt::closed(c));
        close(c);
        ASSERT_TRUE(wait_log(line("] REINITIALIZE kolvd server on "), i + 1));
        while (read(master, sink, sizeof sink) > 0) { // what reached the device before the drop
        }
    }
    const std::string text = kt::slurp(log); // a chunk the port had not taken is reported
    EXPECT_EQ(kt::count(text, "kolvd: "),
              kt::count(text, "kolvd: write to serial port: Resource temporarily unavailable\n"));
}
