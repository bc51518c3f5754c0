// Helpers for every test: whole files, temporary directories, a pseudo-terminal
// pair, bounded waits, and programs run with their streams in files.
#pragma once

#include <array>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kt {

namespace fs = std::filesystem;

using ms = std::chrono::milliseconds;

// The one way these tests wait: polled every 10 ms, never past `limit`.
template <class F>
bool
wait_until(F pred, ms limit = ms(5000)) {
    for (const auto end = std::chrono::steady_clock::now() + limit; !pred();
         std::this_thread::sleep_for(ms(10)))
        if (std::chrono::steady_clock::now() >= end)
            return false;
    return true;
}

// Whole file, or what could be read of it: /proc entries may vanish meanwhile.
inline std::string
slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void
spit(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// A lock file's content naming `pid`.
inline std::string
planted(pid_t pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", pid);
    return text;
}

struct TempDir {
    fs::path path = mkdtemp((fs::temp_directory_path() / "kolvd-test-XXXXXX").string().data());
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string operator/(const std::string& name) const {
        return (path / name).string();
    }
};

// The master stays open for the life of the pair, or the slave hangs up; no
// program the test runs gets it.
struct Pty {
    int master = -1, slave = -1;
    std::string dev; // "/dev/pts/N"; empty if no pair could be had
    Pty() {
        char n[64] = "";
        openpty(&master, &slave, n, nullptr, nullptr);
        fcntl(master, F_SETFD, FD_CLOEXEC);
        dev = n;
    }
    ~Pty() {
        close(slave);
        close(master);
    }
};

inline int
exit_status(int st) {
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// Runs argv (argv[0] is a path) in a child with its standard input opened
// read-write from paths[0] and its output and errors appended to paths[1] and
// paths[2]; an empty path keeps ours.
inline pid_t
spawn(const std::vector<std::string>& args, const std::array<std::string, 3>& paths) {
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    for (int fd = 0; fd < 3; ++fd)
        if (const std::string& path = paths.at(static_cast<std::size_t>(fd)); !path.empty())
            dup2(open(path.c_str(), fd ? O_WRONLY | O_CREAT | O_APPEND : O_RDWR, 0600), fd);
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

struct Result {
    std::string out, err;
    int status = -1; // exit status, or 128 + signal
};

// Runs argv to its end with both streams captured in files, which a daemon it
// leaves behind may go on holding.
inline Result
run(const std::vector<std::string>& args) {
    const TempDir d;
    int st = 0;
    const pid_t pid = spawn(args, {"", d / "out", d / "err"});
    if (pid < 0 || waitpid(pid, &st, 0) != pid)
        return {};
    return {slurp(d / "out"), slurp(d / "err"), exit_status(st)};
}

} // namespace kt
