// Where the log goes and what reaches it whole: the service manager's
// journal (a stream socket named by JOURNAL_STREAM, each line with its
// priority), a file as before, and a terminal that takes part of a line.
#include "support/daemon.h"

#include <ctime>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>

namespace {

// What a descriptor gives until end of file, or until 5 s pass without data.
std::string
read_to_end(int fd) {
    std::string got;
    char buf[65536];
    for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, 5000) > 0;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

std::string
device_inode(int fd) {
    struct stat st {};
    fstat(fd, &st);
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

// Timestamps ("[Dec-06-2026 02:20:06]") differ from run to run.
std::string
untimed(std::string text) {
    for (auto at = text.find('['); at != std::string::npos; at = text.find('[', at + 1))
        if (at + 21 < text.size() && text[at + 21] == ']')
            text.replace(at, 22, "[T]");
    return text;
}

// The priority a line's kind calls for: error reports 3, events 6, debug 7.
char
priority_of(const std::string& line) {
    if (line.starts_with("["))
        return '6';
    for (const char* error : {"kolvd: ", "Server not started", "Could not "})
        if (line.starts_with(error))
            return '3';
    return line.find(" - no such service") != std::string::npos ? '3' : '7';
}

class Log : public kt::Daemon {
  protected:
    int journal = -1; // our end of the stream the daemon writes to
    int stream = -1;  // its end: its standard error, and output unless told otherwise

    void fresh_stream() {
        close(journal), close(stream);
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        journal = sv[0], stream = sv[1];
    }
    void TearDown() override {
        unsetenv("JOURNAL_STREAM");
        close(journal), close(stream);
        Daemon::TearDown();
    }

    // kolvd with its output on `out` and errors on the stream, as a service
    // manager starts it, JOURNAL_STREAM naming `named` (empty: unset). The
    // daemon left behind is adopted. Returns the launcher's exit status.
    int launch(std::vector<std::string> args, const std::string& named, int out = -1,
               std::vector<std::string> pre = {}) {
        args.insert(args.begin(), {KOLVD_BINARY, "-L", locks});
        args.insert(args.begin(), pre.begin(), pre.end());
        args.insert(args.end(), {port_name, svc});
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        named.empty() ? unsetenv("JOURNAL_STREAM") : setenv("JOURNAL_STREAM", named.c_str(), 1);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out < 0 ? stream : out, 1);
        posix_spawn_file_actions_adddup2(&fa, stream, 2);
        pid_t launcher = -1;
        int st = -1;
        if (posix_spawn(&launcher, argv[0], &fa, nullptr, argv.data(), environ) == 0)
            waitpid(launcher, &st, 0);
        posix_spawn_file_actions_destroy(&fa);
        std::istringstream children(
            kt::slurp("/proc/self/task/" + std::to_string(getpid()) + "/children"));
        adopted = -1;
        for (pid_t p; children >> p;)
            if (kids.insert(p).second)
                adopted = p;
        close(stream), stream = -1; // the daemon holds it now: end of file when it exits
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }

    // One client's visit and a shutdown; then all the daemon wrote to `where`.
    std::string session(const std::string& where) {
        std::string seen; // from the journal
        const auto text = [&] {
            char buf[4096];
            for (ssize_t n;
                 where == "journal" && (n = recv(journal, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
                seen.append(buf, static_cast<std::size_t>(n));
            return where == "journal" ? seen : kt::slurp(where);
        };
        EXPECT_GT(pid = adopted, 0);
        EXPECT_TRUE(kt::wait_until([&] { return kt::slurp(lock).size() == 11; }));
        const int c = client();
        exchange(c, "x", "y");
        close(c);
        EXPECT_TRUE(kt::wait_until([&] { return kt::count(text(), "disconnects") == 1; }));
        EXPECT_EQ(control("-S").status, 0);
        EXPECT_EQ(finish(), 0);
        return where == "journal" ? seen + read_to_end(journal) : kt::slurp(where);
    }
};

} // namespace

// Only a server with no log file named, whose standard error is the stream
// JOURNAL_STREAM names, writes to the journal: every line once, each starting
// with its priority, and otherwise byte for byte what a log file gets. The
// console, the default log, is a file mounted over it in a namespace of its own.
TEST_F(Log, TheJournalOnlyWhenNoLogFileIsNamed) {
    const std::string setup = dir / "setup", console = dir / "console";
    kt::spit(setup, "Service=" + svc + "\nDebugMode=yes\nLogFileName=" + log + "\n");
    const std::string mount = "mount --bind \"$0\" /dev/console && exec \"$@\"";
    const std::vector<std::string> own_console = {
        "/usr/bin/unshare", "-m", "sh", "-c", mount, console};
    struct Row {
        std::string name;
        std::vector<std::string> opts;
        bool named;        // JOURNAL_STREAM names the daemon's standard error
        std::string where; // "journal", or the log file
    };
    const Row rows[] = {
        {"no log file named", {"-b"}, true, "journal"},
        {"-f", {"-b", "-f", log}, true, log},
        {"LogFileName", {"-F", setup}, true, log},
        {"another stream named", {"-b"}, false, console},
    };
    std::string as_a_file;
    for (const auto& [name, opts, named, where] : rows) {
        SCOPED_TRACE(name);
        if (where == console &&
            (geteuid() != 0 || kt::run({"/usr/bin/unshare", "-m", "true"}).status != 0)) {
            std::cout << "skipped without a mount namespace: " << name << "\n";
            continue;
        }
        std::filesystem::remove(log);
        kt::spit(console, "");
        fresh_stream();
        ASSERT_EQ(launch(opts, device_inode(named ? stream : journal), -1,
                         where == console ? own_console : std::vector<std::string>{}),
                  0);
        const std::string text = untimed(session(where));
        if (where != "journal") {
            EXPECT_EQ(text.find('<' + std::string("6>")), std::string::npos) << text;
            EXPECT_EQ(text, as_a_file);
            EXPECT_EQ(read_to_end(journal), "");
            continue;
        }
        std::istringstream lines(text);
        std::string stripped;
        int n = 0;
        for (std::string line; std::getline(lines, line); ++n) {
            ASSERT_TRUE(line.size() > 3 && line[0] == '<' && line[2] == '>') << line;
            EXPECT_EQ(line[1], priority_of(line.substr(3))) << line;
            stripped += line.substr(3) + "\n";
        }
        EXPECT_GE(n, 8) << text; // STARTING, connects, dumps, disconnects, SHUTDOWN, steps
        EXPECT_FALSE(std::filesystem::exists(log)) << "a file was written too";
        as_a_file = stripped;
    }
}

// A failed start in the journal: each line of the failure once, as an error,
// although the launcher, whose output is the same stream, reports it too.
// With its output elsewhere, the launcher prints the lines there, plain.
TEST_F(Log, AFailedStartReachesTheJournalOnce) {
    const std::string not_started = "Server not started, due to previous error\n";
    struct Row {
        std::string service;
        bool planted_lock;
        bool output_elsewhere;
        std::string journal, elsewhere;
    };
    const Row rows[] = {
        {"nosuchsvc", false, false,
         "<3>nosuchsvc - no such service on this host\n<3>" + not_started, ""},
        {"nosuchsvc", false, true, "<3>nosuchsvc - no such service on this host\n<3>" + not_started,
         "nosuchsvc - no such service on this host\n" + not_started},
        {svc, true, false, "<3>DEVICE LOCKED\n", ""},
        {svc, true, true, "", "DEVICE LOCKED\n"},
    };
    for (const auto& [service, planted_lock, output_elsewhere, in_journal, elsewhere] : rows) {
        SCOPED_TRACE(service + (output_elsewhere ? ", output elsewhere" : ""));
        std::filesystem::remove(lock);
        if (planted_lock)
            kt::spit(lock, "     12345\n");
        fresh_stream();
        const std::string out = dir / "out";
        const int out_fd =
            output_elsewhere ? open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600) : -1;
        const std::string swap = svc;
        svc = service;
        EXPECT_EQ(launch({}, device_inode(stream), out_fd), 1);
        svc = swap;
        close(out_fd);
        EXPECT_EQ(adopted, -1);
        EXPECT_EQ(read_to_end(journal), in_journal);
        EXPECT_EQ(output_elsewhere ? kt::slurp(out) : "", elsewhere);
    }
}

// A log target that takes part of a line (a terminal nobody reads, here
// one that takes about 64 KiB) never has the next line glued to the
// fragment: once the target takes data again, each line starts a line.
TEST_F(Log, NoLineContinuesAFragmentOfAnother) {
    kt::Pty tty;
    termios raw{};
    tcgetattr(tty.slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(tty.slave, TCSANOW, &raw);
    fcntl(tty.master, F_SETFL, O_NONBLOCK);
    ASSERT_EQ(start({"-b", "-f", tty.dev}).status, 0);
    ASSERT_GT(pid = adopted, 0);
    ASSERT_TRUE(kt::wait_until([&] { return kt::slurp(lock).size() == 11; }));
    close(slave), slave = -1;
    const int c = client();
    const std::string up = kt::bytes(40000); // five dumps of 8 KiB: 200 KB of log
    exchange(c, up, "");
    std::string text;
    const auto drain = [&] {
        char buf[65536];
        for (ssize_t n; (n = read(tty.master, buf, sizeof buf)) > 0;)
            text.append(buf, static_cast<std::size_t>(n));
        return text.find("disconnects from") != std::string::npos;
    };
    drain();
    ASSERT_LT(text.size(), up.size() * 5) << "the terminal took every dump";
    close(c);
    ASSERT_TRUE(kt::wait_until(drain)) << text.substr(text.size() - 200);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(line.find('[') == std::string::npos || line.starts_with("["))
            << line.substr(0, 40) << " ... " << line.substr(line.size() - 80);
}

// The service manager's news (NOTIFY_SOCKET, a path or an abstract name):
// ready and listening, then a status line at each connect and disconnect.
TEST_F(Log, ReadyAndStatusForTheServiceManager) {
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
        const auto next = [&] { return receive(5000); };
        setenv("NOTIFY_SOCKET", name.c_str(), 1);
        up();
        unsetenv("NOTIFY_SOCKET");
        const std::string listening = "STATUS=Listening on TCP port " + svc + " for " + dev;
        EXPECT_EQ(next(), "READY=1\n" + listening);
        const int c = client();
        exchange(c, "x", "y");
        const std::string serving = next(), since = "STATUS=Serving 127.0.0.1 since ";
        std::tm tm{};
        const char* end = serving.starts_with(since)
                              ? strptime(serving.c_str() + since.size(), "%T", &tm)
                              : nullptr;
        EXPECT_TRUE(end && *end == '\0') << serving;
        close(c);
        EXPECT_EQ(next(), listening);
        // A flood of clients: ten a second are told, saved up for a second,
        // and the manager is left with "Listening". (Read as they come: the
        // socket holds only a few.)
        const auto began = std::chrono::steady_clock::now();
        std::vector<std::string> told;
        const auto take = [&](int wait_ms) {
            for (std::string got; !(got = receive(wait_ms)).empty();)
                told.push_back(got);
        };
        // Each client's close ends its session as the next one connects.
        for (int i = 0; i < 60; ++i) {
            const int flood = client();
            exchange(flood, "f", "");
            close(flood);
            take(0);
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
        std::filesystem::remove(log);
    }
}
