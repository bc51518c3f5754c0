// kolvd: one serial port on one TCP service, one client at a time.
#include "config/config.h"
#include "server/server.h"

int
main(int argc, char** argv) {
    const Mode mode = parse_command_line(argc, argv);
    if (mode == Mode::server)
        run_server();
    run_control_command(mode, proc.port_path.data());
}
