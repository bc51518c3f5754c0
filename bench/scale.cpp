// Many instances at once, each on its own line and port: memory and wake-ups
// while idle, CPU while every line streams at 115200 bit/s; kolvd and the
// floor relay in turn at each N.
#include "bench.h"

#include <array>
#include <cstdio>

namespace bench {

namespace {

constexpr double kBusyRate = 115200;

struct Row {
    bool run = false;
    double pss_kib = 0, wake_listening = 0, wake_client = 0, cpu_pct = 0, pace_pct = 0;
    unsigned long long lost = 0;
};

struct Timing {
    double idle_s, busy_s;
};

double
wake_ups_per_s(const std::vector<pid_t>& pids, double seconds) {
    unsigned long long before = 0, after = 0;
    for (const pid_t pid : pids)
        before += context_switches(pid);
    pause_for(seconds);
    for (const pid_t pid : pids)
        after += context_switches(pid);
    return static_cast<double>(after - before) / seconds;
}

Row
measure(const Options& o, const Timing& t, Kind kind, int n, std::string& command) {
    std::vector<Relay> rs(static_cast<std::size_t>(n));
    std::vector<pid_t> pids;
    for (Relay& r : rs) {
        r.kind = kind;
        r.name = kind == Kind::kolvd ? "kolvd" : "floor relay";
        r.binary = kind == Kind::kolvd ? o.kolvd : o.floor_relay;
        start(o, r);
        pids.push_back(r.pid);
    }
    command = rs[0].command;
    pause_for(0.2); // start-up done: logs written, every one waiting in accept
    Row row;
    row.run = true;
    for (const pid_t pid : pids)
        row.pss_kib += pss_kib(pid) / n;
    row.wake_listening = wake_ups_per_s(pids, t.idle_s);
    std::vector<Link> links;
    for (const Relay& r : rs) {
        links.push_back(open_link(r));
        if (links.back().client < 0 || !echo_once(links.back()))
            die(r.name + ": first exchange");
    }
    pause_for(0.1);
    row.wake_client = wake_ups_per_s(pids, t.idle_s);
    const Paced p = run_paced(links, pids, kBusyRate, t.busy_s);
    row.cpu_pct = p.wall_s > 0 ? p.cpu_ns / 1e9 / p.wall_s * 100 : 0;
    row.pace_pct = static_cast<double>(p.sent) / (kBusyRate / 10 * t.busy_s * n) * 100;
    row.lost = p.sent - p.received;
    for (const Link& l : links)
        close_link(l);
    for (Relay& r : rs)
        stop(r);
    return row;
}

void
print(const std::vector<int>& ns, const std::vector<std::array<Row, 2>>& rows, const Timing& t,
      const std::array<std::string, 2>& commands) {
    std::printf("\n## Scale\n\nN instances, each on its own pseudo-terminal and port, started as "
                "`%s` and `%s`; kolvd and the floor relay take turns at each N. Idle: %.2g s "
                "listening, then %.2g s with a connected client that sends nothing. Wake-ups: "
                "voluntary and involuntary context switches of all N together, per second. PSS "
                "from smaps_rollup, the mean of the N.\n\n",
                commands[0].c_str(), commands[1].c_str(), t.idle_s, t.idle_s);
    std::printf("| N | kolvd PSS per instance, KiB | ≤ 200 | kolvd wake-ups/s, listening / "
                "with a client | 0 | floor relay PSS, KiB | floor relay wake-ups/s |\n"
                "|---|---|---|---|---|---|---|\n");
    for (std::size_t i = 0; i < ns.size(); ++i) {
        const Row &k = rows[i][0], &f = rows[i][1];
        if (!k.run)
            continue;
        std::printf("| %d | %.0f | %s | %.1f / %.1f | %s | %.0f | %.1f / %.1f |\n", ns[i],
                    k.pss_kib, met(k.pss_kib <= 200), k.wake_listening, k.wake_client,
                    met(k.wake_listening == 0 && k.wake_client == 0), f.pss_kib, f.wake_listening,
                    f.wake_client);
    }
    std::printf("\nBusy: every device writes at %.0f bit/s in bursts as in the real-rate runs, "
                "every client reads, for %.2g s. CPU: all N relays together, in %% of one core. "
                "Pace held: bytes written by the benchmark against the line rate; below 100 the "
                "machine could not keep up.\n\n"
                "| N | kolvd CPU, %% of a core | floor relay CPU | kolvd/floor | ≤ 1.05 | pace "
                "held, %% (kolvd / floor) | bytes lost (kolvd / floor) |\n"
                "|---|---|---|---|---|---|---|\n",
                kBusyRate, t.busy_s);
    for (std::size_t i = 0; i < ns.size(); ++i) {
        const Row &k = rows[i][0], &f = rows[i][1];
        if (!k.run)
            continue;
        std::printf("| %d | %.1f | %.1f | %s | %s | %.0f / %.0f | %llu / %llu |\n", ns[i],
                    k.cpu_pct, f.cpu_pct, ratio_cell(k.cpu_pct, f.cpu_pct).c_str(),
                    met(f.cpu_pct > 0 && k.cpu_pct <= 1.05 * f.cpu_pct), k.pace_pct, f.pace_pct,
                    k.lost, f.lost);
    }
}

void
run(const Options& o, std::vector<Relay>&) {
    const std::vector<int> ns =
        o.quick ? std::vector<int>{1, 16} : std::vector<int>{1, 16, 64, 256};
    const Timing t = o.quick ? Timing{0.3, 0.5} : Timing{2, 3};
    // Per instance the benchmark holds the master, the slave and the client.
    const int files = raise_open_files(3 * ns.back() + 256);
    std::vector<std::array<Row, 2>> rows(ns.size());
    std::array<std::string, 2> commands;
    for (std::size_t i = 0; i < ns.size(); ++i) {
        const int n = ns[i];
        if (3 * n + 64 > files || n + 8 > free_ptys()) {
            std::fprintf(stderr,
                         "kolvd_bench: no room for %d instances (descriptors %d, free "
                         "pseudo-terminals %d), left out\n",
                         n, files, free_ptys());
            continue;
        }
        for (std::size_t k = 0; k < 2; ++k)
            rows[i][k] = measure(o, t, k == 0 ? Kind::kolvd : Kind::floor, n, commands[k]);
        std::fprintf(stderr, "\rscale: N=%d done", n);
    }
    std::fprintf(stderr, "\n");
    print(ns, rows, t, commands);
}

[[maybe_unused]] const int registered = add_scenario({30, "scale", run});

} // namespace

} // namespace bench
