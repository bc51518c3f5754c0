// -S and -I: find the server's pid in the port's lock file and signal it.
#include "serial/serial.h"
#include "server/server.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum class Verdict { server, other, unknown };

// Names what could not be read when the verdict is unknown: a /proc entry, or the port.
using Unread = std::array<char, kPortPathSize>;

// Whether the process is a kolvd. The server gives itself the program's name
// at start-up, so a renamed or linked binary, a re-exec through
// /proc/self/exe or a package upgrade under it changes nothing; and the name
// is readable even where the process's descriptors are not.
Verdict
named_like_us(std::int32_t pid, Unread& path) {
    std::snprintf(path.data(), path.size(), "/proc/%d/comm", pid);
    const int fd = open(path.data(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return Verdict::unknown;
    std::array<char, 32> name{};
    const ssize_t n = read(fd, name.data(), name.size() - 1);
    const int saved = errno;
    close(fd);
    errno = saved;
    if (n < 0)
        return Verdict::unknown;
    std::string_view got{name.data(), static_cast<std::size_t>(n)};
    if (got.ends_with('\n'))
        got.remove_suffix(1);
    return got == proc.program_name.data() ? Verdict::server : Verdict::other;
}

// Whether the process has the port open: a lock file anyone may write, or a
// stale one whose pid was reused, must not aim our signal at a stranger.
Verdict
holds_port(std::int32_t pid, const char* port_path, Unread& path) {
    struct stat port {};
    if (stat(port_path, &port) != 0) {
        std::snprintf(path.data(), path.size(), "%s", port_path);
        return Verdict::unknown;
    }
    std::snprintf(path.data(), path.size(), "/proc/%d/fd", pid);
    DIR* dir = opendir(path.data());
    if (dir == nullptr)
        return Verdict::unknown;
    Verdict found = Verdict::other;
    while (const dirent* e = readdir(dir)) {
        struct stat st {}; // through the descriptor's link, to what it has open
        if (e->d_name[0] != '.' && fstatat(dirfd(dir), e->d_name, &st, 0) == 0 &&
            S_ISCHR(st.st_mode) && st.st_rdev == port.st_rdev) {
            found = Verdict::server;
            break;
        }
    }
    closedir(dir);
    return found;
}

Verdict
is_server_of(std::int32_t pid, const char* port_path, Unread& path) {
    const Verdict named = named_like_us(pid, path);
    return named == Verdict::server ? holds_port(pid, port_path, path) : named;
}

[[noreturn]] void
not_sent(bool reinit, std::int32_t pid) {
    if (reinit)
        std::printf("%s: Unable to reinitialize server pid %d\n", proc.program_name.data(), pid);
    else
        std::printf("Unable to kill server pid %d\n", pid);
    std::exit(1);
}

// Returns when the signal may go; kill(2) then has the last word. Whether the
// process exists is kill's to say: /proc may be hidden, replaced or missing,
// so its silence proves nothing.
void
refuse_unless_server(bool reinit, std::int32_t pid, const char* port_path) {
    if (kill(pid, 0) != 0)
        return;
    Unread path{};
    const Verdict verdict = is_server_of(pid, port_path, path);
    if (verdict == Verdict::server)
        return;
    if (verdict == Verdict::unknown) {
        const int why = errno;
        if (why == ENOENT && kill(pid, 0) != 0)
            return; // gone meanwhile
        std::fprintf(stderr, "%s: cannot tell whether pid %d is the server of %s: %s: %s\n",
                     proc.program_name.data(), pid, port_path, path.data(), std::strerror(why));
    } else {
        std::fprintf(stderr, "%s: pid %d is not the server of %s\n", proc.program_name.data(), pid,
                     port_path);
    }
    not_sent(reinit, pid);
}

} // namespace

void
run_control_command(Mode mode, const char* port_path) {
    const bool reinit = mode == Mode::reinitialise;
    if (lock_exists(port_path) != 0) {
        std::printf("Server not running or lock file not located\n");
        std::exit(1);
    }
    const std::int32_t pid = read_lock_pid(port_path);
    if (pid <= 1) {
        std::printf("A server pid of %d does not make sense\n", pid);
        std::exit(1);
    }
    refuse_unless_server(reinit, pid, port_path);
    if (kill(pid, reinit ? SIGUSR1 : SIGHUP) != 0) {
        std::perror("kolvd: kill");
        not_sent(reinit, pid);
    }
    if (reinit)
        std::printf("Sent SIGUSR1 signal to reinitialize server on %s\n", port_path);
    else
        std::printf("Sent SIGHUP signal to shutdown server on %s\n", port_path);
    std::exit(0);
}
