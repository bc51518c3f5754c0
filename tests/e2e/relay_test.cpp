// The relay between one client and the device: bytes, connection lines, and
// the three ways a connection ends by itself.
#include "support/daemon.h"

namespace {

using Relay = kt::Daemon;

std::string
hex_dumps(const std::string& log, const std::string& label) {
    std::string all;
    for (auto at = log.find(label); at != std::string::npos; at = log.find(label, at + 1))
        all += log.substr(at + label.size(), log.find('\n', at) - at - label.size());
    return all;
}

TEST_F(Relay, EveryByteValueBothWaysWithDebugDumps) {
    up({"-b"});
    std::string all, dump = "<41h><42h>";
    for (int i = 0; i < 256; ++i) {
        char one[8];
        std::snprintf(one, sizeof one, "<%02Xh>", i);
        all += static_cast<char>(i), dump += one;
    }
    const int c = client();
    exchange(c, "AB", "AB");
    exchange(c, all, all);
    for (const char* label : {"kolvd got:", "kolvd sent:"})
        EXPECT_TRUE(kt::wait_for([&] { return hex_dumps(kt::slurp(log), label) == dump; }))
            << label << "\n"
            << kt::slurp(log);
}

TEST_F(Relay, OneMebibyteFromClientToDevice) {
    up();
    const std::string data = kt::bytes(1 << 20);
    EXPECT_TRUE(kt::pump(client(), data, master, data.size()) == data);
}

// Bytes the device sends while nobody is connected are not for the next client.
TEST_F(Relay, NextClientIsServedAndGetsNoStaleBytes) {
    up();
    const int first = client();
    exchange(first, "hello", "world");
    hang_up(first);
    ASSERT_TRUE(wait_log(line("] 127.0.0.1 disconnects from ")));
    ASSERT_EQ(write(master, "stale", 5), 5);
    const int second = client();
    exchange(second, "ping", "fresh");
    EXPECT_EQ(kt::count(kt::slurp(log), line("] 127.0.0.1 connects to ")), 2);
}

TEST_F(Relay, DeviceTrafficKeepsASilentClientUntilIdleTimeout) {
    up({"-d", "1"});
    const int c = client();
    exchange(c, "x", "y");
    for (int i = 0; i < 8; ++i) { // two idle periods of device-only traffic
        std::this_thread::sleep_for(kt::ms(250));
        ASSERT_EQ(kt::pump(master, "z", c, 1), "z");
    }
    EXPECT_EQ(kt::count(kt::slurp(log), "IdleTimeout"), 0);
    EXPECT_TRUE(kt::closed(c));
    EXPECT_TRUE(wait_log("] 127.0.0.1 was disconnected, it exceeded IdleTimeout=1 s\n"));
}

TEST_F(Relay, ZeroIdleTimeoutNeverDropsASilentClient) {
    up({"-d", "0"});
    const int c = client();
    exchange(c, "x", "y");
    EXPECT_FALSE(kt::closed(c, kt::ms(2500)));
    exchange(c, "still", "there");
    EXPECT_EQ(kt::count(kt::slurp(log), "exceeded"), 0);
}

TEST_F(Relay, MaxConnectPeriodEndsEachConnectionAfreshly) {
    kt::spit(dir / "setup", "Service=" + svc + "\nMaxConnectPeriod=1\nIdleTimeout=0\n");
    up({"-F", dir / "setup"});
    for (int n = 1; n <= 2; ++n) {
        const int c = client();
        exchange(c, "busy", "client");
        EXPECT_TRUE(kt::closed(c));
        EXPECT_TRUE(
            wait_log("] 127.0.0.1 was disconnected, it exceeded MaxConnectPeriod=1 s\n", n));
    }
}

} // namespace
