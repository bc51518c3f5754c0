// Start-up: refuse a locked port, detach, make the log our standard streams,
// listen, open and configure the port, lock it, then serve clients.
#include "serial/serial.h"
#include "server/server.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void
not_started() {
    log_line("Server not started, due to previous error\n");
    std::exit(1);
}

[[noreturn]] void
not_started_closing(int fd) {
    close(fd);
    not_started();
}

void
close_every_descriptor() {
    if (close_range(0, ~0U, 0) == 0)
        return;
    for (int fd = getdtablesize() - 1; fd >= 0; --fd)
        close(fd);
}

// Socket, bind, SO_REUSEADDR, listen: the order and the texts are fixed.
void
open_listening_socket(int port) {
    proc.listen_fd = socket(AF_INET, SOCK_STREAM, 0);
    if (proc.listen_fd < 0) {
        log_perror("kolvd: socket");
        not_started();
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = static_cast<in_port_t>(port);
    if (bind(proc.listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        log_perror("kolvd: bind");
        not_started_closing(proc.listen_fd);
    }
    const int one = 1;
    if (setsockopt(proc.listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        log_perror("kolvd: setsockopt");
        not_started_closing(proc.listen_fd);
    }
    if (listen(proc.listen_fd, 1) != 0) {
        log_perror("kolvd: listen");
        not_started_closing(proc.listen_fd);
    }
    // Accept only after select says so; a client gone meanwhile must not block us.
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
        std::printf("DEVICE LOCKED\n");
        std::exit(1);
    }
    std::fflush(stdout); // or the child's exit writes a buffered warning into the log
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("kolvd: fork");
        std::exit(1);
    }
    if (pid > 0)
        std::exit(0);

    close_every_descriptor();
    if (setsid() < 0)
        log_perror("kolvd: setsid");
    if (chdir("/etc") != 0)
        log_perror("kolvd: chdir");
    umask(0);
    if (open(proc.LogFileName.data(), O_RDWR | O_CREAT | O_APPEND, 0644) != 0) {
        log_perror("kolvd: open output file");
        not_started();
    }
    (void)!dup(0);
    (void)!dup(0); // descriptors 1 and 2
    if (open_wake_pipe() != 0) {
        log_perror("kolvd: pipe");
        not_started();
    }

    const int port = lookup_service_port(proc.service_name.data());
    if (port < 0) {
        log_line("%s - no such service on this host\n", proc.service_name.data());
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
            log_line("Could not create lock file: %s\n", port_path);
            close(server_settings.serial_fd);
            not_started_closing(proc.listen_fd);
        }
        log_debug("Create lock file for %s\n", port_path);
    }
    // Writes to a port that does not drain must not block past a signal.
    fcntl(server_settings.serial_fd, F_SETFL,
          fcntl(server_settings.serial_fd, F_GETFL) | O_NONBLOCK);
    serve_clients();
}
