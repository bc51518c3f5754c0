// The server: signals, start-up, client relay and control commands.
#pragma once

#include "config/config.h"
#include "log/log.h"

#include <cstddef>
#include <sys/select.h>
#include <sys/time.h>

// signals.cpp
int open_wake_pipe();
// SIGHUP, SIGTERM, SIGPIPE, SIGALRM, and SIGUSR1, which acts only while a
// client is connected.
void install_server_signals();
// A select() read set of up to two descriptors (-1 for none) and the wake
// pipe, built once per wait site and copied for each wait.
struct ReadSet {
    fd_set fds;
    int top;
};
ReadSet make_read_set(int a, int b);
// Waits for the set; a wake-up by the pipe alone is reported as EINTR.
int wait_ready(const ReadSet& want, timeval* timeout, fd_set* ready);
// Writes all of data to the port, blocking while it is full; stops early when
// a signal asked for the connection or the server to end. Returns bytes
// written or -1 with errno.
long write_all_or_interrupted(int fd, const unsigned char* data, std::size_t n);
bool connection_interrupted(); // shutdown, restart or period end pending
void drain_wake_pipe();
// Port writes block again, as each connection begins with them.
void restore_blocking_writes();
// True when the port has hung up; the server then shuts down as on SIGHUP.
bool port_hung_up();
// Writes the lines that signals left pending; performs a pending shutdown.
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
