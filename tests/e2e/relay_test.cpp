// The relay between one client and the device, at its edges: the idle
// timeout, a device that blocks on its own output, a client that pauses,
// half-closes or takes nothing, churn, and accept out of descriptors.
#include "support/daemon.h"

#include <cstring>
#include <netinet/in.h>
#include <sys/resource.h>

namespace {

using Relay = kt::Daemon;

// Echoes `n` bytes, and reads nothing more until the echo is written, waiting
// for room as a device blocked on its line does.
void
echo(int fd, std::size_t n) {
    char buf[4096];
    for (pollfd p{fd, POLLIN, 0}; n > 0 && poll(&p, 1, 5000) > 0;) {
        const ssize_t r = read(fd, buf, std::min(n, sizeof buf));
        if (r <= 0)
            return;
        kt::pump(fd, {buf, static_cast<std::size_t>(r)}, -1, SIZE_MAX);
        n -= static_cast<std::size_t>(r);
    }
}

long
from_status(pid_t pid, const char* key) {
    const std::string status = kt::slurp("/proc/" + std::to_string(pid) + "/status");
    return std::atol(status.c_str() + status.find(key) + std::strlen(key));
}

} // namespace

TEST_F(Relay, DeviceTrafficKeepsASilentClientUntilIdleTimeout) {
    up({"-d", "1"});
    const int c = served();
    for (int i = 0; i < 8; ++i) { // two idle periods of device-only traffic
        std::this_thread::sleep_for(kt::ms(250));
        ASSERT_EQ(kt::pump(master, "z", c, 1), "z");
    }
    EXPECT_EQ(kt::count(kt::slurp(log), "IdleTimeout"), 0);
    EXPECT_TRUE(kt::closed(c));
    EXPECT_TRUE(wait_log("] 127.0.0.1 was disconnected, it exceeded IdleTimeout=1 s\n"));
}

// An echoing device gets a megabyte upload back in order; a client that takes
// nothing for 3 s while the device sends 16 MB loses none of it.
TEST_F(Relay, NothingLostToAnEchoingDeviceOrAPausedClient) {
    up();
    const int c = client();
    const std::string upload = kt::bytes(1 << 20), download = kt::bytes(16 << 20, 1);
    {
        const std::jthread device([&] { echo(master, upload.size()); });
        EXPECT_TRUE(kt::pump(c, upload, c, upload.size()) == upload);
    }
    const std::jthread device([&] { kt::pump(master, download, -1, SIZE_MAX); });
    std::this_thread::sleep_for(kt::ms(3000));
    EXPECT_TRUE(kt::pump(c, "", c, download.size()) == download);
    EXPECT_EQ(kt::count(kt::slurp(log), "kolvd: "), 0) << kt::slurp(log).substr(0, 2000);
}

// The client sends a request and closes its sending side; the device answers
// after 0.3 s, in two parts 0.5 s apart.
TEST_F(Relay, AfterAHalfCloseTheReplyStillReachesTheClient) {
    up();
    const std::string request = "*IDN?\r\n", reply = "KOLV,meter,0,1.0\r\n";
    const int c = client();
    ASSERT_EQ(send(c, request.data(), request.size(), 0), 7);
    ASSERT_EQ(shutdown(c, SHUT_WR), 0);
    ASSERT_EQ(kt::pump(-1, "", master, request.size()), request);
    std::this_thread::sleep_for(kt::ms(300));
    ASSERT_EQ(write(master, reply.data(), 11), 11);
    std::this_thread::sleep_for(kt::ms(500));
    ASSERT_EQ(write(master, reply.data() + 11, reply.size() - 11), 7);
    EXPECT_EQ(kt::pump(-1, "", c, reply.size()), reply);
    EXPECT_TRUE(kt::closed(c)); // once the line has been quiet
    EXPECT_TRUE(wait_log(line("] 127.0.0.1 disconnects from ")));
    EXPECT_EQ(kt::count(kt::slurp(log), "kolvd: "), 0) << kt::slurp(log);
}

// A client that stops reading while the device talks is dropped after 60 s of
// taking nothing, even with no idle timeout, and the next client is served. A
// full socket is no failed send: the one report is the send that timed out.
TEST_F(Relay, ClientThatTakesNoDataIsDropped) {
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
    EXPECT_TRUE(kt::pump(-1, "", next, SIZE_MAX).ends_with("client")); // after 5 s of nothing
    const std::string text = kt::slurp(log);
    EXPECT_EQ(kt::count(text, "kolvd: "), 1) << text;
    EXPECT_EQ(kt::count(text, "kolvd: write socket: Connection timed out\n"), 1) << text;
}

// Churn leaves no descriptor or memory behind. Out of descriptors, accept
// fails with EMFILE: the server reports it at most once a second, waits
// without spinning and serves the client once it can.
TEST_F(Relay, ChurnLeavesNothingAndAcceptWaitsForDescriptors) {
    up();
    const auto fds = kt::fds_of(pid);
    const long rss_before = from_status(pid, "VmRSS:");
    constexpr unsigned kCycles = 2000;
    for (unsigned i = 0; i < kCycles && !HasFailure(); ++i) {
        const int c = client();
        exchange(c, kt::bytes(64, i), kt::bytes(48, ~i));
        close(c);
    }
    ASSERT_TRUE(wait_log(line("] 127.0.0.1 disconnects from "), kCycles));
    EXPECT_EQ(kt::fds_of(pid), fds);
    EXPECT_LT(from_status(pid, "VmRSS:") - rss_before, 1024) << rss_before << " kB before";
    rlimit roomy{};
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, nullptr, &roomy), 0);
    rlim_t lowest_free = 0; // below it every descriptor is taken
    while (fds.count(std::to_string(lowest_free)))
        ++lowest_free;
    const rlimit tight{lowest_free, roomy.rlim_max};
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &tight, nullptr), 0);
    const int c = client();
    ASSERT_TRUE(wait_log("kolvd: accept: Too many open files\n"));
    const auto switches = [&] {
        return from_status(pid, "voluntary_ctxt_switches:") +
               from_status(pid, "nonvoluntary_ctxt_switches:");
    };
    const long before = switches();
    std::this_thread::sleep_for(kt::ms(1000)); // a window to count wake-ups in
    EXPECT_LT(switches() - before, 50);
    EXPECT_LE(kt::count(kt::slurp(log), "kolvd: accept"), 3);
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &roomy, nullptr), 0);
    exchange(c, "served", "at last");
    EXPECT_EQ(kt::count(kt::slurp(log), "Server not started"), 0);
}
