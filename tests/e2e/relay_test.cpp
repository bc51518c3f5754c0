// The relay between one client and the device: every byte value, debug dumps,
// and the idle timeout (a megabyte each way: stream_test).
#include "support/daemon.h"

using Relay = kt::Daemon;

static std::string
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
        EXPECT_TRUE(kt::wait_until([&] { return hex_dumps(kt::slurp(log), label) == dump; }))
            << label << "\n"
            << kt::slurp(log);
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
