// The server: signals, start-up, client relay and control commands.
#pragma once

#include "config/config.h"
#include "log/log.h"

#include <cstddef>
#include <poll.h>

// signals.cpp
// SIGHUP, SIGTERM, SIGPIPE, SIGALRM, and SIGUSR1, which acts only while a
// client is connected; from then on they are blocked outside wait_for().
void install_server_signals();
// poll() with the server's signals let in for the wait alone; one that comes
// ends it with EINTR. A descriptor ready at once wins over a pending signal.
int wait_for(pollfd* fds, nfds_t n, int timeout_ms);
// Runs the handlers of the signals that wait now.
void take_pending_signals();
// True when the port has hung up; the server then shuts down as on SIGHUP.
bool port_hung_up();
// Writes the lines that signals left pending (SIGPIPE, REINITIALIZE).
void note_signal_lines();
// The same, then performs a pending shutdown.
void note_signals();
[[noreturn]] void shut_down(int sig);

// startup.cpp
[[noreturn]] void run_server();
int lookup_service_port(const char* name); // port in network order, or -1

// relay.cpp
[[noreturn]] void serve_clients();

// notify.cpp: nothing is sent when there is no service manager.
// A socket to the service manager, when NOTIFY_SOCKET names one.
void notify_open();
// From the launcher: the server is ready and listens on `port`.
void notify_ready(int port);
// "Serving CLIENT since 12:03:44", or for nullptr "Listening on TCP port ...".
void notify_status(const char* client);

// control.cpp
[[noreturn]] void run_control_command(Mode mode, const char* port_path);
