// The one orderly way out once the serial port is open.
#include "log/log.h"
#include "serial/serial.h"

#include <cstdlib>
#include <unistd.h>

void
cleanup_and_exit(int status) {
    const char* port = proc.port_path.data();
    log_debug("Close serial port %s\n", port);
    close(server_settings.serial_fd);
    if (server_settings.lock_mode) {
        if (remove_lock(port) != 0)
            log_error("Could not remove lock file for: %s\n", port);
        else
            log_debug("Remove lock file for %s\n", port);
    }
    std::exit(status);
}
