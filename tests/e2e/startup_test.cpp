// Start-up as a user sees it: the log, the lock file, the refusals, and what
// the detached daemon holds open.
#include "support/daemon.h"

#include <ctime>

namespace {

using Startup = kt::Daemon;

std::string
stamp(std::time_t t) {
    char text[40];
    std::tm local{};
    std::strftime(text, sizeof text, "[%b-%d-%Y %T] ", localtime_r(&t, &local));
    return text;
}

TEST_F(Startup, StartsLocksAndAppendsToItsLog) {
    kt::spit(log, "earlier line\n");
    const std::time_t before = std::time(nullptr);
    up();
    const std::string text = kt::slurp(log);
    bool stamped = false;
    for (std::time_t t = before; t <= std::time(nullptr); ++t)
        stamped |=
            text == "earlier line\n" + stamp(t) + line("STARTING kolvd Ver 7.24 server for ");
    EXPECT_TRUE(stamped) << text;
    char pid_text[16];
    std::snprintf(pid_text, sizeof pid_text, "%10d\n", pid);
    EXPECT_EQ(kt::slurp(lock), pid_text);
}

TEST_F(Startup, NoLockModeStartsWithoutALockAndIsOutOfReachOfControl) {
    up({"-N"});
    EXPECT_FALSE(std::filesystem::exists(lock));
    const kt::Result r = control("-S");
    EXPECT_EQ(r.out, "Server not running or lock file not located\n");
    EXPECT_EQ(r.status, 1);
    exchange(client(), "still here", "yes");
}

TEST_F(Startup, UnknownServiceIsNotStarted) {
    for (const char* name : {"65536", "0", "nosuchsvc", ""}) {
        SCOPED_TRACE(name);
        std::filesystem::remove(log);
        svc = name;
        ASSERT_EQ(start({}).status, 0);
        ASSERT_EQ(finish(adopted), 1);
        EXPECT_EQ(kt::slurp(log), svc + " - no such service on this host\n" +
                                      "Server not started, due to previous error\n");
        EXPECT_FALSE(std::filesystem::exists(lock));
    }
}

TEST_F(Startup, SecondServerOnTheSamePortFailsAtBind) {
    up();
    ASSERT_EQ(launch({KOLVD_BINARY, "-N", "-f", dir / "log2", port_name, svc}).status, 0);
    EXPECT_EQ(finish(adopted), 1);
    EXPECT_EQ(kt::slurp(dir / "log2"), "kolvd: bind: Address already in use\n"
                                       "Server not started, due to previous error\n");
    exchange(client(), "first", "still serving");
}

// Services by name come from a services file bind-mounted over /etc/services
// in a private mount namespace; the host's file is never touched.
TEST_F(Startup, NamedServiceFromTheServicesDatabase) {
    const std::string unshare = geteuid() == 0 ? "-m" : "-rm";
    if (kt::run({"/usr/bin/unshare", unshare, "true"}).status != 0)
        GTEST_SKIP() << "mount namespaces are not available here";
    kt::spit(dir / "services", "kolvdtest " + svc + "/tcp\n");
    kt::spit(dir / "setup", "Service=kolvdtest\r\n");
    const std::vector<std::string> ns = {
        "/usr/bin/unshare", unshare, "sh", "-c", "mount --bind \"$0\" /etc/services && exec \"$@\"",
        dir / "services"};
    ASSERT_EQ(start({"-F", dir / "setup"}, ns).status, 0);
    EXPECT_EQ(finish(adopted), 1);
    EXPECT_EQ(kt::slurp(log), "kolvdtest\r - no such service on this host\n"
                              "Server not started, due to previous error\n");
    svc = "kolvdtest";
    up({}, ns);
    exchange(client(), "by name", "served");
}

// Whatever sits at the lock path stops the start and is left as it was; a
// link there is never followed, so its target is neither created nor changed.
TEST_F(Startup, AnythingAtTheLockPathRefusesTheStart) {
    const std::string target = dir / "target";
    for (const std::string planted : {"lock", "link to a file", "dangling link"}) {
        SCOPED_TRACE(planted);
        std::filesystem::remove(lock), std::filesystem::remove(target);
        if (planted == "lock")
            kt::spit(lock, "     12345\n");
        else
            std::filesystem::create_symlink(target, lock);
        if (planted == "link to a file")
            kt::spit(target, "precious");
        const kt::Result r = start({});
        if (planted == "dangling link") { // only the exclusive create sees it
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(finish(adopted), 1);
            EXPECT_TRUE(kt::slurp(log).ends_with("Could not create lock file: " + dev +
                                                 "\nServer not started, due to previous error\n"));
        } else {
            EXPECT_EQ(r.out, "DEVICE LOCKED\n");
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(adopted, -1); // refused before the fork
        }
        EXPECT_EQ(kt::slurp(lock), planted == "lock" ? "     12345\n" : kt::slurp(target));
        EXPECT_EQ(std::filesystem::exists(target), planted == "link to a file");
    }
}

// Kinds of what the daemon holds open; 0, 1 and 2 must be the log.
std::vector<std::string>
held(pid_t pid, const std::string& log, const std::string& dev) {
    std::vector<std::string> kinds;
    for (const auto& [fd, to] : kt::fds_of(pid))
        kinds.push_back(to == log ? (fd.size() == 1 && fd < "3" ? "log" : "log@" + fd)
                                  : (to == dev ? "serial" : to.substr(0, to.find(':'))));
    std::sort(kinds.begin(), kinds.end());
    return kinds;
}

TEST_F(Startup, HoldsOnlyItsOwnDescriptorsAndCreatesFilesWithTheirModes) {
    const int stray = open("/dev/null", O_RDONLY); // inherited: no close-on-exec
    up();
    close(stray);
    std::vector<std::string> expected = {"log", "log", "log", "pipe", "pipe", "serial", "socket"};
    EXPECT_EQ(held(pid, log, dev), expected);
    exchange(client(), "x", "y");
    expected.push_back("socket");
    EXPECT_EQ(held(pid, log, dev), expected);
    struct stat st {};
    EXPECT_TRUE(stat(log.c_str(), &st) == 0 && (st.st_mode & 07777) == 0644);
    EXPECT_TRUE(stat(lock.c_str(), &st) == 0 && (st.st_mode & 07777) == 0666);
}

} // namespace
