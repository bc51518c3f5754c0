// Start-up as a user sees it: the log, the lock file, what the detached daemon
// holds open, its first client, and the refusals.
#include "support/daemon.h"

#include <ctime>

using Startup = kt::Daemon;

static std::string
hex_dumps(const std::string& log, const std::string& label) {
    std::string all;
    for (auto at = log.find(label); at != std::string::npos; at = log.find(label, at + 1))
        all += log.substr(at + label.size(), log.find('\n', at) - at - label.size());
    return all;
}

// The first client gets every byte value both ways, dumped with -b, and a
// socket that probes a peer gone without FIN or RST within a minute, not the
// system's two hours.
TEST_F(Startup, LogsLocksRelaysAndHoldsOnlyItsOwnDescriptors) {
    const int stray = open("/dev/null", O_RDONLY); // inherited: no close-on-exec
    up({"-b"});
    close(stray);
    const std::string text = kt::slurp(log);
    std::tm tm{};
    ASSERT_EQ(strptime(text.c_str(), "[%b-%d-%Y %T] ", &tm), text.c_str() + 23) << text;
    EXPECT_TRUE(kt::untimed(text).starts_with(line("[T] STARTING kolvd Ver 7.24 server for ") +
                                              line("Open and setup serial port ") +
                                              line("Create lock file for ")))
        << text;
    // The log three times, the port and the listener.
    const auto fds = kt::fds_of(pid);
    EXPECT_EQ(fds.size(), 5U);
    EXPECT_TRUE(fds.at("0") == log && fds.at("1") == log && fds.at("2") == log);
    EXPECT_EQ(kt::fs::status(log).permissions(), kt::fs::perms(0644));
    EXPECT_EQ(kt::fs::status(lock).permissions(), kt::fs::perms(0666));
    std::string all, dump = "<41h><42h>";
    for (int i = 0; i < 256; ++i) {
        char one[8];
        std::snprintf(one, sizeof one, "<%02Xh>", i);
        all += static_cast<char>(i), dump += one;
    }
    const int c = client();
    exchange(c, "AB", "AB");
    exchange(c, all, all);
    EXPECT_EQ(kt::fds_of(pid).size(), 6U);
    for (const char* label : {"kolvd got:", "kolvd sent:"})
        EXPECT_TRUE(kt::wait_until([&] { return hex_dumps(kt::slurp(log), label) == dump; }))
            << label << "\n"
            << kt::slurp(log);
    unsigned long when = 0; // until the keepalive probe, once nothing else is pending
    EXPECT_TRUE(kt::wait_until([&] {
        std::istringstream table(kt::slurp("/proc/net/tcp"));
        unsigned port = 0, state = 0, timer = 0;
        for (std::string l; std::getline(table, l);)
            if (std::sscanf(l.c_str(), " %*u: %*x:%x %*x:%*x %x %*x:%*x %x:%lx", &port, &state,
                            &timer, &when) == 4 &&
                port == static_cast<unsigned>(tcp) && state == 1)
                return timer == 2;
        return false;
    }));
    EXPECT_LE(when, 60 * static_cast<unsigned long>(sysconf(_SC_CLK_TCK)));
}

// Services by name come from a services file bind-mounted over /etc/services
// in a private mount namespace; the host's file is never touched.
TEST_F(Startup, NamedServiceFromTheServicesDatabase) {
    const std::string unshare = geteuid() == 0 ? "-m" : "-rm";
    if (kt::run({"/usr/bin/unshare", unshare, "true"}).status != 0)
        GTEST_SKIP() << "mount namespaces are not available here";
    kt::spit(dir / "services", "kolvdtest " + svc + "/tcp\n");
    const std::string mount = "mount --bind \"$0\" /etc/services && exec \"$@\"";
    svc = "kolvdtest";
    up({}, {"/usr/bin/unshare", unshare, "sh", "-c", mount, dir / "services"});
    exchange(client(), "by name", "served");
}

// A start refused after the fork is reported by the launching command: the
// failure's lines on its standard output, status 1, no process left. The log
// gets the same lines. What sits at the lock path is left as it was, and a
// link there is never followed, so its target is neither created nor changed.
// A server with -N, which neither writes a lock nor minds one, holds `busy`.
TEST_F(Startup, RefusedStarts) {
    up({"-N"});
    EXPECT_FALSE(kt::fs::exists(lock));
    const std::string target = dir / "target", busy = svc, pty = port_name;
    const std::string tcp_svc = std::to_string(kt::loopback(0, true));
    const std::vector<std::string> no_log = {"-f", dir / "none/log"};
    const std::string not_started = "Server not started, due to previous error\n";
    const std::string no_service = " - no such service on this host\n";
    const std::string not_a_terminal = "kolvd: ioctl:TCGETA: Inappropriate ioctl for device\n"
                                       "Could not remove lock file for: /dev/null\n";
    const struct {
        std::string service, planted, port, refusal; // the launcher's lines before not_started
        std::vector<std::string> opts = {};
    } rows[] = {
        {"65536", "", pty, "65536" + no_service},
        {"0", "", pty, "0" + no_service},
        {"nosuchsvc", "", pty, "nosuchsvc" + no_service},
        {"", "", pty, no_service},
        {tcp_svc, "lock", pty, "DEVICE LOCKED\n"},
        {busy, "lock", pty, "kolvd: bind: Address already in use\n", {"-N"}},
        {tcp_svc, "link to a file", pty, "DEVICE LOCKED\n"},
        // Only the exclusive create sees a link to nothing.
        {tcp_svc, "dangling link", pty, "Could not create lock file: " + dev + "\n"},
        {tcp_svc, "", "null", not_a_terminal},
        {tcp_svc, "", pty, "kolvd: open output file: No such file or directory\n", no_log},
    };
    for (const auto& [service, planted, port, refusal, opts] : rows) {
        SCOPED_TRACE(service + " " + planted + " " + port);
        for (const auto& f : {log, lock, target})
            kt::fs::remove(f);
        if (planted == "lock")
            kt::spit(lock, "     12345\n");
        else if (!planted.empty())
            kt::fs::create_symlink(target, lock);
        if (planted == "link to a file")
            kt::spit(target, "precious");
        svc = service;
        port_name = port;
        const kt::Result got = start(opts);
        EXPECT_EQ(got.status, 1);
        EXPECT_EQ(adopted, -1);             // nothing runs on
        if (refusal == "DEVICE LOCKED\n") { // refused before the fork
            EXPECT_EQ(got.out, refusal);
        } else {
            EXPECT_TRUE(got.out.ends_with(refusal + not_started)) << got.out;
            // The log has the same lines; a failed line setting ends without
            // the last one there.
            const std::string text = kt::slurp(log);
            EXPECT_TRUE(got.out == text || got.out == text + not_started || opts == no_log) << text;
        }
        EXPECT_EQ(kt::slurp(lock), planted == "lock" ? "     12345\n" : kt::slurp(target));
        EXPECT_EQ(kt::fs::exists(target), planted == "link to a file");
    }
}

// With standard input, output or error closed, a failed start still exits 1
// and says why wherever it still can: the launcher's own descriptors must not
// take the places of the closed ones. SIGPIPE is as a shell leaves it.
TEST_F(Startup, FailedStartWithStandardStreamsClosed) {
    svc = "nosuchsvc";
    std::signal(SIGPIPE, SIG_DFL);
    const std::string lines = "nosuchsvc - no such service on this host\n"
                              "Server not started, due to previous error\n";
    for (const std::string closing : {">&-", ">&- 2>&-", "<&-", "<&- >&- 2>&-"}) {
        SCOPED_TRACE(closing);
        kt::fs::remove(log);
        const kt::Result r = start({}, {"/bin/sh", "-c", "exec \"$@\" " + closing, "sh"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, closing.find(">&-") == closing.npos ? lines : "");
        EXPECT_EQ(kt::slurp(log), lines);
        EXPECT_EQ(adopted, -1);
    }
    std::signal(SIGPIPE, SIG_IGN);
}
