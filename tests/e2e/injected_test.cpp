// Windows made wide with strace: signals that land while a connection begins
// or ends, failed receives, and signals at the moments the port's flags
// could change.
#include "support/daemon.h"

namespace {

using Injected = kt::Daemon;

// The call whose return is held back 0.5 s, so that a SIGUSR1 lands in it:
// the write of the connect line, or the close of the connection's socket.
class SignalAtAnEdge : public Injected, public ::testing::WithParamInterface<const char*> {};

TEST_P(SignalAtAnEdge, IsNeitherLostNorLeftWithoutItsLine) {
    const std::string call = GetParam();
    up();
    const auto tracer =
        strace({"-e", "trace=" + call, "-e", "inject=" + call + ":delay_exit=500000:when=1"});
    const int c = client();
    if (call == "close") {
        exchange(c, "x", "y");
        close(c);
        ASSERT_TRUE(wait_log(line("] 127.0.0.1 disconnects from ")));
    } else {
        ASSERT_TRUE(wait_log(line("] 127.0.0.1 connects to ")));
    }
    kill(pid, SIGUSR1);
    EXPECT_TRUE(wait_log(line("] REINITIALIZE kolvd server on ")));
    EXPECT_TRUE(call == "close" || kt::closed(c));
    exchange(client(), "next", "client");
}

INSTANTIATE_TEST_SUITE_P(Connection, SignalAtAnEdge, ::testing::Values("write", "close"));

// A receive that fails with EINTR or EAGAIN lost nothing and is no error; any
// other failure is reported with its own errno. The bytes arrive either way.
TEST_F(Injected, AFailedReceiveIsReportedOnlyWhenItIsAnError) {
    up();
    const int c = served();
    for (const std::string err : {"EINTR", "EAGAIN", "EIO"}) {
        const auto tracer =
            strace({"-e", "trace=recvfrom", "-e", "inject=recvfrom:error=" + err + ":when=1"});
        exchange(c, "after " + err, "the failure");
        const std::string text = kt::slurp(log);
        EXPECT_EQ(kt::count(text, "kolvd: "), err == "EIO") << text;
        EXPECT_EQ(kt::count(text, "kolvd: recv: Input/output error\n"), err == "EIO") << text;
    }
}

// The port's open flags as the daemon holds them (0: no port).
long
flags_of(pid_t pid, const std::string& dev) {
    for (const auto& [fd, target] : kt::fds_of(pid))
        if (target == dev) {
            const std::string info = kt::slurp("/proc/" + std::to_string(pid) + "/fdinfo/" + fd);
            return std::strtol(info.c_str() + info.find("flags:") + 6, nullptr, 8);
        }
    return 0;
}

// A -I ends the first connection; signals land at the daemon's changes of the
// port's flags after it. Every connection finds the port as the relay needs
// it: non-blocking, so that no write to it ever waits.
TEST_F(Injected, PortFlagsStayTheSameAcrossConnections) {
    up();
    const auto tracer = strace({"-e", "trace=fcntl", "-e", "inject=fcntl:signal=SIGPIPE:when=4"});
    std::vector<long> flags;
    for (int i = 0; i < 3; ++i) {
        const int c = served();
        flags.push_back(flags_of(pid, dev));
        if (i == 0) {
            kill(pid, SIGUSR1);
            ASSERT_TRUE(kt::closed(c));
        }
        close(c);
    }
    EXPECT_EQ(flags[1], flags[0]);
    EXPECT_EQ(flags[2], flags[0]);
    EXPECT_NE(flags[0] & O_NONBLOCK, 0) << std::oct << flags[0];
}

} // namespace
