// The log: standard error, shared with other writers and opened for append,
// so every line is composed here and goes out in one write. The log is
// non-blocking: a target that takes no data (a full FIFO, a stopped terminal)
// loses the line instead of holding the server.
#include "log/log.h"

#include "config/config.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::size_t kLineSize = 1024;

// Syslog priorities of the three kinds of line.
enum class Level { error = 3, event = 6, debug = 7 };

void
write_out(Level, const char* text, std::size_t n) {
    if (proc.startup_report >= 0) // the launcher may be gone: no SIGPIPE, no waiting
        (void)!send(proc.startup_report, text, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    while (n > 0) {
        const ssize_t w = write(STDERR_FILENO, text, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return;
        text += w;
        n -= static_cast<std::size_t>(w);
    }
}

__attribute__((format(printf, 2, 0))) void
vlog(Level level, const char* fmt, va_list ap) {
    const int saved = errno;          // callers report errno after logging
    std::array<char, kLineSize> line; // vsnprintf fills what is written
    const int n = std::vsnprintf(line.data(), line.size(), fmt, ap);
    if (n > 0)
        write_out(level, line.data(), std::min(static_cast<std::size_t>(n), line.size() - 1));
    errno = saved;
}

} // namespace

const char*
make_timestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(proc.timestamp.data(), proc.timestamp.size(), "%b-%d-%Y %T", &local);
    return proc.timestamp.data();
}

void
log_mirror_to(int fd) {
    proc.startup_report = fd;
}

void
log_line(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vlog(Level::event, fmt, ap);
    va_end(ap);
}

void
log_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vlog(Level::error, fmt, ap);
    va_end(ap);
}

void
log_debug(const char* fmt, ...) {
    if (!server_settings.debug)
        return;
    va_list ap;
    va_start(ap, fmt);
    vlog(Level::debug, fmt, ap);
    va_end(ap);
}

void
log_perror(const char* text) {
    log_error("%s: %s\n", text, std::strerror(errno));
}

void
log_dump(const char* label, const unsigned char* data, std::size_t n) {
    // "kolvd got:" and "<41h>" per byte; sized for the largest chunk relayed.
    constexpr std::size_t kMaxChunk = 8192;
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::array<char, kProgramNameSize + 8 + kMaxChunk * 5 + 2> text; // 41 KB: not cleared
    n = std::min(n, kMaxChunk);
    int len = std::snprintf(text.data(), text.size(), "%s %s:", proc.program_name.data(), label);
    auto at = static_cast<std::size_t>(std::max(len, 0));
    for (std::size_t i = 0; i < n; ++i) {
        text[at++] = '<';
        text[at++] = kHex[data[i] >> 4];
        text[at++] = kHex[data[i] & 0xf];
        text[at++] = 'h';
        text[at++] = '>';
    }
    text[at++] = '\n';
    write_out(Level::debug, text.data(), at);
}
