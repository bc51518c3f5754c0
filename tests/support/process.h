// Test helpers: run the built binary and capture what it says, temporary
// directories that clean up after themselves.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace kt {

struct Result {
    std::string out;
    std::string err;
    int status = -1; // exit status, or 128 + signal
};

inline std::string
read_all(int fd) {
    std::string s;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        s.append(buf, static_cast<std::size_t>(n));
    return s;
}

// Runs argv (argv[0] is a path) with stdin from /dev/null; captures both streams.
inline Result
run(const std::vector<std::string>& args, const std::string& cwd = "") {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]), close(err[0]), close(out[1]), close(err[1]);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(126);
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]), close(err[1]);
    Result r;
    r.out = read_all(out[0]); // the daemon's parent exits at once; the child holds no pipe
    r.err = read_all(err[0]);
    close(out[0]), close(err[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

// kolvd with its arguments.
inline Result
kolvd(std::vector<std::string> args, const std::string& cwd = "") {
    args.insert(args.begin(), KOLVD_BINARY);
    return run(args, cwd);
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

} // namespace kt
