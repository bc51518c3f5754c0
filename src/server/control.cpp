// -S and -I: find the server's pid in the port's lock file and signal it.
#include "serial/serial.h"
#include "server/server.h"

#include <cstdio>
#include <cstdlib>

void
run_control_command(Mode mode, const char* port_path) {
    const bool reinit = mode == Mode::reinitialise;
    if (lock_exists(port_path) != 0) {
        std::printf("Server not running or lock file not located\n");
        std::exit(1);
    }
    const std::int32_t pid = read_lock_pid(port_path);
    if (pid <= 1) {
        std::printf("A server pid of %d does not make sense\n", pid);
        std::exit(1);
    }
    if (kill(pid, reinit ? SIGUSR1 : SIGHUP) != 0) {
        std::fflush(stdout);
        std::perror("kolvd: kill");
        if (reinit)
            std::printf("%s: Unable to reinitialize server pid %d\n", proc.program_name.data(),
                        pid);
        else
            std::printf("Unable to kill server pid %d\n", pid);
        std::exit(1);
    }
    if (reinit)
        std::printf("Sent SIGUSR1 signal to reinitialize server on %s\n", port_path);
    else
        std::printf("Sent SIGHUP signal to shutdown server on %s\n", port_path);
    std::exit(0);
}
