// The command line and the setup file. What they print, and how they exit, is
// checked on the built binary; the records they fill are checked in-process.
// A binary run must never start a daemon: every command line that could get
// past its checks ends at -S with an empty lock directory, or at the start-up's
// locked-port test through a lock directory holding LCK..null.
#include "config/config.h"
#include "support/process.h"

#include <gtest/gtest.h>
#include <map>
#include <string>

using Fields = std::map<std::string, std::string>;

static Fields
fields() {
    const auto& l = line_settings;
    const auto& s = server_settings;
    const auto rate = std::find_if(kRateTable.begin(), kRateTable.end(),
                                   [&](const Rate& r) { return r.speed == l.speed; });
    return {{"idle", std::to_string(s.idle_timeout)},
            {"max", std::to_string(s.MaxConnectPeriod)},
            {"debug", std::to_string(s.debug)},
            {"dtr", std::to_string(s.DropDTRonSocketClose)},
            {"rts", std::to_string(s.DropRTSonSocketClose)},
            {"speed", rate == kRateTable.end() ? "?" : std::string(rate->text)},
            {"frame", std::to_string(l.data_bits) + "NOE?"[std::min(l.parity, 3)] +
                          std::to_string(l.stop_bits)},
            {"flow", l.flow_control.data()},
            {"service", proc.service_name.data()},
            {"log", proc.LogFileName.data()}};
}

// The defaults with "key=value;" changes applied.
static Fields
defaults_with(const std::string& changes) {
    reset_settings();
    Fields f = fields();
    for (std::size_t b = 0, e; (e = changes.find(';', b)) != std::string::npos; b = e + 1) {
        const std::size_t eq = changes.find('=', b);
        f[changes.substr(b, eq - b)] = changes.substr(eq + 1, e - eq - 1);
    }
    return f;
}

TEST(CommandLine, PrintsAndExits) {
    kt::TempDir empty, locked, files; // no lock; LCK..null; setup files
    kt::spit(locked / "LCK..null", "");
    const std::string E = empty.path, L = locked.path, s16(16, 's');
    const std::string usage = kt::run({KOLVD_BINARY}).out;
    ASSERT_NE(usage.find("\nUsage: kolvd "), usage.npos) << usage;
    const std::string none = "Server not running or lock file not located\n";
    const std::string debug = "kolvd: DebugMode value is not valid\n";
    int n = 0;
    const auto setup = [&](const std::string& text) {
        const std::string path = files / std::to_string(n++);
        kt::spit(path, text);
        return std::vector<std::string>{"-L", L, "-F", path, "null"};
    };
    const auto in_file = [&] { // names the file setup() made last
        return " in setupfile - " + (files / std::to_string(n - 1)) + "\n";
    };
    const struct {
        std::vector<std::string> args;
        std::string out; // "usage": the text above
    } rows[] = {
        {{"-L", L, "-s", "09600", "null"},
         "kolvd: Unsupported bit rate used for -s option argument\n"},
        {{"-L", L, "-z", "0", "null"}, "usage"},
        {{"-L", L, "-z", "3", "null"}, "usage"},
        {{"-c", "xon", "/tmp/x"},
         "Unsupported flow control used for -c option argument\nInvalid port name: /tmp/x\n"},
        // The scan ends at -S or -I: the port must be in place, or come right after.
        {{"-L", E, "-S", "null", "-b"}, "usage"},
        {{"-L", E, "-S", "-b", "null"}, none},
        {{"null", "-L", E, "-S"}, none},
        {{"-L", E, "-I", "-S", "/dev/null", "service"}, none},
        {{"-L", E, "-S", ""}, "Invalid port name: \n"},
        {{"-L", "/" + std::string(83, 'd'), "-S", "null"},
         "kolvd: -L lock directory is longer than 83 characters\n"},
        {{"-L", L, "null", s16}, "kolvd: service name is longer than 15 characters\n"},
        {{"-L", L, "-F", "/" + std::string(255, 'f'), "null"},
         "kolvd: -F setup file path is longer than 255 characters\n"},
        {{"-L", L, "-F", "", "null"}, "kolvd: Could not open setup file: \n"},
        {setup("DebugMode= yes\n"), debug},
        {setup("IdleTimeout=5\nDebugMode=yes\r\n"), debug},
        {setup("DropRTSonSocketClose=Yes\n"), "kolvd: DropRTSonSocketClose value is not valid\n"},
        {setup("PortSettings=8n1\n"), "kolvd: PortSettings value is not valid\n"},
        {setup("PortBitRate=09600\n"),
         "kolvd: PortBitRate=09600 value is not valid as used" + in_file()},
        {setup("Service=" + s16), "kolvd: Service value is longer than 15 characters" + in_file()},
        {setup("LogFileName=" + std::string(80, 'l')),
         "kolvd: LogFileName value is longer than 79 characters" + in_file()}};
    for (const auto& r : rows) {
        std::vector<std::string> args = {KOLVD_BINARY};
        args.insert(args.end(), r.args.begin(), r.args.end());
        const kt::Result got = kt::run(args);
        EXPECT_EQ(got.out, r.out == "usage" ? usage : r.out) << ::testing::PrintToString(r.args);
        EXPECT_EQ(got.status, 1) << ::testing::PrintToString(r.args);
    }
}

// A setup file is read at its -F, on top of the options before it, and ends the scan.
TEST(CommandLine, FillsTheRecordsInOrder) {
    kt::TempDir dir;
    int n = 0;
    const auto setup = [&](const std::string& text) {
        const std::string path = dir / std::to_string(n++);
        kt::spit(path, text);
        return std::vector<std::string>{"-F", path, "null"};
    };
    const std::string empty = setup("")[1];
    const std::string full = setup("PortSettings=8N1\nDebugMode=no\nService=fromfile\n")[1];
    const struct {
        std::vector<std::string> args;
        std::string changes;
        Mode mode = Mode::server;
    } rows[] = {
        {{"-e", "-o", "null"}, "frame=7O1;"},
        {{"-o", "-e", "-z", "2", "-d", "0x10", "null"}, "frame=7E2;idle=160;"},
        {{"null", "svc", "-s", "50", "-c", "XON"}, "speed=50;flow=XON;service=svc;"},
        {{"-z", "2", "-b", "-F", empty, "null", "other"}, "frame=8N2;debug=1;"},
        {{"-z", "2", "-b", "-F", full, "null"}, "service=fromfile;"},
        {{"-F", empty, "-b", "null"}, ""},
        {{"-F", empty, "-S", "null"}, ""},
        {{"-S", "-b", "null"}, "", Mode::shutdown},
        {{"-I", "-z", "2", "null", "svc"}, "", Mode::reinitialise},
        {setup("IdleTimeout=30\nIdleTimeout=60\n"), "idle=600;"},
        {setup("IdleTimeout=0x1E\nMaxConnectPeriod=99999999999\n"), "idle=300;max=4294967295;"},
        {setup("IdleTimeout=010\nMaxConnectPeriod=3600"), "idle=80;max=3600;"},
        {setup("IdleTimeout=abc\nFlowControl=xon\n"), "idle=0;flow=xon;"},
        {setup("IdleTimeout= 30s\r\n"), "idle=300;"},
        {setup("IdleTimeout=-1\n"), "idle=4294967286;"}, // (2^32 - 1) * 10, modulo 2^32
        {setup("IdleTimeout = 30\nidletimeout=30\n#IdleTimeout=5\n=IdleTimeout=5\n[serial]\n"), ""},
        // 150 characters: read as 118, then 32 that hold a line of their own.
        {setup(std::string(118, 'x') + "IdleTimeout=" + std::string(19, ' ') + "7\n"), "idle=70;"},
        {setup("DebugMode=yes\nDropDTRonSocketClose=no\nDropRTSonSocketClose=no\n"),
         "debug=1;dtr=0;rts=0;"},
        {setup("PortBitRate=921600\nPortSettings=7E1\n"), "speed=921600;frame=7E1;"},
        {setup("PortSettings=7O1\nService=serial\r\n"), "frame=7O1;service=serial\r;"},
        {setup("Service=abc\nService=\nLogFileName=/var/log/a=b\n"), "service=;log=/var/log/a=b;"},
        {setup("FlowControl=NONEXXXXXXXX\n"), "flow=NONEXXXXXXX;"}};
    for (const auto& r : rows) {
        std::vector<char*> argv = {const_cast<char*>("kolvd")};
        for (const auto& a : r.args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const Fields want = defaults_with(r.changes);
        EXPECT_EQ(parse_command_line(static_cast<int>(argv.size() - 1), argv.data()), r.mode)
            << ::testing::PrintToString(r.args);
        EXPECT_EQ(fields(), want) << ::testing::PrintToString(r.args);
    }
}
