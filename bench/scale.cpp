// Many instances at once, each on its own line and port: memory and wake-ups
// while idle, CPU while every line streams at 115200 bit/s; kolvd and the
// floor relay side by side at each N.
#include "bench.h"

#include <array>
#include <cstdio>

namespace bench {

namespace {

constexpr double kBusyRate = 115200;

struct Row {
    bool run = false;
    double pss_kib = 0, wake_listening = 0, wake_client = 0, cpu_ns = 0, wall_s = 0, sent = 0;
    unsigned long long lost = 0;
    std::vector<double> turn_cpu_per_byte;
    double cpu_pct() const {
        return wall_s > 0 ? cpu_ns / 1e9 / wall_s * 100 : 0;
    }
};

struct Timing {
    double idle_s, busy_s;
    int turns;
};

// Both kinds over the same window, so a load of the moment hits them alike.
void
wake_ups(std::array<std::vector<pid_t>, 2>& pids, double seconds, double Row::*field,
         std::array<Row, 2>& rows) {
    std::array<unsigned long long, 2> before{context_switches(pids[0]), context_switches(pids[1])};
    pause_for(seconds);
    for (std::size_t k = 0; k < 2; ++k)
        rows[k].*field = static_cast<double>(context_switches(pids[k]) - before[k]) / seconds;
}

// N of each kind at once; idle figures over the same windows, busy ones in
// alternating turns.
std::array<Row, 2>
measure(const Options& o, const Timing& t, int n, std::array<std::string, 2>& commands) {
    std::array<std::vector<Relay>, 2> rs;
    std::array<std::vector<pid_t>, 2> pids;
    std::array<std::vector<Link>, 2> links;
    for (int i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < 2; ++k) {
            Relay& r = rs[k].emplace_back();
            r.kind = k == 0 ? Kind::kolvd : Kind::floor;
            r.name = k == 0 ? "kolvd" : "floor relay";
            r.binary = k == 0 ? o.kolvd : o.floor_relay;
            start(o, r);
            pids[k].push_back(r.pid);
        }
    }
    for (std::size_t k = 0; k < 2; ++k)
        commands[k] = rs[k][0].command;
    pause_for(0.2); // start-up done: logs written, every one waiting in accept
    std::array<Row, 2> rows;
    for (std::size_t k = 0; k < 2; ++k) {
        rows[k].run = true;
        for (const pid_t pid : pids[k])
            rows[k].pss_kib += pss_kib(pid) / n;
    }
    wake_ups(pids, t.idle_s, &Row::wake_listening, rows);
    for (std::size_t k = 0; k < 2; ++k) {
        for (const Relay& r : rs[k]) {
            links[k].push_back(open_link(r));
            if (links[k].back().client < 0 || !echo_once(links[k].back()))
                die(r.name + ": first exchange");
        }
    }
    pause_for(0.1);
    wake_ups(pids, t.idle_s, &Row::wake_client, rows);
    for (int turn = 0; turn < t.turns; ++turn) {
        for (std::size_t j = 0; j < 2; ++j) {
            const std::size_t k = (j + static_cast<std::size_t>(turn)) % 2;
            const Paced p = run_paced(links[k], pids[k], kBusyRate, t.busy_s / t.turns);
            rows[k].cpu_ns += p.cpu_ns;
            rows[k].turn_cpu_per_byte.push_back(
                p.received > 0 ? p.cpu_ns / static_cast<double>(p.received) : 0);
            rows[k].wall_s += p.wall_s;
            rows[k].sent += static_cast<double>(p.sent);
            rows[k].lost += p.sent - p.received;
        }
    }
    for (std::size_t k = 0; k < 2; ++k) {
        for (const Link& l : links[k])
            close_link(l);
        for (Relay& r : rs[k])
            stop(r);
    }
    return rows;
}

double
pace_pct(const Row& r, const Timing& t, int n) {
    return r.sent / (kBusyRate / 10 * t.busy_s * n) * 100;
}

void
print(const std::vector<int>& ns, const std::vector<std::array<Row, 2>>& rows, const Timing& t,
      const std::array<std::string, 2>& commands) {
    std::printf("\n## Scale\n\nN instances, each on its own pseudo-terminal and port, started as "
                "`%s` and `%s`; at each N both kinds run at once. Idle: %.2g s "
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
    std::printf(
        "\nBusy: every device writes at %.0f bit/s in bursts as in the real-rate runs, "
        "every client reads, for %.2g s per kind in %d turn%s, the kinds alternating. CPU: all N "
        "relays together, in %% of one core; kolvd/floor is the median of the per-turn "
        "ratios of CPU per byte delivered, so that a pace the machine could not hold "
        "does not make the kind that moved less look cheaper. "
        "Pace held: bytes written by the benchmark against the line rate; below 100 the "
        "machine could not keep up.\n\n"
        "| N | kolvd CPU, %% of a core | floor relay CPU | kolvd/floor | ≤ 1.05 | pace "
        "held, %% (kolvd / floor) | bytes lost (kolvd / floor) |\n"
        "|---|---|---|---|---|---|---|\n",
        kBusyRate, t.busy_s, t.turns, t.turns == 1 ? "" : "s");
    for (std::size_t i = 0; i < ns.size(); ++i) {
        const Row &k = rows[i][0], &f = rows[i][1];
        if (!k.run)
            continue;
        const double ratio = paired_ratio(k.turn_cpu_per_byte, f.turn_cpu_per_byte);
        std::printf("| %d | %.1f | %.1f | %s | %s | %.0f / %.0f | %llu / %llu |\n", ns[i],
                    k.cpu_pct(), f.cpu_pct(), ratio > 0 ? fixed(ratio, 2).c_str() : "n/a",
                    met(ratio > 0 && ratio <= 1.05), pace_pct(k, t, ns[i]), pace_pct(f, t, ns[i]),
                    k.lost, f.lost);
    }
}

void
run(const Options& o, std::vector<Relay>&) {
    const std::vector<int> ns =
        o.quick ? std::vector<int>{1, 16} : std::vector<int>{1, 16, 64, 256};
    // Turns of a second, twelve of them: one busy line costs a relay 3-4 ms of
    // CPU in half a second, which one late wake-up moved by a tenth.
    const Timing t = o.quick ? Timing{0.3, 0.5, 1} : Timing{2, 12, 12};
    // Per instance the benchmark holds the master, the slave and the client.
    const int files = raise_open_files(6 * ns.back() + 256);
    std::vector<std::array<Row, 2>> rows(ns.size());
    std::array<std::string, 2> commands;
    for (std::size_t i = 0; i < ns.size(); ++i) {
        const int n = ns[i];
        if (6 * n + 64 > files || 2 * n + 8 > free_ptys()) {
            std::fprintf(stderr,
                         "kolvd_bench: no room for %d instances (descriptors %d, free "
                         "pseudo-terminals %d), left out\n",
                         n, files, free_ptys());
            continue;
        }
        rows[i] = measure(o, t, n, commands);
        std::fprintf(stderr, "\rscale: N=%d done", n);
    }
    std::fprintf(stderr, "\n");
    print(ns, rows, t, commands);
}

[[maybe_unused]] const int registered = add_scenario({30, "scale", true, run});

} // namespace

} // namespace bench
