// Shared by the benchmark's scenarios: the relays under test, how to start,
// reach and measure them, and the table the scenarios enter themselves in.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;

struct Options {
    std::string kolvd = "kolvd", baseline, floor_relay, dir = "/tmp";
    bool quick = false;
    int rounds = 30, rtt_samples = 300, churn = 100;
    std::size_t bytes = 8u << 20;
};

enum class Kind { kolvd, floor, socat, ser2net, pty, tcp };

struct Relay {
    Kind kind = Kind::tcp;
    std::string name, binary, command, config; // command, config: as shown in the report
    std::string log;                           // its log, or its standard error
    int master = -1, slave = -1;               // the slave stays open: the line never hangs up
    std::string slave_path;
    int port = 0, listen_fd = -1; // listen_fd: the TCP floor's own listener
    pid_t pid = -1;
};

// The benchmark's two ends of one relay: it writes the device side itself.
struct Link {
    int client = -1, device = -1;
    bool own_device = false;
};

// --- support.cpp

[[noreturn]] void die(const std::string& what);
void install_signal_handlers();
void track(const Options& o, pid_t pid);
void untrack(pid_t pid);
double since(Clock::time_point t0);
bool ready(int fd, short events, int ms);
void drain(int fd);
void pause_for(double seconds);
bool in_path(const std::string& name);
std::string join(const Strings& args);
// The text with this run's temporary directory, line and port made generic.
std::string generic(const Options& o, const Relay& r, std::string text);
pid_t spawn(const Options& o, const Strings& args);
int listen_any(int& fd);
int free_port();
bool listening(int port);
void open_pty(Relay& r);
void close_pty(Relay& r);
Link open_link(const Relay& r);
void close_link(const Link& l);
bool echo_once(const Link& l);
double cpu_ns(const std::vector<pid_t>& pids); // the processes and their children
unsigned long long context_switches(const std::vector<pid_t>& pids); // and children
double pss_kib(pid_t pid);
double peak_rss_kib(pid_t pid);
double quantile(std::vector<double> v, double q);
std::string fixed(double v, int decimals);
std::string ratio_cell(double num, double den);
// Ends a table header begun with its first cell: a column per relay, then the rule.
void relay_columns(const std::vector<Relay>& rs);
// The median of num[i] / den[i]: pairs measured side by side share the load
// of their moment, which a ratio of two medians does not see.
double paired_ratio(const std::vector<double>& num, const std::vector<double>& den);
const char* met(bool ok);
int raise_open_files(int wanted);
int free_ptys();

// UART-like traffic: bursts of 16 to 64 bytes, each following the previous
// after the time it takes on the wire at 10 bits per byte.
struct Bursts {
    std::uint32_t state;
    std::size_t next() {
        state = state * 1664525u + 1013904223u;
        return 16 + (state >> 16) % 49;
    }
};

struct Paced {
    std::vector<double> latency_us; // burst written on the master → last byte at the client
    double cpu_ns = 0, wall_s = 0;
    unsigned long long sent = 0, received = 0, bursts = 0, switches = 0;
};

// Every device writes at the bit rate for the duration while every client
// reads; CPU is that of the given processes together.
Paced run_paced(const std::vector<Link>& links, const std::vector<pid_t>& pids, double bits_per_s,
                double seconds);

// --- relays.cpp

// Starts a relay on its own line; false: a peer that would not start.
bool start(const Options& o, Relay& r);
void stop(Relay& r);
std::vector<Relay> start_relays(const Options& o);
void stop_relays(std::vector<Relay>& rs);

// --- main.cpp

struct Scenario {
    int order; // place in the report
    const char* name;
    bool alone; // starts its own relays; the shared ones are stopped first
    void (*run)(const Options& o, std::vector<Relay>& relays);
};

int add_scenario(const Scenario& s);

} // namespace bench
