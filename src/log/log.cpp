// The log: standard error, shared with other writers and opened for append,
// so every line is composed here and goes out in one write. The log is
// non-blocking: a target that takes no data (a full FIFO, a stopped terminal)
// loses the line instead of holding the server. Under a service manager with
// no log file chosen, standard error is its journal's stream, and each line
// starts with its syslog priority ("<3>"), which the journal strips.
#include "log/log.h"

#include "config/config.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t kLineSize = 1024;
constexpr std::size_t kPrefixSize = 3; // "<3>"

// Syslog priorities of the three kinds of line.
enum class Level { error = 3, event = 6, debug = 7 };

// One attempt, never waiting. The journal's socket is shared with the
// launcher, so its mode is left alone and each send says "don't wait".
ssize_t
put(const char* text, std::size_t n) {
    for (;;) {
        const ssize_t w = proc.log_journal
                              ? send(STDERR_FILENO, text, n, MSG_DONTWAIT | MSG_NOSIGNAL)
                              : write(STDERR_FILENO, text, n);
        if (w >= 0 || errno != EINTR)
            return w;
    }
}

// `line` starts with room for the priority. A target that takes part of a
// line and then nothing more leaves a fragment; it is ended with a newline,
// now or before the next line, which is dropped until that newline goes out,
// so no line ever continues a fragment of another.
void
write_out(Level level, char* line, std::size_t n) {
    line[0] = '<';
    line[1] = static_cast<char>('0' + static_cast<int>(level));
    line[2] = '>';
    // The launcher may be gone: no SIGPIPE, no waiting. It gets the priority
    // too, for a journal of its own.
    if (proc.startup_report >= 0)
        (void)!send(proc.startup_report, line, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (proc.log_cut) {
        if (put("\n", 1) != 1)
            return;
        proc.log_cut = 0;
    }
    const std::size_t skip = proc.log_journal ? 0 : kPrefixSize;
    const char* text = line + skip;
    n -= skip;
    std::size_t done = 0;
    for (ssize_t w = 0; done < n && (w = put(text + done, n - done)) > 0;)
        done += static_cast<std::size_t>(w);
    if (done > 0 && done < n && put("\n", 1) != 1)
        proc.log_cut = 1;
}

__attribute__((format(printf, 2, 0))) void
vlog(Level level, const char* fmt, va_list ap) {
    const int saved = errno;                        // callers report errno after logging
    std::array<char, kPrefixSize + kLineSize> line; // vsnprintf fills what is written
    const int n = std::vsnprintf(line.data() + kPrefixSize, kLineSize, fmt, ap);
    if (n > 0) {
        const std::size_t len = std::min(static_cast<std::size_t>(n), kLineSize - 1);
        if (len < static_cast<std::size_t>(n))
            line[kPrefixSize + len - 1] = '\n'; // a line cut to fit still ends
        write_out(level, line.data(), kPrefixSize + len);
    }
    errno = saved;
}

} // namespace

bool
journal_stream(int fd) {
    const char* named = std::getenv("JOURNAL_STREAM"); // "device:inode"
    unsigned long long dev = 0;
    unsigned long long ino = 0;
    char extra = 0;
    struct stat st {};
    return named != nullptr && std::sscanf(named, "%llu:%llu%c", &dev, &ino, &extra) == 2 &&
           fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == dev && st.st_ino == ino;
}

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
    std::array<char, kPrefixSize + kProgramNameSize + 8 + kMaxChunk * 5 + 2> text; // not cleared
    n = std::min(n, kMaxChunk);
    const int len = std::snprintf(text.data() + kPrefixSize, text.size() - kPrefixSize,
                                  "%s %s:", proc.program_name.data(), label);
    auto at = kPrefixSize + static_cast<std::size_t>(std::max(len, 0));
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
