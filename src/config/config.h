// Process-wide settings, the command line and the setup file.
// Every mutable value the process keeps between calls lives in the three
// records below, defined in settings.cpp; handlers store only into the
// volatile sig_atomic_t fields.
#pragma once

#include <algorithm>
#include <array>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <termios.h>

inline constexpr const char* kVersion = "7.24";
inline constexpr std::size_t kProgramNameSize = 8;
inline constexpr std::size_t kPortPathSize = 128;   // "/dev/" and 122 characters
inline constexpr std::size_t kServiceNameSize = 16; // 15 characters
inline constexpr std::size_t kLockDirectorySize = 84;
inline constexpr std::size_t kLockPathSize = 80; // 79 characters
inline constexpr std::size_t kLogFileNameSize = 256;
inline constexpr std::size_t kTimestampSize = 80;
inline constexpr std::size_t kSetupPathSize = 256;
inline constexpr std::size_t kFlowControlSize = 12;

struct ServerSettings {
    volatile std::sig_atomic_t RestartRequested = 0; // -I at command time; SIGPIPE/SIGUSR1 later
    std::uint32_t idle_timeout = 100;                // tenths of a second, 0 = none
    std::int32_t custom_lock_dir = 0;
    int serial_fd = -1;
    std::int32_t DropDTRonSocketClose = 1;
    std::int32_t DropRTSonSocketClose = 1;
    std::int32_t debug = 0;
    std::int32_t lock_mode = 1;
    volatile std::sig_atomic_t client_connected = 0; // read by the SIGUSR1 handler
    std::uint32_t MaxConnectPeriod = 0;              // seconds, 0 = no limit
    volatile std::sig_atomic_t AlarmState = 0;       // 0 none, 1 armed, 2 fired
};

struct SerialLineSettings {
    std::array<char, kFlowControlSize> flow_control{'N', 'O', 'N', 'E', '\0'};
    speed_t speed = B9600;
    std::int32_t data_bits = 8;
    std::int32_t stop_bits = 1;
    std::int32_t read_timeout = 1; // tenths of a second, becomes VTIME
    std::int32_t parity = 0;       // 0 none, 1 odd, 2 even
};

struct ProcessState {
    std::array<char, kProgramNameSize> program_name{'k', 'o', 'l', 'v', 'd', '\0'};
    int client_fd = -1;
    int listen_fd = -1;
    std::array<char, kPortPathSize> port_path{};
    std::array<char, kServiceNameSize> service_name{};
    std::array<char, kLockDirectorySize> LockDirectory{};
    std::array<char, kLockPathSize> lock_path{}; // the lock this server created, once it has
    std::array<char, kLogFileNameSize> LogFileName{'/', 'd', 'e', 'v', '/', 'c', 'o',
                                                   'n', 's', 'o', 'l', 'e', '\0'};
    std::array<char, kTimestampSize> timestamp{};
    sigset_t wait_mask{};    // inside waits: the server's signals let in
    int startup_report = -1; // to the launcher, until start-up ends
    // The log's target: -f or LogFileName chose a file; otherwise, under a
    // service manager, its journal on standard error.
    std::int32_t log_file_given = 0;
    std::int32_t log_journal = 0;
    std::int32_t output_journal = 0; // standard output is the journal: errors go as such
    std::int32_t log_cut = 0;        // a line went out in part: a newline is owed first
    int notify_fd = -1;              // to the service manager, when it asked for news
    long status_next = 0;            // ms: when the next "Serving" status may go
    std::int32_t status_shown = 0;   // the manager was told of a client
    volatile std::sig_atomic_t shutdown_signal = 0; // SIGHUP or SIGTERM, first one wins
    volatile std::sig_atomic_t reinit_pending = 0;  // REINITIALIZE line still to write
    volatile std::sig_atomic_t sigpipe_pending = 0; // SIGPIPE line still to write
};

extern ServerSettings server_settings;
extern SerialLineSettings line_settings;
extern ProcessState proc;

// settings.cpp
void reset_settings();
void print_usage();
[[noreturn]] void print_version();

struct Rate {
    std::string_view text;
    speed_t speed;
};
inline constexpr std::array<Rate, 20> kRateTable{{
    {"50", B50},         {"75", B75},         {"110", B110},       {"134", B134},
    {"150", B150},       {"200", B200},       {"300", B300},       {"600", B600},
    {"1200", B1200},     {"1800", B1800},     {"2400", B2400},     {"4800", B4800},
    {"9600", B9600},     {"19200", B19200},   {"38400", B38400},   {"57600", B57600},
    {"115200", B115200}, {"230400", B230400}, {"460800", B460800}, {"921600", B921600},
}};
constexpr const Rate*
find_rate(std::string_view text) {
    for (const Rate& r : kRateTable)
        if (r.text == text)
            return &r;
    return nullptr;
}
static_assert(find_rate("9600")->speed == B9600 && find_rate("09600") == nullptr);

// Copies src into dst with its NUL; returns false, leaving dst untouched,
// when src does not fit.
template <std::size_t N>
bool
fits_into(std::array<char, N>& dst, std::string_view src) {
    if (src.size() >= N)
        return false;
    std::memcpy(dst.data(), src.data(), src.size());
    dst[src.size()] = '\0';
    return true;
}

// Copies as much of src as fits; the flow-control name relies on this.
template <std::size_t N>
void
copy_cut(std::array<char, N>& dst, std::string_view src) {
    const std::size_t n = std::min(src.size(), N - 1);
    std::memcpy(dst.data(), src.data(), n);
    dst[n] = '\0';
}

// strtoul in base 0 taken modulo 2^32; too large for 32 bits gives 2^32 - 1.
std::uint32_t parse_u32(const char* text);

// options.cpp
enum class Mode { server, shutdown, reinitialise };
// The whole command line: defaults, option scan (reading the setup file for
// -F), port argument and service name. Ends the process on every error.
// `journal`: standard output is a journal stream, whose error lines carry
// their priority.
Mode parse_command_line(int argc, char** argv, bool journal = false);
// An error line for whoever started us, marked as one when our output is the
// journal; config_error then exits with status 1.
__attribute__((format(printf, 1, 2))) void print_error(const char* fmt, ...);
[[noreturn]] __attribute__((format(printf, 1, 2))) void config_error(const char* fmt, ...);

// setup_file.cpp
void read_setup_file(const char* path, SerialLineSettings& line);
