// Where the log goes and what reaches it whole: the service manager's
// journal (a stream socket named by JOURNAL_STREAM, each line with its
// priority), a file as before, a terminal that takes part of a line and then
// nothing, and the service manager's status lines.
#include "support/daemon.h"

#include <sys/socket.h>
#include <sys/un.h>

namespace {

using Log = kt::Daemon;

// A journal's stream: our end, and the one kolvd writes to, which the test
// closes once kolvd has it, so that our end sees end of file when kolvd exits.
struct Journal {
    int ours = -1, theirs = -1;
    Journal() {
        int sv[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
        ours = sv[0], theirs = sv[1];
        fcntl(ours, F_SETFD, FD_CLOEXEC);
    }
    ~Journal() {
        close(ours), close(theirs);
    }
    // kolvd with JOURNAL_STREAM naming the end `named`, its errors on the
    // stream, and its output too unless `out` names a file.
    std::vector<std::string> wrapper(int named, const std::string& out = "") const {
        struct stat st {};
        fstat(named, &st);
        const std::string fd = std::to_string(theirs);
        const std::string env =
            "JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
        const std::string to = "exec \"$@\" 2>&" + fd + " >" + (out.empty() ? "&" + fd : out);
        return {"/usr/bin/env", env, "/bin/bash", "-c", to, "bash"}; // fd 10 and up
    }
    // Up to end of file, or 5 s without data.
    std::string read() const {
        return kt::pump(-1, "", ours, SIZE_MAX);
    }
};

} // namespace

// Only a server with no log file named, whose standard error is the stream
// JOURNAL_STREAM names, writes to the journal: every line once, each starting
// with its priority, and otherwise byte for byte what a log file gets. The
// console, the default log, is a file mounted over it in a namespace of its own.
TEST_F(Log, TheJournalOnlyWhenNoLogFileIsNamed) {
    const std::string setup = dir / "setup", console = dir / "console", file = dir / "file";
    kt::spit(setup, "Service=" + svc + "\nDebugMode=yes\nLogFileName=" + file + "\n");
    log.clear(); // no -f but a row's own
    const std::string mount = "mount --bind \"$0\" /dev/console && exec \"$@\"";
    const bool privileged =
        geteuid() == 0 && kt::run({"/usr/bin/unshare", "-m", "true"}).status == 0;
    const struct {
        std::vector<std::string> opts;
        bool named;        // JOURNAL_STREAM names the daemon's standard error
        std::string where; // "journal", or the log file
    } rows[] = {
        {{"-b"}, true, "journal"},
        {{"-b", "-f", file}, true, file},
        {{"-F", setup}, true, file},
        {{"-b"}, false, console},
    };
    std::string as_a_file;
    for (const auto& [opts, named, where] : rows) {
        SCOPED_TRACE(where + " " + opts.back());
        if (where == console && !privileged) {
            std::cout << "skipped without a mount namespace: the console\n";
            continue;
        }
        kt::fs::remove(file);
        kt::spit(console, "");
        Journal j;
        std::vector<std::string> pre = j.wrapper(named ? j.theirs : j.ours);
        if (where == console)
            pre.insert(pre.begin(), {"/usr/bin/unshare", "-m", "sh", "-c", mount, console});
        up(opts, pre);
        close(j.theirs), j.theirs = -1;
        const int c = served(); // -S is let in only after the lines of the exchange
        EXPECT_EQ(control("-S").status, 0);
        EXPECT_EQ(finish(), 0);
        close(c);
        const std::string got = kt::untimed(where == "journal" ? j.read() : kt::slurp(where));
        if (where != "journal") {
            EXPECT_EQ(got, as_a_file);
            EXPECT_EQ(j.read(), "");
            continue;
        }
        std::istringstream lines(got);
        int n = 0;
        for (std::string line; std::getline(lines, line); ++n) {
            ASSERT_TRUE(line.size() > 3 && line[0] == '<' && line[2] == '>') << line;
            EXPECT_EQ(line[1], line[3] == '[' ? '6' : '7') << line; // events, debug lines
            as_a_file += line.substr(3) + "\n";
        }
        EXPECT_GE(n, 7) << got; // STARTING, connects, dumps, SHUTDOWN, steps
        EXPECT_FALSE(kt::fs::exists(file)) << "a file was written too";
    }
}

// A failed start in the journal: each line of the failure once, as an error,
// although the launcher, whose output is the same stream, reports it too.
// With its output elsewhere, the launcher prints the lines there, plain. Bad
// input, refused before any server exists, is an error there too.
TEST_F(Log, AFailedStartReachesTheJournalOnce) {
    const std::string not_started = "Server not started, due to previous error\n";
    const std::string no_service = "nosuchsvc - no such service on this host\n";
    const std::string out = dir / "out", tcp_svc = svc;
    log.clear();
    const struct {
        std::string service, journal, elsewhere; // elsewhere: the output's file, if any
        std::vector<std::string> opts = {};
    } rows[] = {
        {"nosuchsvc", "<3>" + no_service + "<3>" + not_started, ""},
        {"nosuchsvc", "<3>" + no_service + "<3>" + not_started, no_service + not_started},
        {tcp_svc, "<3>DEVICE LOCKED\n", ""},
        {tcp_svc, "", "DEVICE LOCKED\n"},
        {tcp_svc, "<3>kolvd: Unsupported bit rate used for -s option argument\n", "", {"-s", "7"}},
        {tcp_svc,
         "<3>kolvd: Could not open setup file: /nonexistent\n",
         "",
         {"-F", "/nonexistent"}},
        {tcp_svc, "", "kolvd: Could not open setup file: /nonexistent\n", {"-F", "/nonexistent"}},
    };
    for (const auto& [service, in_journal, elsewhere, opts] : rows) {
        SCOPED_TRACE(service + (elsewhere.empty() ? "" : ", output elsewhere"));
        kt::fs::remove(out);
        kt::fs::remove(lock);
        if (service == tcp_svc)
            kt::spit(lock, "     12345\n");
        svc = service;
        Journal j;
        EXPECT_EQ(start(opts, j.wrapper(j.theirs, elsewhere.empty() ? "" : out)).status, 1);
        close(j.theirs), j.theirs = -1;
        EXPECT_EQ(adopted, -1);
        EXPECT_EQ(j.read(), in_journal);
        EXPECT_EQ(elsewhere.empty() ? "" : kt::slurp(out), elsewhere);
    }
}

// A log on a terminal nobody reads, here one that takes about 64 KiB, holds
// up nothing and never has the next line glued to the fragment of one: once
// the terminal takes data again, each line starts a line. Nor does that
// terminal become the server's controlling terminal: when it goes away, no
// SIGHUP ends the server.
TEST_F(Log, OnATerminalNoLineContinuesAFragmentAndItsEndEndsNothing) {
    kt::Pty tty;
    fcntl(tty.master, F_SETFL, O_NONBLOCK);
    log = tty.dev;
    up({"-b"});
    const int c = client();
    const std::string data = kt::bytes(40000); // five dumps of 8 KiB: 200 KB of log
    exchange(c, data, "");
    std::string text;
    const auto drain = [&] {
        char buf[65536];
        for (ssize_t n; (n = read(tty.master, buf, sizeof buf)) > 0;)
            text.append(buf, static_cast<std::size_t>(n));
        return text.find("disconnects from") != std::string::npos;
    };
    drain();
    ASSERT_LT(text.size(), data.size() * 5) << "the terminal took every dump";
    close(c);
    ASSERT_TRUE(kt::wait_until(drain)) << text.substr(text.size() - 200);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(line.find('[') == std::string::npos || line.starts_with("["))
            << line.substr(0, 40) << " ... " << line.substr(line.size() - 80);
    close(tty.master), tty.master = -1;
    exchange(client(), "after", "the log's terminal closed");
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0);
}

// The service manager's news (NOTIFY_SOCKET, a path or an abstract name):
// ready and listening, then a status line at each connect and disconnect. The
// launcher's news comes first, however late the launcher is and however early
// a client.
TEST_F(Log, ReadyAndStatusForTheServiceManager) {
    const std::vector<std::string> late = {"/usr/bin/strace", "-o", "/dev/null", "-e",
                                           "inject=sendto:delay_enter=300000"};
    for (const std::string& name : {dir / "notify", "@kolvd-test-" + std::to_string(getpid())}) {
        SCOPED_TRACE(name);
        const int manager = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un at{AF_UNIX, {}};
        name.copy(at.sun_path, name.size());
        if (name[0] == '@')
            at.sun_path[0] = '\0';
        const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        ASSERT_EQ(bind(manager, reinterpret_cast<sockaddr*>(&at), len), 0);
        const auto receive = [manager](int wait_ms) {
            char buf[512];
            pollfd p{manager, POLLIN, 0};
            const ssize_t n = poll(&p, 1, wait_ms) == 1 ? recv(manager, buf, sizeof buf, 0) : -1;
            return std::string(buf, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        };
        int c = -1;
        std::thread knock([&] {
            sockaddr_in to{
                AF_INET, htons(static_cast<std::uint16_t>(tcp)), {htonl(INADDR_LOOPBACK)}, {}};
            kt::wait_until([&] {
                close(c);
                c = socket(AF_INET, SOCK_STREAM, 0);
                return connect(c, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
            });
        });
        std::vector<std::string> pre = name[0] == '/' ? late : std::vector<std::string>{};
        // A leak check cannot run in a traced process.
        pre.insert(pre.end(),
                   {"/usr/bin/env", "NOTIFY_SOCKET=" + name,
                    "ASAN_OPTIONS=detect_leaks=0:" + std::string(getenv("ASAN_OPTIONS"))});
        up({}, pre);
        knock.join();
        const std::string listening = "STATUS=Listening on TCP port " + svc + " for " + dev;
        EXPECT_EQ(receive(5000), "READY=1\n" + listening);
        fcntl(c, F_SETFL, O_NONBLOCK);
        exchange(c, "x", "y");
        const std::string serving = receive(5000), since = "STATUS=Serving 127.0.0.1 since ";
        EXPECT_TRUE(serving.starts_with(since) && serving.size() == since.size() + 8) << serving;
        close(c);
        EXPECT_EQ(receive(5000), listening);
        // A flood of clients, each one's close ending its session as the next
        // connects: ten a second are told, saved up for a second, and the
        // manager is left with "Listening". (Read as they come: the socket
        // holds only a few.)
        const auto began = std::chrono::steady_clock::now();
        std::vector<std::string> told;
        for (int i = 0; i < 60; ++i) {
            const int flood = client();
            exchange(flood, "f", "");
            close(flood);
            for (std::string got; !(got = receive(0)).empty();)
                told.push_back(got);
        }
        ASSERT_TRUE(wait_log("disconnects", 61));
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        if (told.empty() || told.back() != listening)
            told.push_back(receive(5000)); // the last disconnect's, still on its way
        EXPECT_LE(told.size(), 2 * (11 + static_cast<std::size_t>(seconds * 10)));
        EXPECT_GE(told.size(), 2U);
        EXPECT_EQ(told.back(), listening);
        ASSERT_EQ(control("-S").status, 0);
        ASSERT_EQ(finish(), 0);
        close(manager);
        kt::fs::remove(log);
    }
}
