// The stream at its edges: a device that blocks on its own output, a client
// that pauses or half-closes, and chunks still held when a connection ends.
#include "support/daemon.h"

#include <netinet/in.h>
#include <optional>

namespace {

using Stream = kt::Daemon;

// Writes all of data, waiting for room as a device blocked on its line does.
void
feed(int fd, std::string_view data) {
    while (!data.empty()) {
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, -1);
        const ssize_t w = write(fd, data.data(), data.size());
        if (w < 0 && errno != EAGAIN)
            return;
        data.remove_prefix(static_cast<std::size_t>(std::max<ssize_t>(w, 0)));
    }
}

// Echoes what it reads, and reads nothing more until the echo is written.
void
echo(int fd) {
    char buf[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, -1);
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno != EAGAIN))
            return;
        feed(fd, {buf, static_cast<std::size_t>(std::max<ssize_t>(n, 0))});
    }
}

// Writes to fd until it has taken nothing for 300 ms (or 5 s have passed).
void
fill(int fd) {
    const std::string chunk = kt::bytes(1 << 16);
    kt::wait_until(
        [&] {
            pollfd p{fd, POLLOUT, 0};
            return write(fd, chunk.data(), chunk.size()) < 0 && poll(&p, 1, 300) == 0;
        },
        kt::ms(5000));
}

struct Flow {
    const char* name;
    bool echoing;      // else the device sends `bytes` on its own
    std::size_t bytes; // up and back, or down
    int pause_ms;      // the client takes nothing for this long first
};

class NothingLost : public Stream, public ::testing::WithParamInterface<Flow> {};

TEST_P(NothingLost, EveryByteArrivesInOrderWithNoReport) {
    const Flow f = GetParam();
    up();
    const int c = client();
    exchange(c, "x", "y");
    const std::string data = kt::bytes(f.bytes);
    const kt::Child device([&] { f.echoing ? echo(master) : feed(master, data); });
    std::this_thread::sleep_for(kt::ms(f.pause_ms));
    const std::string got = kt::pump(c, f.echoing ? std::string_view(data) : "", c, data.size());
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
    EXPECT_EQ(kt::count(kt::slurp(log), "kolvd: "), 0) << kt::slurp(log).substr(0, 2000);
}

INSTANTIATE_TEST_SUITE_P(Flows, NothingLost,
                         ::testing::Values(Flow{"EchoingDevice", true, 1 << 20, 0},
                                           Flow{"PausedClient", false, 16 << 20, 3000}),
                         [](const auto& row) { return std::string(row.param.name); });

// The client sends a request and closes its sending side; the device answers
// after 0.3 s, in two parts 0.5 s apart. By nc -N, or by hand.
class HalfClose : public Stream, public ::testing::WithParamInterface<bool> {};

TEST_P(HalfClose, TheReplyStillReachesTheClient) {
    const bool nc = GetParam();
    up();
    const std::string request = "*IDN?\r\n", reply = "KOLV,meter,0,1.0\r\n";
    kt::spit(dir / "request", request);
    std::optional<kt::Child> netcat;
    int c = -1;
    if (nc) {
        netcat.emplace([&] {
            kt::exec_redirected({"/usr/bin/nc.openbsd", "-N", "127.0.0.1", svc}, dir / "request",
                                dir / "reply");
        });
    } else {
        c = client();
        ASSERT_EQ(send(c, request.data(), request.size(), 0), 7);
        ASSERT_EQ(shutdown(c, SHUT_WR), 0);
    }
    ASSERT_EQ(kt::pump(-1, "", master, request.size()), request);
    std::this_thread::sleep_for(kt::ms(300));
    ASSERT_EQ(write(master, reply.data(), 11), 11);
    std::this_thread::sleep_for(kt::ms(500));
    ASSERT_EQ(write(master, reply.data() + 11, reply.size() - 11), 7);
    if (nc) {
        EXPECT_TRUE(kt::wait_until([&] { return !netcat->alive(); })); // once the line is quiet
        EXPECT_EQ(kt::slurp(dir / "reply"), reply);
    } else {
        EXPECT_EQ(kt::pump(-1, "", c, reply.size()), reply);
        EXPECT_TRUE(kt::closed(c)); // once the line has been quiet
    }
    EXPECT_TRUE(wait_log(line("] 127.0.0.1 disconnects from ")));
    EXPECT_EQ(kt::count(kt::slurp(log), "kolvd: "), 0) << kt::slurp(log);
}

INSTANTIATE_TEST_SUITE_P(ByNcOrByHand, HalfClose, ::testing::Bool());

// A connection that ends while one side has not taken a chunk reports that
// chunk once, with the error of the write that left it, or the send's own.
struct Cut {
    const char* name;
    bool toward_port; // else toward the client
    int end;          // a signal, 0 for the end of MaxConnectPeriod, -1 for a client reset
    const char* report;
};

constexpr const char* kPortFull = "kolvd: write to serial port: Resource temporarily unavailable\n";

class HeldChunk : public Stream, public ::testing::WithParamInterface<Cut> {};

TEST_P(HeldChunk, IsReportedOnceWhenTheConnectionEnds) {
    const Cut cut = GetParam();
    kt::spit(dir / "setup", "MaxConnectPeriod=1\nService=" + svc + "\n");
    up(cut.end == 0 ? std::vector<std::string>{"-F", dir / "setup"}
                    : std::vector<std::string>{"-d", "0"});
    const int c = client();
    exchange(c, "x", "y");
    fill(cut.toward_port ? c : master); // the other side takes nothing
    if (cut.end > 0) {
        kill(pid, cut.end);
    } else if (cut.end < 0) {
        const linger reset{1, 0};
        setsockopt(c, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(c);
    }
    EXPECT_TRUE(wait_log(cut.report));
    if (cut.end == SIGHUP) {
        EXPECT_EQ(finish(), 0);
    } else { // the connection is over and the server goes on
        tcflush(master, TCIOFLUSH);
        exchange(client(), "next", "client");
    }
    const std::string text = kt::slurp(log);
    EXPECT_EQ(kt::count(text, "kolvd: "), 1) << text.substr(0, 2000);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, HeldChunk,
    ::testing::Values(Cut{"PortFullThenDropped", true, SIGUSR1, kPortFull},
                      Cut{"PortFullThenPeriodOver", true, 0, kPortFull},
                      Cut{"PortFullThenShutdown", true, SIGHUP, kPortFull},
                      Cut{"ClientFullThenDropped", false, SIGUSR1,
                          "kolvd: write socket: Resource temporarily unavailable\n"},
                      Cut{"ClientFullThenReset", false, -1,
                          "kolvd: write socket: Connection reset by peer\n"}),
    [](const auto& row) { return std::string(row.param.name); });

} // namespace
