// kolvd: one serial port on one TCP service, one client at a time.
#include "config/config.h"
#include "server/server.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

// Started with standard input, output or error closed, our own descriptors
// (the launcher's report channel, a setup file) would take their numbers and
// get what is meant for them: /dev/null holds the places instead.
void
fill_standard_descriptors() {
    int fd = 0;
    while (fd <= STDERR_FILENO)
        if ((fd = open("/dev/null", O_RDWR)) < 0)
            return;
    close(fd);
}

} // namespace

int
main(int argc, char** argv) {
    fill_standard_descriptors();
    const Mode mode = parse_command_line(argc, argv, journal_stream(STDOUT_FILENO));
    if (mode == Mode::server)
        run_server();
    run_control_command(mode, proc.port_path.data());
}
