// The relay: one client at a time, bytes unchanged both ways, until the client
// closes, idles out, outlives MaxConnectPeriod or a signal drops it.
#include "serial/serial.h"
#include "server/server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::size_t kClientChunk = 8192;
constexpr std::size_t kPortChunk = 1024;
// Keepalive: a peer that vanished without FIN or RST is probed after 60 s of
// silence. A client that takes no data while data waits for it is dropped
// after 60 s (the user timeout), so a stuck client cannot hold the port.
constexpr int kKeepIdle = 60;
constexpr int kKeepInterval = 10;
constexpr int kKeepCount = 3;
constexpr unsigned kUserTimeoutMs = 60000;

struct Connection {
    std::array<char, 16> peer{}; // dotted decimal
    timeval full{};              // the full idle time
    timeval timeout{};
    timeval last_activity{};
    timeval* reference = nullptr; // null: no idle timeout
};

bool
retry_accept(int err) {
    switch (err) {
    case EAGAIN:
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

// Out of descriptors, buffers or memory, or refused by a firewall: the
// client waits in the backlog until resources come back.
bool
resource_shortage(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM || err == EPERM;
}

long
monotonic_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// Waits for a client, a signal, a hang-up of the port, or, while short of
// resources, the next retry. The port is watched for the hang-up alone
// (no events asked), so a device talking between clients wakes nobody.
bool
wait_for_client(bool short_of_resources) {
    constexpr int kRetryMs = 100;
    pollfd p[3] = {{proc.wake_rd, POLLIN, 0},
                   {proc.listen_fd, static_cast<short>(short_of_resources ? 0 : POLLIN), 0},
                   {server_settings.serial_fd, 0, 0}};
    const int n = poll(p, 3, short_of_resources ? kRetryMs : -1);
    if (n < 0) {
        if (errno != EINTR)
            log_perror("kolvd: poll");
        return false;
    }
    if (p[0].revents)
        drain_wake_pipe();
    if (p[2].revents & POLLHUP) {
        port_hung_up();
        return false;
    }
    return n == 0 || (p[1].revents & POLLIN);
}

int
accept_client(sockaddr_in& peer, long& last_shortage_report) {
    constexpr long kReportEveryMs = 1000;
    proc.reinit_pending = 0; // a drop that came as the last client left has nothing to drop
    bool short_of_resources = false;
    for (;;) {
        note_signals();
        if (!wait_for_client(short_of_resources))
            continue;
        socklen_t len = sizeof peer;
        // Non-blocking from the start: no fcntl calls per client.
        const int fd =
            accept4(proc.listen_fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK);
        if (fd >= 0)
            return fd;
        short_of_resources = resource_shortage(errno);
        if (short_of_resources) {
            const long now = monotonic_ms();
            if (now - last_shortage_report >= kReportEveryMs) {
                last_shortage_report = now;
                log_perror("kolvd: accept");
            }
            continue;
        }
        if (retry_accept(errno))
            continue;
        log_perror("kolvd: accept");
        log_error("Server not started, due to previous error\n");
        close(proc.listen_fd);
        cleanup_and_exit(1);
    }
}

// DTR and RTS follow the Drop...onSocketClose flags; a port without modem
// lines (a pseudo-terminal) is not an error, and is not asked again.
void
modem_lines(bool& present, unsigned long request, const char* what) {
    int bits = 0;
    if (server_settings.DropDTRonSocketClose)
        bits |= TIOCM_DTR;
    if (server_settings.DropRTSonSocketClose)
        bits |= TIOCM_RTS;
    if (!present || bits == 0 || ioctl(server_settings.serial_fd, request, &bits) == 0)
        return;
    if (errno == ENOTTY || errno == EINVAL)
        present = false;
    else
        log_perror(what);
}

// Accepted sockets inherit these from the listener, so they are set once.
void
set_keepalive(int fd) {
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdle, sizeof kKeepIdle) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepInterval, sizeof kKeepInterval) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs) != 0)
        log_perror("kolvd: setsockopt: keepalive");
}

// Without an idle timeout nothing reads the timer, so the clock is left alone.
void
restart_idle(Connection& c) {
    if (c.reference == nullptr)
        return;
    gettimeofday(&c.last_activity, nullptr);
    c.timeout = c.full;
}

// The remaining idle time, without a borrow between seconds and microseconds.
void
recompute(Connection& c, const timeval& now) {
    long sec = c.full.tv_sec - (now.tv_sec - c.last_activity.tv_sec);
    long usec = c.full.tv_usec - (now.tv_usec - c.last_activity.tv_usec);
    if (sec < -10)
        sec = c.full.tv_sec;
    if (sec < 0)
        sec = 0;
    if (usec < 0)
        usec = 0;
    if (sec > c.full.tv_sec)
        sec = c.full.tv_sec;
    c.timeout.tv_sec = sec;
    c.timeout.tv_usec = std::min(usec, 999999L); // select refuses a full second here
}

void
begin_connection(Connection& c, const sockaddr_in& peer, bool& modem) {
    const char* port = proc.port_path.data();
    restore_blocking_writes();            // before SIGUSR1 can drop this client, never after
    server_settings.client_connected = 1; // from here on SIGUSR1 drops the client
    copy_cut(c.peer, inet_ntoa(peer.sin_addr));
    log_line("[%s] %s connects to %s\n", make_timestamp(), c.peer.data(), port);
    notify_status(c.peer.data());
    server_settings.RestartRequested = 0;
    log_debug("Flushing serial port queues for %s\n", port);
    if (tcflush(server_settings.serial_fd, TCIOFLUSH) != 0)
        log_perror("kolvd: tcflush:TCIOFLUSH");
    log_debug("Raise DTR and RTS for %s\n", port);
    modem_lines(modem, TIOCMBIS, "kolvd: ioctl:TIOCMBIS");
    if (server_settings.MaxConnectPeriod != 0) {
        alarm(server_settings.MaxConnectPeriod);
        server_settings.AlarmState = 1;
    }
    const std::uint32_t idle = server_settings.idle_timeout;
    c.full.tv_sec = idle / 10;
    c.full.tv_usec = static_cast<suseconds_t>(idle % 10) * 100000;
    c.reference = idle != 0 ? &c.timeout : nullptr;
    restart_idle(c);
}

void
end_connection(bool& modem) {
    note_signals(); // a drop asked for while still connected is logged before the close
    close(proc.client_fd);
    server_settings.client_connected = 0;
    notify_status(nullptr);
    modem_lines(modem, TIOCMBIC, "kolvd: ioctl:TIOCMBIC");
    log_debug("Close socket for server on %s\n", proc.port_path.data());
    if (server_settings.AlarmState == 1)
        alarm(0);
    server_settings.AlarmState = 0;
}

// Client to port: one recv of up to 8192 bytes, one write. False: client closed.
bool
client_to_port(Connection& c, unsigned char* buf) {
    const ssize_t got = recv(proc.client_fd, buf, kClientChunk, 0);
    if (got == 0) {
        log_line("[%s] %s disconnects from %s\n", make_timestamp(), c.peer.data(),
                 proc.port_path.data());
        return false;
    }
    if (got < 0) {
        if (errno != EINTR && errno != EAGAIN) // nothing was lost
            log_perror("kolvd: recv");         // timeout keeps what select left
        return true;
    }
    const auto n = static_cast<std::size_t>(got);
    if (server_settings.debug)
        log_dump("got", buf, n);
    if (write_all_or_interrupted(server_settings.serial_fd, buf, n) < got &&
        !connection_interrupted())
        log_perror("kolvd: write to serial port");
    restart_idle(c);
    return true;
}

// Port to client: one read of up to 1024 bytes, one send.
void
port_to_client(Connection& c, const timeval& now, unsigned char* buf) {
    const ssize_t got = read(server_settings.serial_fd, buf, kPortChunk);
    if (got <= 0) {
        if (!port_hung_up())
            recompute(c, now);
        return;
    }
    const auto n = static_cast<std::size_t>(got);
    const ssize_t sent = send(proc.client_fd, buf, n, 0);
    if (sent < got) {
        const int err = sent < 0 ? errno : EAGAIN; // a short send met a full socket
        note_signals();                            // a SIGPIPE line comes before the report
        errno = err;
        log_perror("kolvd: write socket");
    } else if (server_settings.debug) {
        log_dump("sent", buf, n);
    }
    restart_idle(c);
}

void
relay(Connection& c) {
    std::array<unsigned char, kClientChunk> from_client;
    std::array<unsigned char, kPortChunk> from_port;
    const int client = proc.client_fd;
    const int serial = server_settings.serial_fd;
    const ReadSet both = make_read_set(client, serial);
    while (server_settings.AlarmState != 2) {
        note_signals();
        if (server_settings.RestartRequested)
            return;
        fd_set ready;
        const int n = wait_ready(both, c.reference, &ready);
        timeval now{};
        if (c.reference != nullptr)
            gettimeofday(&now, nullptr);
        if (n == 0) {
            log_line("[%s] %s was disconnected, it exceeded IdleTimeout=%d s\n", make_timestamp(),
                     c.peer.data(), static_cast<int>(c.full.tv_sec));
            return;
        }
        if (n < 0) {
            if (errno != EINTR)
                log_perror("kolvd: select");
            recompute(c, now);
            continue;
        }
        note_signals(); // lines of signals that came with the data go first
        if (FD_ISSET(client, &ready) && !client_to_port(c, from_client.data()))
            return;
        if (FD_ISSET(serial, &ready))
            port_to_client(c, now, from_port.data());
    }
    note_signals();
    log_line("[%s] %s was disconnected, it exceeded MaxConnectPeriod=%d s\n", make_timestamp(),
             c.peer.data(), static_cast<int>(server_settings.MaxConnectPeriod));
}

} // namespace

void
serve_clients() {
    set_keepalive(proc.listen_fd);
    bool modem = true; // false once the port has shown it has no modem lines
    long last_shortage_report = -1000000;
    for (;;) {
        log_debug("Listen for new client for %s\n", proc.port_path.data());
        sockaddr_in peer{};
        proc.client_fd = accept_client(peer, last_shortage_report);
        Connection c;
        begin_connection(c, peer, modem);
        relay(c);
        end_connection(modem);
    }
}
