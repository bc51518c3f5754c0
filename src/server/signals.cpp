// Signals are events like any other. The server's signals stay blocked except
// inside its waits, so a handler runs only there and ends the wait with EINTR:
// none is lost between a flag test and the wait. Handlers only record; lines
// and exits happen in the main flow. The hazard: a wait that sleeps in a
// plain poll() would sleep through a signal, so every wait is wait_for().
#include "serial/serial.h"
#include "server/server.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::array<int, 5> kServerSignals = {SIGHUP, SIGTERM, SIGPIPE, SIGALRM, SIGUSR1};

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

void
install_server_signals() {
    // Blocked first: from here on no handler runs outside a wait.
    sigset_t ours;
    sigemptyset(&ours);
    for (const int sig : kServerSignals)
        sigaddset(&ours, sig);
    sigprocmask(SIG_BLOCK, &ours, &proc.wait_mask);
    for (const int sig : kServerSignals) {
        sigdelset(&proc.wait_mask, sig);
        set_disposition(sig, on_signal);
    }
}

int
wait_for(pollfd* fds, nfds_t n, int timeout_ms) {
    const timespec t{timeout_ms / 1000, timeout_ms % 1000 * 1000000L};
    return ppoll(fds, n, timeout_ms < 0 ? nullptr : &t, &proc.wait_mask);
}

void
take_pending_signals() {
    // With nothing to watch and no time to wait, a pending signal is all
    // that can end it.
    const timespec now{};
    ppoll(nullptr, 0, &now, &proc.wait_mask);
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
