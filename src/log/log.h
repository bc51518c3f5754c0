// The log: standard error after start-up, shared with other writers, opened
// for append, or the service manager's journal. Every line is composed in
// memory and goes out in one write.
#pragma once

#include <cstddef>

const char* make_timestamp();
// Lines by kind: events (start, connects, disconnects, shutdown), error
// reports, and debug lines and dumps, written only in debug mode.
void log_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void log_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void log_debug(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void log_perror(const char* text); // an error: "text: strerror\n", errno preserved
void log_dump(const char* label, const unsigned char* data, std::size_t n);
// While start-up runs, every line is also sent to the launching process,
// which reports a failed start; there each line starts with its priority
// ("<3>"). -1 stops that.
void log_mirror_to(int fd);
// True when fd is the journal's stream that the service manager named in
// JOURNAL_STREAM: the log is then the journal, one record per line.
bool journal_stream(int fd);
