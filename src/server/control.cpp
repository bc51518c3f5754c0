// -S and -I: find the server's pid in the port's lock file and signal it.
#include "serial/serial.h"
#include "server/server.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>

namespace {

enum class Holder { yes, no, unknown };

// Whether the process has the port open: a lock file anyone may write, or a
// stale one whose pid was reused, must not aim our signal at a stranger.
Holder
holds_port(std::int32_t pid, const char* port_path) {
    struct stat port {};
    if (stat(port_path, &port) != 0)
        return Holder::unknown;
    std::array<char, 32> dir_path{};
    std::snprintf(dir_path.data(), dir_path.size(), "/proc/%d/fd", pid);
    DIR* dir = opendir(dir_path.data());
    if (dir == nullptr)
        return errno == ENOENT ? Holder::no : Holder::unknown;
    Holder found = Holder::no;
    while (const dirent* e = readdir(dir)) {
        struct stat st {}; // through the descriptor's link, to what it has open
        if (e->d_name[0] != '.' && fstatat(dirfd(dir), e->d_name, &st, 0) == 0 &&
            S_ISCHR(st.st_mode) && st.st_rdev == port.st_rdev) {
            found = Holder::yes;
            break;
        }
    }
    closedir(dir);
    return found;
}

// As kill(2) would answer for a process that is gone.
int
signal_server(std::int32_t pid, const char* port_path, int sig) {
    if (holds_port(pid, port_path) == Holder::no) {
        errno = ESRCH;
        return -1;
    }
    return kill(pid, sig);
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
    if (signal_server(pid, port_path, reinit ? SIGUSR1 : SIGHUP) != 0) {
        std::fflush(stdout);
        std::perror("kolvd: kill");
        if (reinit)
            std::printf("%s: Unable to reinitialize server pid %d\n", proc.program_name.data(),
                        pid);
        else
            std::printf("Unable to kill server pid %d\n", pid);
        std::exit(1);
    }
    if (reinit)
        std::printf("Sent SIGUSR1 signal to reinitialize server on %s\n", port_path);
    else
        std::printf("Sent SIGHUP signal to shutdown server on %s\n", port_path);
    std::exit(0);
}
