// "lockdir NUL port", or just "port" for the default directory ->
// resolve_port_name, then the lock path built from the port path.
#include "harness.h"
#include "serial/serial.h"

#include <climits>
#include <sys/stat.h>

extern "C" int
LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = input.find('\0');
    reset_settings();
    std::string dir = "/var/lock/";
    if (nul != input.npos) {
        copy_cut(proc.LockDirectory, input.substr(0, nul)); // -L allows 83 characters
        server_settings.custom_lock_dir = 1;
        dir = proc.LockDirectory.data();
        if (dir.empty() || dir.back() != '/')
            dir += '/';
    }
    const std::string arg(nul == input.npos ? input : input.substr(nul + 1));
    const char* port = resolve_port_name(arg.c_str());
    const std::string_view path(proc.port_path.data());
    assert(path.size() < proc.port_path.size() && (path.empty() || path.starts_with("/dev/")));
    assert(!port || (port == proc.port_path.data() && is_char_device(port) == 0));

    std::array<char, kLockPathSize> lock{};
    const int rc = build_lock_path(path.data(), lock);
    std::string name(path.substr(path.empty() ? 0 : 5));
    struct stat st {};
    char real[PATH_MAX];
    if (lstat(path.data(), &st) == 0 && S_ISLNK(st.st_mode) && realpath(path.data(), real) &&
        std::string_view(real).starts_with("/dev/") && real[5] != '\0')
        name = real + 5; // a link locks the device it resolves to
    const std::string expect = dir + "LCK.." + name;
    const bool fits = expect.size() < kLockPathSize;
    assert(fits ? rc == 0 && expect == lock.data() : rc == -1);
    assert((lock_exists(path.data()) == 0) == (fits && access(expect.c_str(), F_OK) == 0));
    return 0;
}
