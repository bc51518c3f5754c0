// Signals are events like any other: handlers only record them and write a
// byte to the wake pipe, which every wait watches, so none is lost between a
// flag test and the wait. Lines and exits happen in the main flow.
#include "serial/serial.h"
#include "server/server.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Port writes block while the device is full, which costs no wake-ups; a
// signal that ends the connection or the server makes them non-blocking, so
// a write blocked now returns, and one about to start cannot block.
void
stop_blocking_writes() {
    const int fd = server_settings.serial_fd;
    const int flags = fd >= 0 ? fcntl(fd, F_GETFL) : -1;
    if (flags >= 0 && !(flags & O_NONBLOCK))
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    proc.serial_nonblocking = 1;
}

extern "C" void
on_signal(int sig) {
    const int saved_errno = errno;
    switch (sig) {
    case SIGHUP:
    case SIGTERM:
        if (!proc.shutdown_signal)
            proc.shutdown_signal = sig;
        stop_blocking_writes();
        break;
    case SIGUSR1:
        // Kept installed so connections cost no sigaction calls; between
        // clients it does nothing, as if ignored.
        if (!server_settings.client_connected)
            break;
        server_settings.RestartRequested = 1;
        proc.reinit_pending = 1;
        stop_blocking_writes();
        break;
    case SIGPIPE:
        server_settings.RestartRequested = 1;
        proc.sigpipe_pending = 1;
        stop_blocking_writes();
        break;
    case SIGALRM:
        server_settings.AlarmState = 2;
        stop_blocking_writes();
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

void
restore_blocking_writes() {
    if (!proc.serial_nonblocking)
        return;
    const int fd = server_settings.serial_fd;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    proc.serial_nonblocking = 0;
}

bool
port_hung_up() {
    // Only the hang-up itself counts, never a port with nothing to read; when
    // the port is another session's terminal, no SIGHUP tells us.
    pollfd p{server_settings.serial_fd, 0, 0};
    if (poll(&p, 1, 0) != 1 || !(p.revents & POLLHUP))
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

ReadSet
make_read_set(int a, int b) {
    ReadSet want{};
    FD_ZERO(&want.fds);
    FD_SET(proc.wake_rd, &want.fds);
    want.top = proc.wake_rd;
    for (const int fd : {a, b}) {
        if (fd >= 0) {
            FD_SET(fd, &want.fds);
            want.top = std::max(want.top, fd);
        }
    }
    return want;
}

int
wait_ready(const ReadSet& want, timeval* timeout, fd_set* ready) {
    *ready = want.fds;
    const int n = select(want.top + 1, ready, nullptr, nullptr, timeout);
    if (n <= 0 || !FD_ISSET(proc.wake_rd, ready))
        return n;
    drain_wake_pipe();
    FD_CLR(proc.wake_rd, ready);
    if (n == 1) {
        errno = EINTR;
        return -1;
    }
    return n - 1;
}

bool
connection_interrupted() {
    return proc.shutdown_signal || server_settings.RestartRequested ||
           server_settings.AlarmState == 2;
}

long
write_all_or_interrupted(int fd, const unsigned char* data, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t w = write(fd, data + done, n - done);
        if (w > 0) {
            done += static_cast<std::size_t>(w);
            continue;
        }
        if (w == 0)
            errno = EAGAIN; // the device took nothing: report it as full
        if (w == 0 || (errno != EAGAIN && errno != EINTR)) {
            if (port_hung_up())
                break;
            return done > 0 ? static_cast<long>(done) : -1;
        }
        if (connection_interrupted())
            break;
        if (errno == EAGAIN) {
            // Left non-blocking by a signal that asked nothing of this
            // connection: wait for room, or for the next signal.
            fd_set writable;
            fd_set readable;
            FD_ZERO(&writable);
            FD_ZERO(&readable);
            FD_SET(fd, &writable);
            FD_SET(proc.wake_rd, &readable);
            if (select(std::max(fd, proc.wake_rd) + 1, &readable, &writable, nullptr, nullptr) >
                    0 &&
                FD_ISSET(proc.wake_rd, &readable))
                drain_wake_pipe();
        }
    }
    if (done < n)
        errno = EINTR;
    return static_cast<long>(done);
}

void
note_signals() {
    if (proc.sigpipe_pending) {
        proc.sigpipe_pending = 0;
        log_error("%s: server for %s, got SIGPIPE signal\n", proc.program_name.data(),
                  proc.port_path.data());
    }
    if (proc.reinit_pending) {
        proc.reinit_pending = 0;
        log_line("[%s] REINITIALIZE kolvd server on %s\n", make_timestamp(), proc.port_path.data());
    }
    if (proc.shutdown_signal)
        shut_down(proc.shutdown_signal);
}

void
shut_down(int sig) {
    const bool term = sig == SIGTERM;
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
