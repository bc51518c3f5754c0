// Start-up: refuse a locked port, detach, make the log our standard streams,
// listen, open and configure the port, lock it, then serve clients.
#include "serial/serial.h"
#include "server/server.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

[[noreturn]] void
not_started() {
    log_mirror_to(-1); // the launcher prints this line itself
    log_error("Server not started, due to previous error\n");
    std::exit(1);
}

[[noreturn]] void
not_started_closing(int fd) {
    close(fd);
    not_started();
}

// All from `first` on but the report channel to the launcher, which lies
// above 2.
void
close_every_descriptor(int first, int keep) {
    const auto k = static_cast<unsigned>(keep);
    if (close_range(static_cast<unsigned>(first), k - 1, 0) == 0 && close_range(k + 1, ~0U, 0) == 0)
        return;
    for (int fd = getdtablesize() - 1; fd >= first; --fd)
        if (fd != keep)
            close(fd);
}

// Whatever the launching process blocked, the server starts with no signal
// blocked (it blocks its own as it installs their handlers); and whatever
// name the binary was run by (a copy, a link, a re-exec through
// /proc/self/exe), it is known by the program's name, which -S and -I look for.
void
start_clean() {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    prctl(PR_SET_NAME, proc.program_name.data());
}

// A failure's lines as the server sent them: each starts with its priority,
// kept for a journal and removed elsewhere. When the server wrote to this very
// journal stream, its lines are there already and are not repeated.
void
repeat_failure(std::string_view text) {
    const bool journal = proc.output_journal != 0;
    if (journal && proc.log_journal)
        return;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size() - 1) + 1;
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end);
        if (!journal && line.size() >= 3 && line[0] == '<' && line[2] == '>')
            line.remove_prefix(3);
        std::fwrite(line.data(), 1, line.size(), stdout);
    }
    std::printf("%sServer not started, due to previous error\n", journal ? "<3>" : "");
}

// The launcher waits until the server is ready (a NUL byte) or has failed
// (end of file), and repeats a failure's lines. A start-up that takes longer
// (a modem line waiting for carrier) is left to go on.
[[noreturn]] void
report_start(pid_t server, int from_server) {
    constexpr int kPatienceMs = 5000;
    std::array<char, 4096> text{};
    std::size_t have = 0;
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long waited =
            (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (waited >= kPatienceMs)
            std::exit(0);
        pollfd p{from_server, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(kPatienceMs - waited)) <= 0)
            continue;
        std::array<char, 1024> chunk{};
        const ssize_t n = read(from_server, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        const std::string_view got{chunk.data(), static_cast<std::size_t>(n)};
        if (got.find('\0') != got.npos) {
            notify_open();
            const int port = lookup_service_port(proc.service_name.data());
            notify_ready(ntohs(static_cast<std::uint16_t>(port)));
            std::exit(0);
        }
        const std::size_t take = std::min(got.size(), text.size() - have);
        std::memcpy(text.data() + have, got.data(), take);
        have += take;
    }
    waitpid(server, nullptr, 0);
    repeat_failure({text.data(), have});
    std::exit(1);
}

// SO_REUSEADDR before the bind, so that a restart right after a connection we
// closed ourselves is not refused for its TIME_WAIT; a live listener still is.
void
open_listening_socket(int port) {
    proc.listen_fd = socket(AF_INET, SOCK_STREAM, 0);
    if (proc.listen_fd < 0) {
        log_perror("kolvd: socket");
        not_started();
    }
    const int one = 1;
    if (setsockopt(proc.listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        log_perror("kolvd: setsockopt");
        not_started_closing(proc.listen_fd);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = static_cast<in_port_t>(port);
    if (bind(proc.listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        log_perror("kolvd: bind");
        not_started_closing(proc.listen_fd);
    }
    if (listen(proc.listen_fd, 1) != 0) {
        log_perror("kolvd: listen");
        not_started_closing(proc.listen_fd);
    }
    // Accept only after poll says so; a client gone meanwhile must not block us.
    fcntl(proc.listen_fd, F_SETFL, fcntl(proc.listen_fd, F_GETFL) | O_NONBLOCK);
}

} // namespace

int
lookup_service_port(const char* name) {
    if (const servent* s = getservbyname(name, "tcp"))
        return s->s_port;
    // A name of digits the database lacks is a port number.
    const std::string_view n{name};
    if (n.empty() || n.size() > 5 ||
        !std::all_of(n.begin(), n.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return -1;
    const int port = std::atoi(name);
    if (port < 1 || port > 65535)
        return -1;
    return htons(static_cast<std::uint16_t>(port));
}

void
run_server() {
    const char* port_path = proc.port_path.data();
    if (server_settings.lock_mode && lock_exists(port_path) == 0) {
        print_error("DEVICE LOCKED\n");
        std::exit(1);
    }
    // Started by a service manager that keeps a journal, and no log file
    // named (the default, /dev/console, is not named): the journal is the log.
    proc.log_journal = !proc.log_file_given && journal_stream(STDERR_FILENO);
    std::fflush(stdout); // or the child's exit writes a buffered warning into the log
    int report[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, report) != 0) {
        std::perror("kolvd: socketpair");
        std::exit(1);
    }
    // Above the log's descriptors 0 to 2, even if we were started without them.
    const int to_launcher = fcntl(report[1], F_DUPFD_CLOEXEC, 3);
    const pid_t pid = to_launcher < 0 ? -1 : fork();
    if (pid < 0) {
        std::perror("kolvd: fork");
        std::exit(1);
    }
    if (pid > 0) {
        close(to_launcher);
        close(report[1]);
        report_start(pid, report[0]);
    }

    start_clean();
    if (proc.log_journal) { // the journal's stream becomes all three standard streams
        dup2(STDERR_FILENO, STDIN_FILENO);
        dup2(STDERR_FILENO, STDOUT_FILENO);
    }
    close_every_descriptor(proc.log_journal ? 3 : 0, to_launcher);
    log_mirror_to(to_launcher);
    if (setsid() < 0)
        log_perror("kolvd: setsid");
    if (chdir("/etc") != 0)
        log_perror("kolvd: chdir");
    umask(0);
    // Never our controlling terminal, and never able to hold us: a log that
    // takes no data loses lines instead.
    if (!proc.log_journal) {
        if (open(proc.LogFileName.data(), O_RDWR | O_CREAT | O_APPEND | O_NOCTTY | O_NONBLOCK,
                 0644) != 0) {
            log_perror("kolvd: open output file");
            not_started();
        }
        (void)!dup(0);
        (void)!dup(0); // descriptors 1 and 2
    }
    notify_open();

    const int port = lookup_service_port(proc.service_name.data());
    if (port < 0) {
        log_error("%s - no such service on this host\n", proc.service_name.data());
        not_started();
    }
    open_listening_socket(port);
    log_line("[%s] STARTING kolvd Ver %s server for %s\n", make_timestamp(), kVersion, port_path);

    server_settings.serial_fd = open(port_path, O_RDWR);
    if (server_settings.serial_fd < 0) {
        log_perror("kolvd: open serial port");
        not_started_closing(proc.listen_fd);
    }
    configure_line(server_settings.serial_fd, line_settings);
    log_debug("Open and setup serial port %s\n", port_path);

    // Handlers before the lock file: no moment exists in which a default
    // action could end us and leave the lock behind.
    install_server_signals();
    if (server_settings.lock_mode) {
        if (create_lock(port_path) != 0) {
            log_error("Could not create lock file: %s\n", port_path);
            close(server_settings.serial_fd);
            not_started_closing(proc.listen_fd);
        }
        log_debug("Create lock file for %s\n", port_path);
    }
    (void)!send(to_launcher, "", 1, MSG_NOSIGNAL); // ready: the launcher exits 0
    log_mirror_to(-1);
    if (proc.notify_fd >= 0) {
        // The launcher's news first: its exit comes after it.
        pollfd p{to_launcher, POLLIN, 0};
        wait_for(&p, 1, 1000);
    }
    close(to_launcher);
    serve_clients();
}
