// The serial device: port names, line settings, lock files and release.
#pragma once

#include "config/config.h"

#include <cstdint>
#include <termio.h>

// port_name.cpp
const char* resolve_port_name(const char* arg); // port path, or nullptr
int is_char_device(const char* path);           // 0 when a character device

// line.cpp
int configure_line(int fd, const SerialLineSettings& line);
void set_line_flags(termio& t, const SerialLineSettings& line); // the termio pass alone

// lock.cpp: each builds the lock path afresh from the port path; a port that
// is a symbolic link is locked under the device it resolves to. remove_lock
// takes the path that create_lock made in this process, when it made one.
int build_lock_path(const char* port_path, std::array<char, kLockPathSize>& out);
std::int32_t lock_exists(const char* port_path); // 0 when a lock file exists
std::int32_t create_lock(const char* port_path);
std::int32_t remove_lock(const char* port_path);
std::int32_t read_lock_pid(const char* port_path);

// release.cpp
[[noreturn]] void cleanup_and_exit(int status);
