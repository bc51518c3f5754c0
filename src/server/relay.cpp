// The relay: one client at a time, bytes unchanged both ways, until the client
// closes, idles out, outlives MaxConnectPeriod or a signal drops it. Each
// direction is a one-way pipe with a buffer of its own: a side is read only
// while the buffer it fills is empty, and waited on for room only while bytes
// wait in it. So neither direction waits for the other, no write ever blocks,
// and a side that takes nothing holds back only what is meant for it.
#include "serial/serial.h"
#include "server/server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr std::size_t kClientChunk = 8192;
constexpr std::size_t kPortChunk = 1024;
// After the client closes its sending side, the device's output goes on to
// it until the line has been quiet this long.
constexpr long kHalfCloseQuietMs = 2000;
// Keepalive: a peer that vanished without FIN or RST is probed after 60 s of
// silence. A client that takes no data while data waits for it is dropped
// after 60 s (the user timeout), so a stuck client cannot hold the port.
constexpr int kKeepIdle = 60;
constexpr int kKeepInterval = 10;
constexpr int kKeepCount = 3;
constexpr unsigned kUserTimeoutMs = 60000;

// Bytes read from one side and not yet written to the other.
template <std::size_t N> struct Pipe {
    std::array<unsigned char, N> data; // filled by one read, never cleared
    std::size_t off = 0;
    std::size_t len = 0; // held from data[off]
    int err = 0;         // errno of the write that left them
};

struct Connection {
    std::array<char, 16> peer{}; // dotted decimal
    timeval full{};              // the full idle time
    timeval timeout{};
    timeval last_activity{};
    timeval* reference = nullptr; // null: no idle timeout
    Pipe<kClientChunk> up;        // client to port
    Pipe<kPortChunk> down;        // port to client
    bool half_closed = false;     // the client sends no more
    long quiet_since = 0;         // after the half-close: the last move, monotonic ms
};

// Why a connection ended; each reason has its line.
enum class End { closed, idle, period, dropped, shutdown };

// Places in the poll set.
enum Watched { kPort, kClient, kListen, kWatched };

// A wait that finds a descriptor ready leaves pending signals pending. Under
// a flow that never lets it sleep, every this many passes (a few
// milliseconds of work) take them.
constexpr unsigned kPassesPerSignalLook = 256;

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
    pollfd p[2] = {{proc.listen_fd, static_cast<short>(short_of_resources ? 0 : POLLIN), 0},
                   {server_settings.serial_fd, 0, 0}};
    const int n = wait_for(p, 2, short_of_resources ? kRetryMs : -1);
    if (n < 0) {
        if (errno != EINTR)
            log_perror("kolvd: poll");
        return false;
    }
    if (p[1].revents & POLLHUP) {
        port_hung_up();
        return false;
    }
    return n == 0 || (p[0].revents & POLLIN);
}

int
accept_client(sockaddr_in& peer, long& last_shortage_report) {
    constexpr long kReportEveryMs = 1000;
    bool short_of_resources = false;
    for (;;) {
        note_signals();
        if (!wait_for_client(short_of_resources))
            continue;
        socklen_t len = sizeof peer;
        // Non-blocking from the start: no fcntl calls per client.
        const int fd =
            accept4(proc.listen_fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK);
        if (fd >= 0) {
            // A signal that came before the accept, even one the wait left
            // pending because the client was ready, came between clients; a
            // shutdown goes before serving one.
            take_pending_signals();
            note_signals();
            return fd;
        }
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
    c.timeout.tv_usec = std::min(usec, 999999L); // a timeval holds less than a second there
}

void
begin_connection(Connection& c, const sockaddr_in& peer, bool& modem) {
    const char* port = proc.port_path.data();
    // Cleared before the client counts as connected, never after: from here
    // on, a SIGUSR1 is this client's and drops it, however soon it comes.
    server_settings.RestartRequested = 0;
    server_settings.client_connected = 1;
    copy_cut(c.peer, inet_ntoa(peer.sin_addr));
    log_line("[%s] %s connects to %s\n", make_timestamp(), c.peer.data(), port);
    notify_status(c.peer.data());
    log_debug("Flushing serial port queues for %s\n", port);
    if (tcflush(server_settings.serial_fd, TCIOFLUSH) != 0)
        log_perror("kolvd: tcflush:TCIOFLUSH");
    log_debug("Raise DTR and RTS for %s\n", port);
    modem_lines(modem, TIOCMBIS, "kolvd: ioctl:TIOCMBIS");
    if (server_settings.MaxConnectPeriod != 0) {
        server_settings.AlarmState = 1;
        alarm(server_settings.MaxConnectPeriod);
    }
    const std::uint32_t idle = server_settings.idle_timeout;
    c.full.tv_sec = idle / 10;
    c.full.tv_usec = static_cast<suseconds_t>(idle % 10) * 100000;
    c.reference = idle != 0 ? &c.timeout : nullptr;
    restart_idle(c);
}

// A chunk one side never took is lost with the connection: say so, with the
// error of the write that left it behind.
void
report_held(const Connection& c) {
    if (c.up.len > 0) {
        errno = c.up.err;
        log_perror("kolvd: write to serial port");
    }
    if (c.down.len > 0) {
        errno = c.down.err;
        log_perror("kolvd: write socket");
    }
}

void
end_connection(const Connection& c, End end, bool& modem) {
    const char* port = proc.port_path.data();
    if (end == End::closed)
        log_line("[%s] %s disconnects from %s\n", make_timestamp(), c.peer.data(), port);
    else if (end == End::idle)
        log_line("[%s] %s was disconnected, it exceeded IdleTimeout=%d s\n", make_timestamp(),
                 c.peer.data(), static_cast<int>(c.full.tv_sec));
    else if (end == End::period)
        log_line("[%s] %s was disconnected, it exceeded MaxConnectPeriod=%d s\n", make_timestamp(),
                 c.peer.data(), static_cast<int>(server_settings.MaxConnectPeriod));
    report_held(c);
    note_signals(); // a shutdown ends everything here
    close(proc.client_fd);
    take_pending_signals(); // what came until now is still this client's
    server_settings.client_connected = 0;
    note_signals(); // a SIGUSR1 that came during the close still has its line
    notify_status(nullptr);
    modem_lines(modem, TIOCMBIC, "kolvd: ioctl:TIOCMBIC");
    log_debug("Close socket for server on %s\n", port);
    if (server_settings.AlarmState == 1)
        alarm(0);
    server_settings.AlarmState = 0;
}

// Accounts for a write of held bytes: those taken move on, and the rest stay
// held with the reason (a short write met a full side). 0, or the error for
// which the side will take none of them, now dropped.
template <std::size_t N>
int
advance(Pipe<N>& p, ssize_t written, bool& moved) {
    if (written > 0) {
        p.off += static_cast<std::size_t>(written);
        p.len -= static_cast<std::size_t>(written);
        p.err = EAGAIN;
        moved = true;
        return 0;
    }
    const int err = written == 0 ? EAGAIN : errno;
    if (err == EAGAIN || err == EINTR) {
        p.err = err;
        return 0;
    }
    p.len = 0;
    return err;
}

// Sends what is held for the client. False: the client, having closed its
// sending side before, is gone altogether.
bool
to_client(Connection& c, bool& moved) {
    auto& d = c.down;
    // After a half-close, a refused send is how a full close shows: no SIGPIPE.
    const ssize_t sent =
        send(proc.client_fd, d.data.data() + d.off, d.len, c.half_closed ? MSG_NOSIGNAL : 0);
    if (sent > 0 && server_settings.debug)
        log_dump("sent", d.data.data() + d.off, static_cast<std::size_t>(sent));
    const int err = advance(d, sent, moved);
    if (err == 0)
        return true;
    if (c.half_closed && (err == EPIPE || err == ECONNRESET))
        return false;
    take_pending_signals(); // the SIGPIPE this send raised, and its line before the report
    note_signal_lines();
    errno = err;
    log_perror("kolvd: write socket");
    return true;
}

// Writes what is held for the port.
void
to_port(Connection& c, bool& moved) {
    auto& u = c.up;
    const int err =
        advance(u, write(server_settings.serial_fd, u.data.data() + u.off, u.len), moved);
    if (err != 0 && !port_hung_up()) { // a hang-up is reported by the shutdown it causes
        errno = err;
        log_perror("kolvd: write to serial port");
    }
}

// One recv of up to 8192 bytes, written on at once. False: the client is gone.
bool
from_client(Connection& c, bool& moved) {
    const ssize_t got = recv(proc.client_fd, c.up.data.data(), kClientChunk, 0);
    if (got > 0) {
        c.up.off = 0;
        c.up.len = static_cast<std::size_t>(got);
        if (server_settings.debug)
            log_dump("got", c.up.data.data(), c.up.len);
        moved = true;
        to_port(c, moved);
        return true;
    }
    if (got < 0) {
        if (errno != EINTR && errno != EAGAIN) // nothing was lost
            log_perror("kolvd: recv");
        return true;
    }
    // The client sends no more. Whether it still reads, TCP tells only when a
    // send fails, unless it has already reset the connection.
    c.half_closed = true;
    c.quiet_since = monotonic_ms();
    pollfd p{proc.client_fd, 0, 0};
    return !(poll(&p, 1, 0) == 1 && (p.revents & POLLHUP));
}

// One read of up to 1024 bytes, sent on at once.
bool
from_port(Connection& c, bool& moved) {
    const ssize_t got = read(server_settings.serial_fd, c.down.data.data(), kPortChunk);
    if (got <= 0) {
        port_hung_up();
        return true;
    }
    c.down.off = 0;
    c.down.len = static_cast<std::size_t>(got);
    moved = true;
    return to_client(c, moved);
}

// The poll set the buffers ask for. The port is always watched, if only for
// a hang-up; the client only when it is to be read or has room to find.
void
watch(const Connection& c, std::array<pollfd, kWatched>& p) {
    const auto client = static_cast<short>((c.up.len == 0 && !c.half_closed ? POLLIN : 0) |
                                           (c.down.len ? POLLOUT : 0));
    p[kPort] = {server_settings.serial_fd,
                static_cast<short>((c.down.len == 0 ? POLLIN : 0) | (c.up.len ? POLLOUT : 0)), 0};
    p[kClient] = {client ? proc.client_fd : -1, client, 0};
    // A client waiting for its turn ends a one-way session that holds nothing.
    p[kListen] = {c.half_closed && c.down.len == 0 ? proc.listen_fd : -1, POLLIN, 0};
}

// After a half-close, the line counts as quiet only while nothing waits for
// the client: a client slow to read loses nothing to the quiet time.
long
quiet_left(const Connection& c) {
    if (!c.half_closed || c.down.len > 0)
        return -1;
    return std::max(0L, c.quiet_since + kHalfCloseQuietMs - monotonic_ms());
}

// Milliseconds to wait, -1 for no limit: the idle time left, or the quiet
// time left. `idle_over` tells whether the idle time is used up by then.
int
wait_limit(Connection& c, bool moved, bool& idle_over) {
    // poll takes an int: after a day at most, the time left is looked at again.
    constexpr long kLongest = 86400000;
    long ms = -1;
    idle_over = false;
    if (c.reference != nullptr) {
        if (!moved) {
            timeval now{};
            gettimeofday(&now, nullptr);
            recompute(c, now);
        }
        ms = c.timeout.tv_sec * 1000 + (c.timeout.tv_usec + 999) / 1000;
        idle_over = ms <= kLongest;
        ms = std::min(ms, kLongest);
    }
    const long quiet = quiet_left(c);
    if (quiet >= 0 && (ms < 0 || quiet < ms)) {
        ms = quiet;
        idle_over = false;
    }
    return static_cast<int>(ms);
}

// Moves what the wake-up allows: held bytes first, then fresh reads. False
// when the client is gone, or a client waiting for its turn ends a one-way
// session that holds nothing.
bool
move(Connection& c, const std::array<pollfd, kWatched>& p, bool& moved) {
    constexpr short kBroken = POLLERR | POLLHUP | POLLNVAL;
    if ((p[kPort].revents & kBroken) && port_hung_up())
        return true; // the next pass shuts down
    if ((p[kClient].revents & (POLLOUT | kBroken)) && c.down.len > 0 && !to_client(c, moved))
        return false;
    if ((p[kPort].revents & POLLOUT) && c.up.len > 0)
        to_port(c, moved);
    if ((p[kClient].revents & (POLLIN | kBroken)) && c.up.len == 0 && !c.half_closed &&
        !from_client(c, moved))
        return false;
    if ((p[kPort].revents & POLLIN) && c.down.len == 0 && !from_port(c, moved))
        return false;
    return !(p[kListen].revents & POLLIN) || c.down.len > 0;
}

End
relay(Connection& c) {
    std::array<pollfd, kWatched> p{};
    bool moved = true; // begin_connection started the idle time
    for (unsigned pass = 1;; ++pass) {
        if (pass % kPassesPerSignalLook == 0)
            take_pending_signals();
        note_signal_lines(); // lines of signals that came with the data go first
        if (proc.shutdown_signal)
            return End::shutdown;
        if (server_settings.AlarmState == 2)
            return End::period;
        if (server_settings.RestartRequested)
            return End::dropped;
        watch(c, p);
        bool idle_over = false;
        const int n = wait_for(p.data(), p.size(), wait_limit(c, moved, idle_over));
        moved = false;
        if (n == 0 && quiet_left(c) == 0)
            return End::closed;
        if (n == 0 && idle_over)
            return End::idle;
        if (n < 0) {
            if (errno != EINTR)
                log_perror("kolvd: poll");
            continue;
        }
        if (!move(c, p, moved))
            return End::closed;
        if (moved) {
            restart_idle(c);
            if (c.half_closed)
                c.quiet_since = monotonic_ms();
        }
    }
}

} // namespace

void
serve_clients() {
    set_keepalive(proc.listen_fd);
    // The port never holds a write: what it cannot take yet waits in the relay.
    const int serial = server_settings.serial_fd;
    const int flags = fcntl(serial, F_GETFL);
    if (flags < 0 || fcntl(serial, F_SETFL, flags | O_NONBLOCK) != 0)
        log_perror("kolvd: fcntl: F_SETFL");
    bool modem = true; // false once the port has shown it has no modem lines
    long last_shortage_report = -1000000;
    for (;;) {
        log_debug("Listen for new client for %s\n", proc.port_path.data());
        sockaddr_in peer{};
        proc.client_fd = accept_client(peer, last_shortage_report);
        Connection c;
        begin_connection(c, peer, modem);
        end_connection(c, relay(c), modem);
    }
}
