// The one orderly way out once the serial port is open.
#include "log/log.h"
#include "serial/serial.h"

#include <csignal>
#include <cstdlib>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

namespace {

void
interrupt_wait(int) {}

// Output the device has not taken is dropped, so that the exit does not wait
// for it. A driver may still keep close() waiting for data already handed to
// the hardware (up to its closing wait, 30 s for a USB adapter whose device
// takes nothing); that wait ends on a signal, so a timer keeps sending one
// until close() has returned.
void
close_port_without_waiting(int fd) {
    tcflush(fd, TCOFLUSH);
    struct sigaction sa {};
    sa.sa_handler = interrupt_wait;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, nullptr);
    // The server keeps SIGALRM blocked outside its waits.
    sigset_t alarm_only;
    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    sigprocmask(SIG_UNBLOCK, &alarm_only, nullptr);
    const itimerval every_50ms{{0, 50000}, {0, 50000}};
    setitimer(ITIMER_REAL, &every_50ms, nullptr);
    close(fd);
    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
}

} // namespace

void
cleanup_and_exit(int status) {
    const char* port = proc.port_path.data();
    log_debug("Close serial port %s\n", port);
    close_port_without_waiting(server_settings.serial_fd);
    if (server_settings.lock_mode) {
        if (remove_lock(port) != 0)
            log_error("Could not remove lock file for: %s\n", port);
        else
            log_debug("Remove lock file for %s\n", port);
    }
    std::exit(status);
}
