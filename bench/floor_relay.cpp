// The floor relay: kolvd's relay rules and nothing else, so that kolvd's
// figures can be read against the least a relay under those rules costs.
// One client at a time. Both sides non-blocking, one held buffer per
// direction: a side is read only while the buffer it fills is empty (one recv
// of up to 8192 bytes, one read of up to 1024), what was read is written at
// once, and the other side is polled for room only while bytes wait. After
// the client's half-close the line's output goes on until it has been quiet
// for 2 s or another client waits. No log, no signals, no options.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr long kQuietMs = 2000;

template <size_t N> struct Pipe {
    char data[N];
    size_t off = 0, len = 0;
};

long
now_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// Writes what is held; false when the side refuses it for good.
template <size_t N>
bool
flush(int fd, Pipe<N>& p, bool socket, bool& moved) {
    const ssize_t w =
        socket ? send(fd, p.data + p.off, p.len, 0) : write(fd, p.data + p.off, p.len);
    if (w < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    if (w <= 0) {
        p.len = 0;
        return false;
    }
    p.off += static_cast<size_t>(w);
    p.len -= static_cast<size_t>(w);
    moved = true;
    return true;
}

// Reads into an empty buffer; the read's result.
template <size_t N>
ssize_t
fill(int fd, Pipe<N>& p, bool socket) {
    const ssize_t n = socket ? recv(fd, p.data, N, 0) : read(fd, p.data, N);
    p.off = 0;
    p.len = n > 0 ? static_cast<size_t>(n) : 0;
    return n;
}

void
relay(int client, int serial, int listener) {
    Pipe<8192> up;
    Pipe<1024> down;
    bool half_closed = false;
    long quiet_since = 0;
    for (;;) {
        const auto on_client = static_cast<short>((up.len == 0 && !half_closed ? POLLIN : 0) |
                                                  (down.len ? POLLOUT : 0));
        pollfd p[3] = {
            {serial, static_cast<short>((down.len == 0 ? POLLIN : 0) | (up.len ? POLLOUT : 0)), 0},
            {on_client ? client : -1, on_client, 0},
            {half_closed && down.len == 0 ? listener : -1, POLLIN, 0}};
        const long quiet =
            half_closed && down.len == 0 ? std::max(0L, quiet_since + kQuietMs - now_ms()) : -1;
        const int n = poll(p, 3, static_cast<int>(quiet));
        if (n == 0 || (n < 0 && errno != EINTR))
            return;
        bool moved = false;
        if ((p[1].revents & (POLLOUT | POLLERR | POLLHUP)) && down.len &&
            !flush(client, down, true, moved))
            return;
        if ((p[0].revents & POLLOUT) && up.len)
            flush(serial, up, false, moved);
        if ((p[1].revents & (POLLIN | POLLERR | POLLHUP)) && up.len == 0 && !half_closed) {
            const ssize_t got = fill(client, up, true);
            if (got > 0) {
                flush(serial, up, false, moved);
            } else if (got == 0) { // the client sends no more; one that reset is gone
                pollfd gone{client, 0, 0};
                if (poll(&gone, 1, 0) == 1 && (gone.revents & POLLHUP))
                    return;
                half_closed = true;
                moved = true;
            }
        }
        if ((p[0].revents & POLLIN) && down.len == 0 && fill(serial, down, false) > 0 &&
            !flush(client, down, true, moved))
            return;
        if ((p[2].revents & POLLIN) && down.len == 0)
            return;
        if (half_closed && moved)
            quiet_since = now_ms();
    }
}

} // namespace

int
main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: kolvd_floor_relay /dev/pts/N PORT\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    const int serial = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    if (serial < 0 || tcgetattr(serial, &t) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    cfmakeraw(&t);
    tcsetattr(serial, TCSANOW, &t);
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (listener < 0 || setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listener, 1) != 0) {
        std::perror("listen");
        return 1;
    }
    for (;;) {
        const int client = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            std::perror("accept");
            return 1;
        }
        tcflush(serial, TCIOFLUSH);
        relay(client, serial, listener);
        close(client);
    }
}
