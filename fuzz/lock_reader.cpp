// Bytes -> the lock file of a port in a scratch lock directory, '$' standing
// for our pid and '#' for our pid plus 2^32. remove_lock must remove the file
// exactly when it holds our pid as a decimal number, and nothing else.
#include "harness.h"
#include "serial/serial.h"

extern "C" int
LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const long long pid = getpid();
    std::string text;
    for (std::size_t i = 0; i < size; ++i)
        if (data[i] == '$' || data[i] == '#')
            text += std::to_string(data[i] == '$' ? pid : pid + (1LL << 32));
        else
            text += static_cast<char>(data[i]);
    const std::string lock = g_dir + "/LCK..ttyFZ";
    write_file(lock, text.data(), text.size());
    reset_settings();
    server_settings.custom_lock_dir = 1;
    copy_cut(proc.LockDirectory, g_dir);
    assert(read_lock_pid("/dev/ttyFZ") == -1 || !text.empty());

    errno = 0;
    char* end = nullptr;
    const long long held = std::strtoll(text.c_str(), &end, 10); // "%d" skips blanks too
    const bool ours = end != text.c_str() && errno == 0 && held == pid;
    const std::int32_t removed = remove_lock("/dev/ttyFZ");
    assert((access(lock.c_str(), F_OK) != 0) == ours && (removed == 0) == ours);
    return 0;
}
