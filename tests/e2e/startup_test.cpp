// Start-up as a user sees it: the log, the lock file, the refusals, and what
// the detached daemon holds open.
#include "support/daemon.h"

#include <ctime>

using Startup = kt::Daemon;

TEST_F(Startup, LogsLocksAndHoldsOnlyItsOwnDescriptors) {
    const int stray = open("/dev/null", O_RDONLY); // inherited: no close-on-exec
    up();
    close(stray);
    const std::string text = kt::slurp(log);
    std::tm tm{};
    const char* rest = strptime(text.c_str(), "[%b-%d-%Y %T] ", &tm);
    ASSERT_EQ(rest, text.c_str() + 23) << text; // zero-padded: "[Dec-06-2026 02:20:06] "
    EXPECT_EQ(rest, line("STARTING kolvd Ver 7.24 server for "));
    EXPECT_EQ(std::stoi(kt::slurp(lock)), pid);
    // The log three times, the port and the listener.
    const auto fds = kt::fds_of(pid);
    EXPECT_EQ(fds.size(), 5U);
    EXPECT_TRUE(fds.at("0") == log && fds.at("1") == log && fds.at("2") == log);
    exchange(client(), "x", "y");
    EXPECT_EQ(kt::fds_of(pid).size(), 6U);
    EXPECT_EQ(std::filesystem::status(log).permissions(), std::filesystem::perms(0644));
    EXPECT_EQ(std::filesystem::status(lock).permissions(), std::filesystem::perms(0666));
}

// With -N a server neither writes a lock nor minds one; a second server on the
// same service fails at bind and appends to the log.
TEST_F(Startup, NoLockModeAndASecondServerFailingAtBind) {
    up({"-N"});
    EXPECT_FALSE(std::filesystem::exists(lock));
    kt::spit(lock, "     12345\n");
    const std::string before = kt::slurp(log);
    const std::string refusal = "kolvd: bind: Address already in use\n"
                                "Server not started, due to previous error\n";
    const kt::Result second = start({"-N"});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.out, refusal);
    EXPECT_EQ(kt::slurp(log), before + refusal);
    EXPECT_EQ(kt::slurp(lock), "     12345\n");
    exchange(client(), "first", "still serving");
}

// Services by name come from a services file bind-mounted over /etc/services
// in a private mount namespace; the host's file is never touched.
TEST_F(Startup, NamedServiceFromTheServicesDatabase) {
    const std::string unshare = geteuid() == 0 ? "-m" : "-rm";
    if (kt::run({"/usr/bin/unshare", unshare, "true"}).status != 0)
        GTEST_SKIP() << "mount namespaces are not available here";
    kt::spit(dir / "services", "kolvdtest " + svc + "/tcp\n");
    const std::vector<std::string> ns = {
        "/usr/bin/unshare", unshare, "sh", "-c", "mount --bind \"$0\" /etc/services && exec \"$@\"",
        dir / "services"};
    svc = "kolvdtest";
    up({}, ns);
    exchange(client(), "by name", "served");
}

// A start refused after the fork is reported by the launching command: the
// failure's lines on its standard output, status 1, no process left. The log
// gets the same lines. What sits at the lock path is left as it was, and a
// link there is never followed, so its target is neither created nor changed.
TEST_F(Startup, RefusedStarts) {
    const std::string target = dir / "target", tcp_svc = svc, pty = port_name;
    const std::string not_started = "Server not started, due to previous error\n";
    struct Row {
        std::string service, planted, port;
        std::vector<std::string> opts;
        std::string refusal; // the launcher's last lines before not_started
    };
    const Row rows[] = {
        {"65536", "", pty, {}, "65536 - no such service on this host\n"},
        {"0", "", pty, {}, "0 - no such service on this host\n"},
        {"nosuchsvc", "", pty, {}, "nosuchsvc - no such service on this host\n"},
        {"", "", pty, {}, " - no such service on this host\n"},
        {tcp_svc, "lock", pty, {}, "DEVICE LOCKED\n"},
        {tcp_svc, "link to a file", pty, {}, "DEVICE LOCKED\n"},
        // Only the exclusive create sees a link to nothing.
        {tcp_svc, "dangling link", pty, {}, "Could not create lock file: " + dev + "\n"},
        {tcp_svc,
         "",
         "null",
         {},
         "kolvd: ioctl:TCGETA: Inappropriate ioctl for device\n"
         "Could not remove lock file for: /dev/null\n"},
        {tcp_svc,
         "",
         pty,
         {"-f", dir / "none/log"},
         "kolvd: open output file: No such file or directory\n"},
    };
    for (const auto& [service, planted, port, opts, refusal] : rows) {
        SCOPED_TRACE(service + " " + planted + " " + port);
        for (const auto& f : {log, lock, target})
            std::filesystem::remove(f);
        if (planted == "lock")
            kt::spit(lock, "     12345\n");
        else if (!planted.empty())
            std::filesystem::create_symlink(target, lock);
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
            EXPECT_TRUE(!opts.empty() || got.out == text || got.out == text + not_started) << text;
        }
        EXPECT_EQ(kt::slurp(lock), planted == "lock" ? "     12345\n" : kt::slurp(target));
        EXPECT_EQ(std::filesystem::exists(target), planted == "link to a file");
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
        std::filesystem::remove(log);
        const kt::Result r = start({}, {"/bin/sh", "-c", "exec \"$@\" " + closing, "sh"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, closing.find(">&-") == closing.npos ? lines : "");
        EXPECT_EQ(kt::slurp(log), lines);
        EXPECT_EQ(adopted, -1);
    }
    std::signal(SIGPIPE, SIG_IGN);
}
