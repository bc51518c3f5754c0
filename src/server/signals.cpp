// Signals are events like any other: handlers only record them and write a
// byte to the wake pipe, which every wait watches, so none is lost between a
// flag test and the wait. Lines and exits happen in the main flow.
#include "serial/serial.h"
#include "server/server.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The port has hung up: a USB adapter unplugged, the far end of a pty closed.
bool
hung_up() {
    pollfd p{server_settings.serial_fd, 0, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
}

extern "C" void
on_signal(int sig) {
    const int saved_errno = errno;
    switch (sig) {
    case SIGHUP:
    case SIGTERM:
        if (!proc.shutdown_signal)
            proc.shutdown_signal = sig;
        break;
    case SIGUSR1:
        // Kept installed so connections cost no sigaction calls; between
        // clients it does nothing, as if ignored.
        if (!server_settings.client_connected)
            break;
        server_settings.RestartRequested = 1;
        proc.reinit_pending = 1;
        break;
    case SIGPIPE:
        server_settings.RestartRequested = 1;
        proc.sigpipe_pending = 1;
        break;
    case SIGALRM:
        server_settings.AlarmState = 2;
        break;
    default:
        break;
    }
    const char byte = 1;
    (void)!write(proc.wake_wr, &byte, 1); // a full pipe is already awake
    errno = saved_errno;
}

void
set_disposition(int sig, void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigfillset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: a blocked call must come back to us
    sigaction(sig, &sa, nullptr);
}

} // namespace

void
drain_wake_pipe() {
    std::array<char, 64> sink{};
    while (read(proc.wake_rd, sink.data(), sink.size()) > 0) {
    }
}

bool
port_hung_up() {
    // Only the hang-up itself counts, never a port with nothing to read; when
    // the port is another session's terminal, no SIGHUP tells us.
    if (!hung_up())
        return false;
    if (!proc.shutdown_signal)
        proc.shutdown_signal = SIGHUP;
    return true;
}

int
open_wake_pipe() {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        return -1;
    proc.wake_rd = fds[0];
    proc.wake_wr = fds[1];
    return 0;
}

void
install_server_signals() {
    set_disposition(SIGHUP, on_signal);
    set_disposition(SIGTERM, on_signal);
    set_disposition(SIGPIPE, on_signal);
    set_disposition(SIGALRM, on_signal);
    set_disposition(SIGUSR1, on_signal);
}

void
note_signal_lines() {
    if (proc.sigpipe_pending) {
        proc.sigpipe_pending = 0;
        log_error("%s: server for %s, got SIGPIPE signal\n", proc.program_name.data(),
                  proc.port_path.data());
    }
    if (proc.reinit_pending) {
        proc.reinit_pending = 0;
        log_line("[%s] REINITIALIZE kolvd server on %s\n", make_timestamp(), proc.port_path.data());
    }
}

void
note_signals() {
    note_signal_lines();
    if (proc.shutdown_signal)
        shut_down(proc.shutdown_signal);
}

void
shut_down(int sig) {
    const bool term = sig == SIGTERM;
    // Whatever brought the shutdown, a port that hung up says so first.
    if (hung_up())
        log_line("kolvd: serial port %s hung up\n", proc.port_path.data());
    log_line(term ? "[%s] SHUTDOWN kolvd server for %s - Received SIGTERM\n"
                  : "[%s] SHUTDOWN kolvd server for %s\n",
             make_timestamp(), proc.port_path.data());
    if (server_settings.client_connected && shutdown(proc.client_fd, SHUT_RDWR) != 0)
        log_perror("kolvd: shutdown socket");
    close(proc.listen_fd);
    if (server_settings.client_connected)
        close(proc.client_fd);
    cleanup_and_exit(term ? 1 : 0);
}
