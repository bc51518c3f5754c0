// The floor relay: kolvd's relay rules and nothing else, so that kolvd's
// figures can be read against the least a relay under those rules costs.
// One client at a time; per pass one select on the two descriptors, then at
// most one recv of 8192 bytes written to the line and one read of 1024 bytes
// sent to the client. No log, no options.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

static void
write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0)
            return;
        p += w;
        n -= static_cast<size_t>(w);
    }
}

static void
relay(int client, int serial) {
    static char to_serial[8192], to_client[1024];
    const int top = client > serial ? client : serial;
    for (;;) {
        fd_set r;
        FD_ZERO(&r);
        FD_SET(client, &r);
        FD_SET(serial, &r);
        if (select(top + 1, &r, nullptr, nullptr, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (FD_ISSET(client, &r)) {
            const ssize_t n = recv(client, to_serial, sizeof to_serial, 0);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
                return;
            if (n > 0)
                write_all(serial, to_serial, static_cast<size_t>(n));
        }
        if (FD_ISSET(serial, &r)) {
            const ssize_t n = read(serial, to_client, sizeof to_client);
            if (n > 0)
                send(client, to_client, static_cast<size_t>(n), 0);
        }
    }
}

int
main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: kolvd_floor_relay /dev/pts/N PORT\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    // Blocking, as kolvd writes to the line.
    const int serial = open(argv[1], O_RDWR | O_NOCTTY);
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
        relay(client, serial);
        close(client);
    }
}
