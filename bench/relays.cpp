// Starting and stopping each kind of relay on a line of its own.
#include "bench.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

namespace {

// kolvd detaches; its pid comes from the lock file in a private lock directory.
pid_t
start_kolvd(const Options& o, Relay& r) {
    const std::string locks = o.dir + "/locks-" + std::to_string(r.port);
    mkdir(locks.c_str(), 0755);
    mkdir((locks + "/LCK..pts").c_str(), 0755);
    const Strings args{r.binary,       "-L",         locks,
                       "-d",           "0",          "-f",
                       locks + "/log", r.slave_path, std::to_string(r.port)};
    r.command = generic(o, r, join(args));
    r.log = locks + "/log";
    waitpid(spawn(o, args), nullptr, 0);
    for (int i = 0; i < 2500; ++i, usleep(2000)) {
        int pid = 0;
        if (FILE* f = std::fopen((locks + "/LCK.." + r.slave_path.substr(5)).c_str(), "r")) {
            const int n = std::fscanf(f, "%d", &pid);
            std::fclose(f);
            if (n == 1 && pid > 0)
                return pid;
        }
    }
    return -1;
}

pid_t
start_ser2net(const Options& o, Relay& r) {
    const std::string conf = o.dir + "/ser2net.yaml";
    // chardelay off: it holds serial data back for 1-20 ms to batch it.
    const std::string yaml = "connection: &bench\n  accepter: tcp,127.0.0.1," +
                             std::to_string(r.port) + "\n  connector: serialdev," + r.slave_path +
                             ",115200n81,local\n  options:\n    chardelay: false\n";
    if (FILE* f = std::fopen(conf.c_str(), "w")) {
        std::fputs(yaml.c_str(), f);
        std::fclose(f);
    }
    const Strings args{"ser2net", "-n", "-u", "-c", conf};
    r.command = generic(o, r, join(args));
    r.config = generic(o, r, conf + ":\n\n```yaml\n" + yaml + "```\n");
    return spawn(o, args);
}

// Gone, or a zombie waiting for a parent that is not us.
bool
gone(pid_t pid) {
    FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!f)
        return true;
    char state = '?';
    const int n = std::fscanf(f, "%*d (%*[^)]) %c", &state);
    std::fclose(f);
    return n == 1 && state == 'Z';
}

} // namespace

bool
start(const Options& o, Relay& r) {
    if (r.kind == Kind::tcp) {
        r.port = listen_any(r.listen_fd);
        r.command = "a client socket and a socket the benchmark accepted itself";
        return true;
    }
    open_pty(r);
    if (r.kind == Kind::pty) {
        r.command = "the benchmark opens the slave as the client";
        return true;
    }
    r.port = free_port();
    if (r.kind == Kind::kolvd) {
        r.pid = start_kolvd(o, r);
    } else if (r.kind == Kind::floor) {
        const Strings args{r.binary, r.slave_path, std::to_string(r.port)};
        r.command = generic(o, r, join(args));
        r.pid = spawn(o, args);
    } else if (r.kind == Kind::socat) {
        // -t 0: with the default 0.5 s linger after a client's end, the old
        // child still reads the line and takes the next client's bytes.
        const Strings args{"socat", "-t", "0",
                           "TCP-LISTEN:" + std::to_string(r.port) + ",reuseaddr,fork",
                           "FILE:" + r.slave_path + ",raw,echo=0"};
        r.command = generic(o, r, join(args));
        r.pid = spawn(o, args);
    } else {
        r.pid = start_ser2net(o, r);
    }
    if (r.kind != Kind::kolvd) // spawn's file of its standard output and error
        r.log = o.dir + "/" + r.binary.substr(r.binary.rfind('/') + 1) + ".out";
    if (r.pid > 0)
        track(o, r.pid);
    if (r.pid > 0 && listening(r.port))
        return true;
    if (r.kind == Kind::kolvd || r.kind == Kind::floor)
        die("starting " + r.name);
    std::fprintf(stderr, "kolvd_bench: %s did not start, left out\n", r.name.c_str());
    stop(r);
    return false;
}

// kolvd shuts down on SIGHUP. Waits, bounded, until the process is gone, so
// the next scenario does not share the machine with it.
void
stop(Relay& r) {
    if (r.pid > 0) {
        kill(r.pid, r.kind == Kind::kolvd ? SIGHUP : SIGTERM);
        for (int i = 0; i < 1000 && !gone(r.pid); ++i) {
            if (r.kind != Kind::kolvd && waitpid(r.pid, nullptr, WNOHANG) == r.pid)
                break;
            usleep(2000);
        }
        if (r.kind != Kind::kolvd)
            waitpid(r.pid, nullptr, WNOHANG);
        untrack(r.pid);
        r.pid = -1;
    }
    close_pty(r);
}

std::vector<Relay>
start_relays(const Options& o) {
    std::vector<Relay> rs;
    const auto add = [&rs](Kind kind, const char* name, const std::string& binary) {
        rs.emplace_back().kind = kind;
        rs.back().name = name;
        rs.back().binary = binary;
    };
    add(Kind::kolvd, "kolvd", o.kolvd);
    if (!o.baseline.empty())
        add(Kind::kolvd, "kolvd baseline", o.baseline);
    add(Kind::floor, "floor relay", o.floor_relay);
    add(Kind::socat, "socat", "socat");
    add(Kind::ser2net, "ser2net", "ser2net");
    add(Kind::pty, "pty floor", "");
    add(Kind::tcp, "TCP floor", "");
    std::erase_if(rs, [](const Relay& r) {
        const bool missing =
            (r.kind == Kind::socat || r.kind == Kind::ser2net) && !in_path(r.binary);
        if (missing)
            std::fprintf(stderr, "kolvd_bench: %s not installed, left out\n", r.name.c_str());
        return missing;
    });
    std::vector<Relay> started;
    for (Relay& r : rs)
        if (start(o, r))
            started.push_back(r);
    return started;
}

void
stop_relays(std::vector<Relay>& rs) {
    for (Relay& r : rs)
        stop(r);
}

} // namespace bench
