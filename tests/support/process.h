// Helpers for every test: whole files, temporary directories, a pseudo-terminal
// pair, bounded waits, and runs of a program with its output captured.
#pragma once

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <pty.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kt {

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
    std::string s;
    char buf[4096];
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        s.append(buf, static_cast<std::size_t>(n));
    close(fd);
    return s;
}

inline void
spit(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

struct TempDir {
    std::filesystem::path path;
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kolvd-test-XXXXXX").string();
        path = mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const {
        return (path / name).string();
    }
};

// The master stays open for the life of the pair, or the slave hangs up.
struct Pty {
    int master = -1, slave = -1;
    std::string dev; // "/dev/pts/N"; empty if no pair could be had
    Pty() {
        char n[64] = "";
        openpty(&master, &slave, n, nullptr, nullptr);
        dev = n;
    }
    ~Pty() {
        close(slave);
        close(master);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
};

struct Result {
    std::string out;
    std::string err;
    int status = -1; // exit status, or 128 + signal
};

// Runs argv (argv[0] is a path) with both streams captured in files, which a
// daemon it leaves behind may go on holding.
inline Result
run(const std::vector<std::string>& args) {
    const TempDir d;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, (d / "out").c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, (d / "err").c_str(), O_WRONLY | O_CREAT, 0600);
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int st = 0;
    const bool ok = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&fa);
    if (!ok || waitpid(pid, &st, 0) != pid)
        return {};
    return {slurp(d / "out"), slurp(d / "err"),
            WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st)};
}

// In a forked child: becomes argv[0], input from `in`, output and errors to `out`.
[[noreturn]] inline void
exec_redirected(const std::vector<std::string>& args, const std::string& in,
                const std::string& out) {
    dup2(open(in.c_str(), O_RDONLY), 0);
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    dup2(1, 2);
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

} // namespace kt
