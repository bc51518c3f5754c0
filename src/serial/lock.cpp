// UUCP-style lock files: "LCK.." and the device name, holding "%10d\n".
// Each operation looks at the file system afresh, except that a server
// removes the very lock it created: a port named through a symbolic link may
// have lost that link by then (udev removes a by-id link on unplug).
// Lock paths are opened without blocking, so a fifo planted there cannot hang us.
#include "serial/serial.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const noexcept {
        std::fclose(f);
    }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// Opens an existing lock file for reading; only regular files count.
UniqueFile
open_lock_for_reading(const char* path) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    UniqueFile f{fdopen(fd, "r")};
    if (!f)
        close(fd);
    return f;
}

constexpr std::string_view kDev = "/dev/";

// The port path without its "/dev/", as the lock names the device.
std::string_view
without_dev(std::string_view path) {
    std::size_t same = 0;
    while (same < kDev.size() && same < path.size() && path[same] == kDev[same])
        ++same;
    path.remove_prefix(same);
    return path;
}

} // namespace

int
build_lock_path(const char* port_path, std::array<char, kLockPathSize>& out) {
    std::string_view dir = "/var/lock/";
    const char* slash = "";
    if (server_settings.custom_lock_dir) {
        dir = proc.LockDirectory.data();
        if (dir.empty() || dir.back() != '/')
            slash = "/";
    }
    std::string_view name = without_dev(port_path);
    // A link such as /dev/serial/by-id/usb-... locks the device it points to,
    // under the name that other programs lock it by.
    std::array<char, PATH_MAX> real{};
    struct stat st {};
    if (lstat(port_path, &st) == 0 && S_ISLNK(st.st_mode) &&
        realpath(port_path, real.data()) != nullptr) {
        const std::string_view target{real.data()};
        if (target.starts_with(kDev) && target.size() > kDev.size())
            name = without_dev(target);
    }
    const int n =
        std::snprintf(out.data(), out.size(), "%.*s%sLCK..%.*s", static_cast<int>(dir.size()),
                      dir.data(), slash, static_cast<int>(name.size()), name.data());
    return n >= 0 && static_cast<std::size_t>(n) < out.size() ? 0 : -1;
}

std::int32_t
lock_exists(const char* port_path) {
    std::array<char, kLockPathSize> path{};
    if (build_lock_path(port_path, path) != 0)
        return -1;
    return access(path.data(), F_OK) == 0 ? 0 : -1;
}

std::int32_t
create_lock(const char* port_path) {
    std::array<char, kLockPathSize> path{};
    if (build_lock_path(port_path, path) != 0 || access(path.data(), F_OK) == 0)
        return -1;
    // Exclusive and not through a symbolic link: of two servers starting at
    // once, the later one fails instead of overwriting the first one's pid.
    const int fd = open(path.data(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    std::array<char, 32> text{};
    const int n = std::snprintf(text.data(), text.size(), "%10d\n", static_cast<int>(getpid()));
    const ssize_t written = write(fd, text.data(), static_cast<std::size_t>(n));
    close(fd);
    if (written != n)
        return -1;
    proc.lock_path = path;
    return 0;
}

std::int32_t
remove_lock(const char* port_path) {
    std::array<char, kLockPathSize> path = proc.lock_path;
    if (path[0] == '\0' && build_lock_path(port_path, path) != 0)
        return -1;
    if (access(path.data(), F_OK) != 0)
        return -1;
    // Wide enough that a number 2^32 away from ours cannot pass for it.
    long long pid = 0;
    {
        UniqueFile f = open_lock_for_reading(path.data());
        if (!f || std::fscanf(f.get(), "%lld", &pid) != 1)
            return -1;
    }
    if (pid != getpid())
        return -1;
    unlink(path.data());
    return 0;
}

std::int32_t
read_lock_pid(const char* port_path) {
    std::array<char, kLockPathSize> path{};
    if (build_lock_path(port_path, path) != 0)
        return -1;
    std::array<char, 80> first{};
    {
        UniqueFile f = open_lock_for_reading(path.data());
        if (!f || std::fgets(first.data(), static_cast<int>(first.size()), f.get()) == nullptr)
            return -1;
    }
    // Taken as 32 bits, so values above 2147483647 come out negative.
    return static_cast<std::int32_t>(parse_u32(first.data()));
}
