// The command line: options in order, the port argument and the service.
// -F, -S and -I end the scan: at most one more option is taken and ignored.
#include "config/config.h"
#include "serial/serial.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

void
vprint_error(const char* fmt, va_list ap) {
    if (proc.output_journal)
        std::fputs("<3>", stdout);
    std::vprintf(fmt, ap);
}

[[noreturn]] void
usage_exit() {
    print_usage();
    std::exit(1);
}

[[noreturn]] void
too_long(const char* what, std::size_t limit) {
    config_error("%s: %s is longer than %zu characters\n", proc.program_name.data(), what, limit);
}

void
set_flow_control(const char* name) {
    const std::string_view n{name};
    if (n == "XON" || n == "RTS" || n == "NONE")
        copy_cut(line_settings.flow_control, n);
    else
        print_error("Unsupported flow control used for -c option argument\n");
}

} // namespace

void
print_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vprint_error(fmt, ap);
    va_end(ap);
}

void
config_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vprint_error(fmt, ap);
    va_end(ap);
    std::exit(1);
}

Mode
parse_command_line(int argc, char** argv, bool journal) {
    reset_settings();
    proc.output_journal = journal;
    int setup_mode = 0;
    int shutdown_mode = 0;
    std::array<char, kSetupPathSize> setup_path{};

    optind = 0; // glibc: full re-initialisation, so the scan can run again in tests
    for (;;) {
        const int opt = getopt(argc, argv, "boevDRSNIc:s:z:L:d:F:f:");
        if (opt == -1 || setup_mode || shutdown_mode || server_settings.RestartRequested)
            break;
        switch (opt) {
        case 'b':
            server_settings.debug = 1;
            break;
        case 'o':
            line_settings.parity = 1;
            line_settings.data_bits = 7;
            break;
        case 'e':
            line_settings.parity = 2;
            line_settings.data_bits = 7;
            break;
        case 'v':
            print_version();
        case 'D':
            server_settings.DropDTRonSocketClose = 0;
            break;
        case 'R':
            server_settings.DropRTSonSocketClose = 0;
            break;
        case 'S':
            shutdown_mode = 1;
            break;
        case 'N':
            server_settings.lock_mode = 0;
            break;
        case 'I':
            server_settings.RestartRequested = 1;
            break;
        case 'c':
            set_flow_control(optarg);
            break;
        case 's':
            if (const Rate* r = find_rate(optarg)) {
                line_settings.speed = r->speed;
            } else {
                config_error("%s: Unsupported bit rate used for -s option argument\n",
                             proc.program_name.data());
            }
            break;
        case 'z': {
            const int stop = std::atoi(optarg);
            if (stop <= 0 || stop > 2)
                usage_exit();
            line_settings.stop_bits = stop;
            break;
        }
        case 'L':
            if (!fits_into(proc.LockDirectory, optarg))
                too_long("-L lock directory", kLockDirectorySize - 1);
            server_settings.custom_lock_dir = 1;
            break;
        case 'd':
            server_settings.idle_timeout = parse_u32(optarg) * 10U;
            break;
        case 'F':
            if (!fits_into(setup_path, optarg))
                too_long("-F setup file path", kSetupPathSize - 1);
            read_setup_file(setup_path.data(), line_settings);
            setup_mode = 1;
            break;
        case 'f':
            if (!fits_into(proc.LogFileName, optarg))
                too_long("-f log file path", kLogFileNameSize - 1);
            proc.log_file_given = 1;
            break;
        default:
            usage_exit(); // getopt has already said why
        }
    }

    if (optind >= argc)
        usage_exit();
    const char* port_arg = argv[optind];
    if (resolve_port_name(port_arg) == nullptr) {
        config_error("Invalid port name: %s\n", port_arg);
    }
    if (server_settings.RestartRequested)
        return Mode::reinitialise;
    if (shutdown_mode)
        return Mode::shutdown;
    if (!setup_mode && optind + 1 < argc && !fits_into(proc.service_name, argv[optind + 1]))
        too_long("service name", kServiceNameSize - 1);
    return Mode::server;
}
