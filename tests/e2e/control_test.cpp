// Shutdown by signal or by the device hanging up, in every state of the server,
// and the -S and -I commands against running servers and lock files that lie.
#include "support/daemon.h"

// Phase 0 idle, 1 relaying, 2 blocked writing to a device that never drains;
// the end comes from SIGHUP, SIGTERM, or (0) the device hanging up, which the
// port, as the daemon's controlling terminal, turns into a SIGHUP.
class Shutdown : public kt::Daemon, public ::testing::WithParamInterface<std::tuple<int, int>> {};

TEST_P(Shutdown, WritesItsLineRemovesTheLockAndExits) {
    const auto [phase, sig] = GetParam();
    up();
    const int c = phase > 0 ? client() : -1;
    if (c >= 0)
        exchange(c, "x", "y");
    const std::string flood = kt::bytes(1 << 16);
    pollfd p{c, POLLOUT, 0};
    for (int i = 0; phase == 2 && i < 10000; ++i) // until the daemon stops taking bytes
        if (send(c, flood.data(), flood.size(), 0) < 0 && poll(&p, 1, 300) == 0)
            break;
    if (sig == 0)
        close(master), master = -1;
    else
        kill(pid, sig);
    EXPECT_EQ(finish(), sig == SIGTERM ? 1 : 0);
    const std::string text = kt::slurp(log);
    EXPECT_TRUE(text.ends_with(shutdown_line(sig))) << text;
    // The chunk the port never took is reported once, as is a hang-up.
    const std::string held = "kolvd: write to serial port: Resource temporarily unavailable\n";
    EXPECT_EQ(kt::count(text, held), phase == 2) << text;
    EXPECT_EQ(kt::count(text, "kolvd: serial port " + dev + " hung up\n"), sig == 0) << text;
    EXPECT_EQ(kt::count(text, "kolvd: "), (phase == 2) + (sig == 0)) << text;
    EXPECT_FALSE(std::filesystem::exists(lock));
    EXPECT_TRUE(c < 0 || kt::closed(c));
}

INSTANTIATE_TEST_SUITE_P(EveryState, Shutdown,
                         ::testing::Combine(::testing::Values(0, 1, 2),
                                            ::testing::Values(SIGHUP, SIGTERM, 0)));

using Control = kt::Daemon;

TEST_F(Control, ReinitialiseDropsOnlyAClientAndShutdownEndsTheServer) {
    up();
    const auto command = [&](const char* opt, const std::string& what) {
        const kt::Result r = control(opt);
        EXPECT_EQ(r.out, "Sent " + what + " server on " + dev + "\n");
        EXPECT_EQ(r.status, 0);
    };
    const int first = client();
    exchange(first, "first", "client");
    close(first);
    ASSERT_TRUE(wait_log(line("] 127.0.0.1 disconnects from ")));
    command("-I", "SIGUSR1 signal to reinitialize"); // no client: nothing changes
    // Bytes the device sends while nobody is connected are not for the next client.
    ASSERT_EQ(write(master, "stale", 5), 5);
    const int c = client();
    exchange(c, "after", "an idle -I");
    command("-I", "SIGUSR1 signal to reinitialize");
    EXPECT_TRUE(kt::closed(c));
    EXPECT_EQ(kt::count(kt::slurp(log), line("] REINITIALIZE kolvd server on ")), 1);
    exchange(client(), "next", "client");
    EXPECT_EQ(kt::count(kt::slurp(log), line("] 127.0.0.1 connects to ")), 3);
    command("-S", "SIGHUP signal to shutdown");
    EXPECT_EQ(finish(), 0);
    EXPECT_FALSE(std::filesystem::exists(lock));
}

// A lock file's content (none, or "FIFO": not a regular file), the
// command, and what it prints. No process can have the id 2147483647: such a
// lock is stale.
constexpr std::tuple<const char*, const char*, const char*> kLockCases[] = {
    {nullptr, "-S", "Server not running or lock file not located\n"},
    {"2147483647\n", "-S", "Unable to kill server pid 2147483647\n"},
    {"0x7fffffff\n", "-I", "kolvd: Unable to reinitialize server pid 2147483647\n"},
    {"1\n", "-S", "A server pid of 1 does not make sense\n"},
    {"junk\n", "-I", "A server pid of 0 does not make sense\n"},
    {"", "-S", "A server pid of -1 does not make sense\n"},
    {"FIFO", "-I", "A server pid of -1 does not make sense\n"},
};

TEST_F(Control, LockFilesThatDoNotNameARunningServer) {
    for (const auto& [planted, opt, out] : kLockCases) {
        const std::string content = planted ? planted : "(none)";
        SCOPED_TRACE(content + opt);
        std::filesystem::remove_all(lock);
        if (content == "FIFO")
            mkfifo(lock.c_str(), 0666);
        else if (planted)
            kt::spit(lock, content);
        const kt::Result r = control(opt);
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.err, kt::count(r.out, "nable") ? "kolvd: kill: No such process\n" : "");
        EXPECT_EQ(r.status, 1);
    }
}

TEST_F(Control, ForeignLockIsNeverRemoved) {
    up();
    kt::spit(lock, "         1\n");
    kill(pid, SIGHUP);
    EXPECT_EQ(finish(), 0);
    EXPECT_TRUE(kt::slurp(log).ends_with("Could not remove lock file for: " + dev + "\n"));
    EXPECT_EQ(kt::slurp(lock), "         1\n");
}

// -I while the daemon writes to a port that drains slowly: the signal meets
// it blocked, between writes, or about to write, and must drop the client
// every time.
TEST_F(Control, ReinitialiseDropsAClientWhateverItsPortWriteIsDoing) {
    up();
    const std::string flood = kt::bytes(1 << 16);
    char sink[4096];
    for (int i = 0; i < 50; ++i) {
        SCOPED_TRACE(i);
        const int c = client();
        exchange(c, "x", "y");
        while (send(c, flood.data(), flood.size(), 0) > 0) {
        }
        for (int k = 0; k < i % 5; ++k) // room for a few more writes
            (void)!read(master, sink, sizeof sink);
        usleep(static_cast<useconds_t>(i * 40));
        kill(pid, SIGUSR1);
        ASSERT_TRUE(kt::closed(c));
        close(c);
        ASSERT_TRUE(wait_log(line("] REINITIALIZE kolvd server on "), i + 1));
        while (read(master, sink, sizeof sink) > 0) { // what reached the device before the drop
        }
    }
    const std::string text = kt::slurp(log); // a chunk the port had not taken is reported
    EXPECT_EQ(kt::count(text, "kolvd: "),
              kt::count(text, "kolvd: write to serial port: Resource temporarily unavailable\n"));
}

namespace {

// A process of the test's own holding the port, killed and reaped by pid when
// the test ends.
struct Bystander {
    pid_t pid = -1;
    Bystander(std::vector<std::string> argv, const std::string& port) {
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, port.c_str(), O_RDWR, 0);
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
    }
    ~Bystander() {
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
    }
};

std::string
planted(pid_t p) {
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", p);
    return text;
}

} // namespace

// The lock names a process that is not the server of the port, or one that
// /proc cannot tell about; neither command signals it, and each says why:
// - another program holding the port, or a kolvd serving another port;
// - the server, with /proc showing nothing of it (a tmpfs over its /proc/PID
//   in a mount namespace of the command's own, as hidepid or a /proc that is
//   not mounted would); that a process is gone is still told, by kill;
// - a process whose descriptors are closed even to its own user: a setgid
//   copy of sleep run by nobody is not dumpable (named sleep, or kolvd).
// The server itself, run by another name, is still signalled.
TEST_F(Control, OnlyTheServerOfThePortIsSignalled) {
    const std::string renamed = dir / "serial-gateway", bin = dir / "bin";
    up({}, {"/bin/sh", "-c", "ln -s \"$0\" " + renamed + " && exec " + renamed + " \"$@\""});
    const int c = client();
    exchange(c, "x", "y");
    const kt::Pty elsewhere;
    const std::string own_port = port_name, own_svc = svc, own_log = log;
    port_name = elsewhere.dev.substr(5), svc = std::to_string(kt::loopback(0, true));
    log = dir / "elsewhere.log";
    ASSERT_EQ(start({"-N"}).status, 0);
    const pid_t other_kolvd = adopted;
    port_name = own_port, svc = own_svc, log = own_log;
    const Bystander holder({"/bin/sleep", "60"}, dev);

    std::filesystem::create_directory(bin);
    std::filesystem::permissions(dir.path, std::filesystem::perms(0755));
    for (const auto& [from, to] :
         {std::pair{"/bin/sleep", "sleep"}, {"/bin/sleep", "kolvd"}, {KOLVD_BINARY, "control"}}) {
        std::filesystem::copy_file(from, bin + "/" + to);
        chmod((bin + "/" + to).c_str(), std::string(to) == "control" ? 0755 : 02755);
    }
    const bool privileged =
        geteuid() == 0 && kt::run({"/usr/bin/unshare", "-m", "true"}).status == 0;
    const std::vector<std::string> nobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                             "--clear-groups"};
    const auto as_nobody = [&](const std::string& program) {
        std::vector<std::string> argv = privileged ? nobody : std::vector<std::string>{};
        argv.insert(argv.end(), {bin + "/" + program, "60"});
        return argv;
    };
    const Bystander sleeper(as_nobody("sleep"), dev), impostor(as_nobody("kolvd"), dev);

    const auto not_server = [&](pid_t p) {
        return "kolvd: pid " + std::to_string(p) + " is not the server of " + dev + "\n";
    };
    const auto cannot_tell = [&](pid_t p, const std::string& entry, const std::string& why) {
        const std::string id = std::to_string(p);
        return "kolvd: cannot tell whether pid " + id + " is the server of " + dev + ": /proc/" +
               id + "/" + entry + ": " + why + "\n";
    };
    const std::vector<std::string> hide_server = {"/usr/bin/unshare",
                                                  "-m",
                                                  "sh",
                                                  "-c",
                                                  "mount -t tmpfs none /proc/" +
                                                      std::to_string(pid) + " && exec \"$@\"",
                                                  "sh"};
    struct Row {
        bool privileged;
        std::vector<std::string> prefix;
        pid_t target;
        std::string opt, err;
    };
    const Row rows[] = {
        {false, {}, holder.pid, "-S", not_server(holder.pid)},
        {false, {}, other_kolvd, "-I", not_server(other_kolvd)},
        {true, hide_server, pid, "-S", cannot_tell(pid, "comm", "No such file or directory")},
        {true, hide_server, 2147483647, "-I", "kolvd: kill: No such process\n"},
        {true, nobody, sleeper.pid, "-S", not_server(sleeper.pid)},
        {true, nobody, impostor.pid, "-I", cannot_tell(impostor.pid, "fd", "Permission denied")},
    };
    for (const auto& [needs_root, prefix, target, opt, err] : rows) {
        if (needs_root && !privileged)
            continue;
        SCOPED_TRACE(err);
        kt::spit(lock, planted(target));
        std::vector<std::string> argv = prefix;
        argv.insert(argv.end(), {bin + "/control", "-L", locks, opt, port_name});
        const kt::Result r = kt::run(argv);
        const std::string id = std::to_string(target);
        EXPECT_EQ(r.out, opt == "-S" ? "Unable to kill server pid " + id + "\n"
                                     : "kolvd: Unable to reinitialize server pid " + id + "\n");
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.status, 1);
    }
    for (const pid_t p : {holder.pid, sleeper.pid, impostor.pid})
        EXPECT_EQ(waitpid(p, nullptr, WNOHANG), 0) << p;
    EXPECT_EQ(waitpid(other_kolvd, nullptr, WNOHANG), 0);
    exchange(c, "the client", "still served");
    kt::spit(lock, planted(pid));
    EXPECT_EQ(control("-S").status, 0);
    EXPECT_EQ(finish(), 0);
    if (!privileged)
        GTEST_SKIP() << "rows that need root and mount namespaces were skipped";
}

// Started by a process that blocked (or ignored) SIGHUP, SIGTERM and SIGUSR1,
// the server still obeys -I, and then -S or SIGTERM.
class InheritedSignals : public kt::Daemon,
                         public ::testing::WithParamInterface<std::tuple<bool, int>> {};

TEST_P(InheritedSignals, LeaveTheServerObeyingControl) {
    const auto [ignored, end] = GetParam();
    const int sigs[] = {SIGHUP, SIGTERM, SIGUSR1};
    sigset_t blocked, old_mask;
    sigemptyset(&blocked);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    std::array<struct sigaction, 3> old{};
    for (std::size_t i = 0; i < 3; ++i) {
        sigaddset(&blocked, sigs[i]);
        sigaction(sigs[i], ignored ? &ignore : nullptr, &old[i]);
    }
    sigprocmask(SIG_BLOCK, ignored ? nullptr : &blocked, &old_mask);
    up();
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    for (std::size_t i = 0; i < 3; ++i)
        sigaction(sigs[i], &old[i], nullptr);
    ASSERT_FALSE(HasFatalFailure());
    const int c = client();
    exchange(c, "x", "y");
    EXPECT_EQ(control("-I").status, 0);
    EXPECT_TRUE(kt::closed(c));
    if (end == SIGHUP)
        EXPECT_EQ(control("-S").status, 0);
    else
        kill(pid, SIGTERM);
    EXPECT_EQ(finish(), end == SIGTERM ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(BlockedOrIgnored, InheritedSignals,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(SIGHUP, SIGTERM)));
