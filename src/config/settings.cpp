// The process-wide records, their defaults, the usage and version texts.
// This is the only file that defines mutable data at namespace scope.
#include "config/config.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

constinit ServerSettings server_settings{};
constinit SerialLineSettings line_settings{};
constinit ProcessState proc{};

void
reset_settings() {
    server_settings = ServerSettings{};
    line_settings = SerialLineSettings{};
    proc = ProcessState{};
}

void
print_usage() {
    std::printf("\nKOLV TCP/IP Serial Port Server   Ver %s\n\n", kVersion);
    std::printf(
        "kolvd makes one local serial port reachable over TCP/IP, one client at a time.\n\n");
    std::printf("Usage: %s [-options]  serialport  service \n", proc.program_name.data());
    std::printf("  -d Idle timeout before socket close, default is 10 seconds\n");
    std::printf("  -b Debug messages are generated\n");
    std::printf("  -f Output ALL messages to a log file, requires path-filename\n");
    std::printf("  -c Flow control, default is NONE, use XON,RTS,NONE\n");
    std::printf("  -s Bit rate, default is 9600 bps, range 50-921600\n");
    std::printf("  -o Set odd parity and 7 data bits, default (8N1)\n");
    std::printf("  -e Set even parity and 7 data bits, default (8N1)\n");
    std::printf("  -z Set number of stop bits, default is 1, use 1 or 2\n");
    std::printf("  -L Specify a custom lock file directory\n");
    std::printf("  -N Do not check for, or produce, a lock file\n");
    std::printf("  -F Setupfile mode, requires setupfile\n");
    std::printf("  -S Shutdown server, requires serialport\n");
    std::printf("  -I Reinitialize server, requires serialport\n");
    std::printf("\n");
}

void
print_version() {
    std::printf("Ver:%s  CPU:%s  OS:%s\n", kVersion, KOLVD_CPU, KOLVD_OS);
    std::exit(0);
}

std::uint32_t
parse_u32(const char* text) {
    // strtoul's own rules (blanks, sign, 0x, leading 0), but on 32 bits: the
    // library's unsigned long is 64 bits wide here.
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (!std::isdigit(static_cast<unsigned char>(*p)))
        return 0;
    errno = 0;
    const unsigned long long magnitude = std::strtoull(p, nullptr, 0);
    if (errno == ERANGE || magnitude > UINT32_MAX)
        return UINT32_MAX;
    const auto value = static_cast<std::uint32_t>(magnitude);
    return negative ? 0U - value : value;
}
