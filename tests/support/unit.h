// Unit-test helpers: whole-file reads and writes, a pseudo-terminal pair, and a
// symbolic link under /dev that is removed with the test.
#pragma once

#include <fstream>
#include <iterator>
#include <pty.h>
#include <string>
#include <unistd.h>
#include <utility>

namespace kt {

inline void
write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string
read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// The master stays open for the life of the pair, or the slave hangs up.
struct Pty {
    int master = -1;
    int slave = -1;
    Pty() {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            master = slave = -1;
    }
    ~Pty() {
        close(slave);
        close(master);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
};

// /dev/<name> pointing at target; ok is false where /dev cannot be written.
struct DevLink {
    std::string name;
    bool ok;
    DevLink(std::string link_name, const std::string& target)
        : name(std::move(link_name)), ok(symlink(target.c_str(), path().c_str()) == 0) {}
    ~DevLink() {
        if (ok)
            unlink(path().c_str());
    }
    DevLink(const DevLink&) = delete;
    DevLink& operator=(const DevLink&) = delete;
    std::string path() const {
        return "/dev/" + name;
    }
};

} // namespace kt
