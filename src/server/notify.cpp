// News for the service manager, when it asked for them (NOTIFY_SOCKET): ready
// at start-up, then a status line at each connect and disconnect. Nothing is
// sent without the variable, nothing ever waits for the manager (a datagram
// it cannot take at once is lost), and nothing wakes the server up. The
// launcher tells of the start-up, as the process the manager started; the
// server starts serving only once the launcher has exited, so that its news
// comes after that. (Naming the server MAINPID= from the launcher would make
// it a main process the manager is not the parent of, and cannot wait for.)
#include "server/server.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The manager's socket: a path, or an abstract name written with '@' first.
socklen_t
manager_address(sockaddr_un& to) {
    const char* name = std::getenv("NOTIFY_SOCKET");
    const std::size_t n = name == nullptr ? 0 : std::strlen(name);
    if (n < 2 || n >= sizeof to.sun_path || (name[0] != '/' && name[0] != '@'))
        return 0;
    to.sun_family = AF_UNIX;
    std::memcpy(to.sun_path, name, n);
    if (name[0] == '@')
        to.sun_path[0] = '\0'; // an abstract name has no terminating NUL
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n + (name[0] == '/'));
}

__attribute__((format(printf, 1, 2))) void
notify(const char* fmt, ...) {
    sockaddr_un to{};
    const socklen_t len = proc.notify_fd < 0 ? 0 : manager_address(to);
    if (len == 0)
        return;
    std::array<char, 256> text;
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(text.data(), text.size(), fmt, ap);
    va_end(ap);
    if (n > 0)
        (void)!sendto(proc.notify_fd, text.data(),
                      std::min(static_cast<std::size_t>(n), text.size() - 1),
                      MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), len);
}

// Each status line costs the manager far more than it costs us: a flood of
// connections must not keep it busy. Ten clients a second are told, saved
// up for a second; the others leave it at "Listening". The disconnect of a
// client it was told of is always told.
bool
serving_may_be_told() {
    constexpr long kEveryMs = 100;
    constexpr long kSavedMs = 1000;
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    const long now = t.tv_sec * 1000 + t.tv_nsec / 1000000;
    if (proc.status_next > now)
        return false;
    proc.status_next = std::max(proc.status_next, now - kSavedMs) + kEveryMs;
    return true;
}

} // namespace

void
notify_open() {
    sockaddr_un to{};
    if (proc.notify_fd < 0 && manager_address(to) != 0)
        proc.notify_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

void
notify_ready(int port) {
    notify("READY=1\nSTATUS=Listening on TCP port %d for %s", port, proc.port_path.data());
}

void
notify_status(const char* client) {
    if (proc.notify_fd < 0 || (client == nullptr && !proc.status_shown))
        return;
    if (client != nullptr) {
        if (!serving_may_be_told())
            return;
        proc.status_shown = 1;
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        std::array<char, 16> since{};
        std::strftime(since.data(), since.size(), "%T", &local);
        notify("STATUS=Serving %s since %s", client, since.data());
        return;
    }
    proc.status_shown = 0;
    sockaddr_in self{};
    socklen_t len = sizeof self;
    getsockname(proc.listen_fd, reinterpret_cast<sockaddr*>(&self), &len);
    notify("STATUS=Listening on TCP port %d for %s", ntohs(self.sin_port), proc.port_path.data());
}
