// The ends of a connection and of the server, in every state, and the -S and
// -I commands against running servers and lock files that lie. Every daemon
// here was started with its signals blocked and ignored (daemon.h).
#include "support/daemon.h"

// Phase 0 idle, 1 relaying, 2 with a chunk the port never takes, 3 with one
// the client never takes. The end: SIGHUP or SIGTERM, or the device hanging
// up: as the port is the daemon's controlling terminal, by a SIGHUP (0), or,
// while another session holds it as its own (-1), by no signal at all. These
// end the server. A -I (SIGUSR1), the end of MaxConnectPeriod (SIGALRM) or a
// client's reset (-2) end the connection only. A chunk held at the end is
// reported once, with the error of the write that left it, or the send's own.
class End : public kt::Daemon, public ::testing::WithParamInterface<std::tuple<int, int>> {};

TEST_P(End, ReportsWhatWasHeldAndEndsTheServerOrTheConnection) {
    const auto [phase, end] = GetParam();
    const kt::Child other(
        end == -1 ? kt::spawn({"/usr/bin/setsid", "-c", "/bin/sleep", "60"}, {dev, "", ""}) : -1);
    ASSERT_TRUE(end != -1 || kt::wait_until([&] {
                    return kt::slurp("/proc/" + std::to_string(other.pid) + "/comm") == "sleep\n";
                }));
    const std::string period = end == SIGALRM ? "1" : "0";
    kt::spit(dir / "setup", "MaxConnectPeriod=" + period + "\nIdleTimeout=0\nService=" + svc);
    up({"-F", dir / "setup"});
    const int c = phase > 0 ? served() : -1;
    if (phase >= 2) { // until it has taken nothing for 300 ms
        const std::string chunk = kt::bytes(1 << 16);
        kt::wait_until([&, fd = phase == 2 ? c : master] {
            pollfd p{fd, POLLOUT, 0};
            return write(fd, chunk.data(), chunk.size()) < 0 && poll(&p, 1, 300) == 0;
        });
    }
    const linger reset{1, 0};
    if (end == -2)
        setsockopt(c, SOL_SOCKET, SO_LINGER, &reset, sizeof reset), close(c);
    else if (end <= 0)
        close(master), master = -1;
    else if (end != SIGALRM)
        kill(pid, end);
    const std::string why =
        end == -2 ? "Connection reset by peer\n" : "Resource temporarily unavailable\n";
    const std::string held = phase == 2   ? "kolvd: write to serial port: " + why
                             : phase == 3 ? "kolvd: write socket: " + why
                                          : "";
    if (end == SIGUSR1 || end == SIGALRM || end == -2) { // its line and the report
        const std::string line_of_end =
            end == SIGUSR1   ? line("] REINITIALIZE kolvd server on ")
            : end == SIGALRM ? "] 127.0.0.1 was disconnected, it exceeded MaxConnectPeriod=1 s\n"
                             : line("] 127.0.0.1 disconnects from ");
        const std::string tail = end == -2 ? held + "[T" + line_of_end : "[T" + line_of_end + held;
        EXPECT_TRUE(kt::wait_until([&] { return kt::untimed(kt::slurp(log)).ends_with(tail); }))
            << kt::slurp(log);
        tcflush(master, TCIOFLUSH);
        const int next = client(); // with a period of its own
        exchange(next, "next", "client");
        EXPECT_TRUE(end != SIGALRM || (kt::closed(next) && wait_log(line_of_end, 2)));
        EXPECT_EQ(kt::count(kt::slurp(log), "kolvd: "), 1) << kt::slurp(log);
        return;
    }
    EXPECT_EQ(finish(), end == SIGTERM ? 1 : 0);
    const std::string hung_up = end <= 0 ? "kolvd: serial port " + dev + " hung up\n" : "";
    const std::string text = kt::slurp(log);
    const std::string shutdown = "[T] SHUTDOWN kolvd server for " + dev;
    EXPECT_TRUE(kt::untimed(text).ends_with(held + hung_up + shutdown +
                                            (end == SIGTERM ? " - Received SIGTERM\n" : "\n")))
        << text;
    EXPECT_EQ(kt::count(text, "kolvd: "), (phase == 2) + (end <= 0)) << text;
    EXPECT_FALSE(kt::fs::exists(lock));
    EXPECT_TRUE(c < 0 || kt::closed(c));
}

INSTANTIATE_TEST_SUITE_P(OfTheServer, End,
                         ::testing::Combine(::testing::Values(0, 1, 2),
                                            ::testing::Values(SIGHUP, SIGTERM, 0, -1)));
INSTANTIATE_TEST_SUITE_P(OfTheConnection, End,
                         ::testing::Values(std::tuple{2, SIGUSR1}, std::tuple{2, SIGALRM},
                                           std::tuple{3, SIGUSR1}, std::tuple{3, -2}));

using Control = kt::Daemon;

// A lock that names no running server: none, not a regular file, no pid that
// makes sense, a pid no process can have (stale). Or a process that is not
// the server of the port, or one that /proc cannot tell about; neither command
// signals it, and each says why:
// - another program holding the port;
// - the server, with /proc showing nothing of it (a tmpfs over its /proc/PID
//   in a mount namespace of the command's own, as hidepid or a /proc that is
//   not mounted would); that a process is gone is still told, by kill;
// - a kolvd that does not hold the port (a copy of sleep of that name); or
//   one whose descriptors are closed even to its own user, as the same copy,
//   setgid and run by nobody, is not dumpable.
// The server itself, run by another name, is still signalled: a -I with no
// client changes nothing, and bytes the device sent meanwhile are not for the
// next one. The -S leaves connections the server closed in TIME_WAIT; the next
// server binds at once all the same, appends to the log, and leaves a lock
// that is not its own in place when it ends.
TEST_F(Control, OnlyTheServerOfThePortIsSignalled) {
    const std::string renamed = dir / "serial-gateway", bin = dir / "bin";
    up({}, {"/bin/sh", "-c", "ln -s \"$0\" " + renamed + " && exec " + renamed + " \"$@\""});
    const std::string sent = "Sent SIGUSR1 signal to reinitialize server on " + dev + "\n";
    EXPECT_EQ(control("-I").out, sent);
    ASSERT_EQ(write(master, "stale", 5), 5);
    const int c = served();
    kt::fs::permissions(dir.path, kt::fs::perms(0755));
    kt::fs::create_directory(bin);
    kt::fs::copy_file(KOLVD_BINARY, bin + "/control"); // for nobody to run
    kt::fs::copy_file("/bin/sleep", bin + "/kolvd");
    chmod((bin + "/kolvd").c_str(), 02755);
    const bool privileged =
        geteuid() == 0 && kt::run({"/usr/bin/unshare", "-m", "true"}).status == 0;
    const std::vector<std::string> nobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                             "--clear-groups"};
    std::vector<std::string> impostor_argv = privileged ? nobody : std::vector<std::string>{};
    impostor_argv.insert(impostor_argv.end(), {bin + "/kolvd", "60"});
    const kt::Child holder(kt::spawn({"/bin/sleep", "60"}, {dev, "", ""})); // on its input
    const kt::Child impostor(kt::spawn(impostor_argv, {}));

    const auto not_server = [&](pid_t p) {
        return "kolvd: pid " + std::to_string(p) + " is not the server of " + dev + "\n";
    };
    const auto cannot_tell = [&](pid_t p, const std::string& entry, const std::string& why) {
        const std::string id = std::to_string(p);
        return "kolvd: cannot tell whether pid " + id + " is the server of " + dev + ": /proc/" +
               id + "/" + entry + ": " + why + "\n";
    };
    const std::string hide = "mount -t tmpfs none /proc/" + std::to_string(pid) + " && exec \"$@\"";
    const std::vector<std::string> hidden = {"/usr/bin/unshare", "-m", "sh", "-c", hide, "sh"};
    const std::string no_such = "kolvd: kill: No such process\n", none = "(none)";
    const struct {
        bool needs_root;
        std::vector<std::string> prefix;
        std::string planted, opt, out, err; // out "": cannot signal the pid planted
    } rows[] = {
        {false, {}, none, "-S", "Server not running or lock file not located\n", ""},
        {false, {}, "0x7fffffff\n", "-I", "", no_such}, // no process has that id
        {false, {}, "1\n", "-S", "A server pid of 1 does not make sense\n", ""},
        {false, {}, "junk\n", "-I", "A server pid of 0 does not make sense\n", ""},
        {false, {}, "", "-S", "A server pid of -1 does not make sense\n", ""},
        {false, {}, "FIFO", "-I", "A server pid of -1 does not make sense\n", ""},
        {false, {}, kt::planted(holder.pid), "-S", "", not_server(holder.pid)},
        {true, hidden, kt::planted(pid), "-S", "",
         cannot_tell(pid, "comm", "No such file or directory")},
        {true, hidden, kt::planted(2147483647), "-I", "", no_such},
        {true, {}, kt::planted(impostor.pid), "-S", "", not_server(impostor.pid)},
        {true, nobody, kt::planted(impostor.pid), "-I", "",
         cannot_tell(impostor.pid, "fd", "Permission denied")},
    };
    for (const auto& [needs_root, prefix, planted, opt, out, err] : rows) {
        if (needs_root && !privileged)
            continue;
        SCOPED_TRACE(planted + opt + err);
        kt::fs::remove(lock);
        if (planted == "FIFO")
            mkfifo(lock.c_str(), 0666);
        else if (planted != none)
            kt::spit(lock, planted);
        std::vector<std::string> argv = prefix;
        argv.insert(argv.end(), {bin + "/control", "-L", locks, opt, port_name});
        const kt::Result r = kt::run(argv);
        const std::string id = std::to_string(std::strtol(planted.c_str(), nullptr, 0));
        EXPECT_EQ(r.out, !out.empty()  ? out
                         : opt == "-S" ? "Unable to kill server pid " + id + "\n"
                                       : "kolvd: Unable to reinitialize server pid " + id + "\n");
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.status, 1);
    }
    for (const pid_t p : {holder.pid, impostor.pid})
        EXPECT_EQ(waitpid(p, nullptr, WNOHANG), 0) << p;
    exchange(c, "the client", "still served");
    kt::spit(lock, kt::planted(pid));
    EXPECT_EQ(control("-I").out, sent);
    EXPECT_TRUE(kt::closed(c));
    exchange(client(), "next", "client");
    EXPECT_EQ(kt::count(kt::slurp(log), line("] REINITIALIZE kolvd server on ")), 1);
    EXPECT_EQ(control("-S").out, "Sent SIGHUP signal to shutdown server on " + dev + "\n");
    EXPECT_EQ(finish(), 0);
    up();
    exchange(client(), "served", "again");
    EXPECT_EQ(kt::count(kt::slurp(log), "] STARTING "), 2);
    kt::spit(lock, kt::planted(1));
    kill(pid, SIGHUP);
    EXPECT_EQ(finish(), 0);
    EXPECT_TRUE(kt::slurp(log).ends_with("Could not remove lock file for: " + dev + "\n"));
    EXPECT_EQ(kt::slurp(lock), kt::planted(1));
    if (!privileged)
        GTEST_SKIP() << "rows that need root and mount namespaces were skipped";
}
