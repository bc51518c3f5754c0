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
    // The log three times, the signal pipe's two ends, the port and the listener.
    const auto fds = kt::fds_of(pid);
    EXPECT_EQ(fds.size(), 7U);
    EXPECT_TRUE(fds.at("0") == log && fds.at("1") == log && fds.at("2") == log);
    exchange(client(), "x", "y");
    EXPECT_EQ(kt::fds_of(pid).size(), 8U);
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
    ASSERT_EQ(start({"-N"}).status, 0);
    EXPECT_EQ(finish(adopted), 1);
    EXPECT_EQ(kt::slurp(log), before + "kolvd: bind: Address already in use\n"
                                       "Server not started, due to previous error\n");
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

// A service this host does not have, or anything at the lock path, stops the
// start; what sits there is left as it was, and a link there is never followed,
// so its target is neither created nor changed.
TEST_F(Startup, RefusedStarts) {
    const std::string target = dir / "target", tcp_svc = svc;
    // The service, what is planted at the lock path, and the refusal.
    const std::tuple<std::string, std::string, std::string> rows[] = {
        {"65536", "", "65536 - no such service on this host\n"},
        {"0", "", "0 - no such service on this host\n"},
        {"nosuchsvc", "", "nosuchsvc - no such service on this host\n"},
        {"", "", " - no such service on this host\n"},
        {tcp_svc, "lock", "DEVICE LOCKED\n"},
        {tcp_svc, "link to a file", "DEVICE LOCKED\n"},
        // Only the exclusive create sees a link to nothing.
        {tcp_svc, "dangling link", "Could not create lock file: " + dev + "\n"}};
    for (const auto& [service, planted, refusal] : rows) {
        SCOPED_TRACE(service + " " + planted);
        for (const auto& f : {log, lock, target})
            std::filesystem::remove(f);
        if (planted == "lock")
            kt::spit(lock, "     12345\n");
        else if (!planted.empty())
            std::filesystem::create_symlink(target, lock);
        if (planted == "link to a file")
            kt::spit(target, "precious");
        svc = service;
        const kt::Result got = start({});
        if (refusal == "DEVICE LOCKED\n") { // refused before the fork
            EXPECT_EQ(got.out, refusal);
            EXPECT_EQ(got.status, 1);
            EXPECT_EQ(adopted, -1);
        } else {
            EXPECT_EQ(finish(adopted), 1);
            EXPECT_TRUE(
                kt::slurp(log).ends_with(refusal + "Server not started, due to previous error\n"));
        }
        EXPECT_EQ(kt::slurp(lock), planted == "lock" ? "     12345\n" : kt::slurp(target));
        EXPECT_EQ(std::filesystem::exists(target), planted == "link to a file");
    }
}
