// Shared by the fuzz targets, linked with --wrap=exit,--wrap=fopen,--wrap=fclose.
// The core ends the process with exit() on bad input; here that call jumps
// back into run_caught, which closes the file the core had open (its owner's
// destructor never ran). While the core runs, opens are confined to a scratch
// directory, so fuzzed -F paths cannot reach /dev/zero or a fifo, and standard
// output goes to memory for the targets to check.
#pragma once

#include "config/config.h"

#include <cassert>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

extern "C" [[noreturn]] void __real_exit(int status);
extern "C" std::FILE* __real_fopen(const char* path, const char* mode);
extern "C" int __real_fclose(std::FILE* f);

namespace {
std::jmp_buf g_jump;
bool g_armed = false;
int g_status = 0;
std::FILE* g_open = nullptr;
std::string g_dir;
char g_out[1 << 20]; // inputs are capped far below what fills it
} // namespace

extern "C" [[noreturn]] void
__wrap_exit(int status) {
    if (!g_armed)
        __real_exit(status);
    g_status = status;
    std::longjmp(g_jump, 1);
}

extern "C" std::FILE*
__wrap_fopen(const char* path, const char* mode) {
    if (!g_armed) // libFuzzer's own files
        return __real_fopen(path, mode);
    const std::string p{path};
    const std::string full = p.empty() || p[0] == '/' ? p : g_dir + "/" + p;
    if (p.find("..") != p.npos || full.compare(0, g_dir.size(), g_dir) != 0) {
        errno = ENOENT;
        return nullptr;
    }
    return g_open = __real_fopen(full.c_str(), mode);
}

extern "C" int
__wrap_fclose(std::FILE* f) {
    if (f == g_open)
        g_open = nullptr;
    return __real_fclose(f);
}

inline void
harness_init() {
    const char* tmp = std::getenv("TMPDIR");
    g_dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/kolvd-fuzz.XXXXXX";
    stdout = fmemopen(g_out, sizeof g_out, "w");
    if (!mkdtemp(g_dir.data()) || !stdout)
        std::abort();
}

inline void
write_file(const std::string& path, const void* data, std::size_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size) || close(fd) != 0)
        std::abort();
}

// One start-up for every target (each target is its own binary, so this is
// defined once per program): the scratch directory, with a good and a bad
// setup file for -F to find.
extern "C" int
LLVMFuzzerInitialize(int*, char***) {
    harness_init();
    const std::string good = "Service=telnet\nPortBitRate=19200\n", bad = "DebugMode=maybe\n";
    write_file(g_dir + "/good", good.data(), good.size());
    write_file(g_dir + "/bad", bad.data(), bad.size());
    return 0;
}

// Runs f with exit() caught: -1 when f returned, else the exit status.
// out receives what f printed, getopt's diagnostics included.
template <class F>
int
run_caught(F f, std::string_view& out) {
    std::rewind(stdout);
    std::FILE* const err = stderr;
    stderr = stdout;
    int result = -1;
    g_armed = true;
    if (setjmp(g_jump) == 0)
        f();
    else
        result = g_status;
    g_armed = false;
    stderr = err;
    if (g_open)
        __real_fclose(g_open);
    g_open = nullptr;
    std::fflush(stdout);
    out = std::string_view(g_out, static_cast<std::size_t>(std::ftell(stdout)));
    return result;
}
