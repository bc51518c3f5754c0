// The port argument becomes "/dev/" and a name, and must be a character device.
#include "serial/serial.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr std::string_view kDevPrefix = "/dev/";
}

const char*
resolve_port_name(const char* arg) {
    std::string_view name{arg};
    if (!name.empty() && name.front() == '/') {
        std::size_t same = 0;
        while (same < kDevPrefix.size() && same < name.size() && name[same] == kDevPrefix[same])
            ++same;
        name.remove_prefix(same);
    }
    if (kDevPrefix.size() + name.size() >= proc.port_path.size())
        return nullptr; // more than 122 characters cannot be a port we could name
    std::memcpy(proc.port_path.data(), kDevPrefix.data(), kDevPrefix.size());
    std::memcpy(proc.port_path.data() + kDevPrefix.size(), name.data(), name.size());
    proc.port_path[kDevPrefix.size() + name.size()] = '\0';
    return is_char_device(proc.port_path.data()) == 0 ? proc.port_path.data() : nullptr;
}

int
is_char_device(const char* path) {
    if (access(path, F_OK) != 0)
        return -1;
    struct stat st {};
    if (stat(path, &st) != 0)
        return -1;
    return (st.st_mode & S_IFMT) == S_IFCHR ? 0 : -1;
}
