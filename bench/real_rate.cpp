// Device traffic at real line rates, as a UART delivers it: the latency each
// relay adds to a burst, and the CPU it spends per second of such traffic.
#include "bench.h"

#include <array>
#include <cstdio>

namespace bench {

namespace {

constexpr std::array<double, 2> kRates{115200, 921600};

struct Result {
    std::vector<double> latency_us, turn_cpu_pct;
    double cpu_ns = 0, wall_s = 0;
    unsigned long long lost = 0, bursts = 0, switches = 0;
    double cpu_pct() const {
        return wall_s > 0 ? cpu_ns / 1e9 / wall_s * 100 : 0;
    }
    double wake_ups_per_burst() const {
        return bursts > 0 ? static_cast<double>(switches) / static_cast<double>(bursts) : 0;
    }
};

const char*
rate_name(std::size_t k) {
    return k == 0 ? "115200 bit/s" : "921600 bit/s";
}

void
print(const std::vector<Relay>& rs, const std::vector<std::array<Result, kRates.size()>>& res,
      int turns, double seconds) {
    std::printf("\n## Real rates\n\nThe device writes bursts of 16–64 bytes, each after the "
                "previous one's time on the wire (10 bits per byte), and one client reads: "
                "%.2g s per rate per relay, in %d turn%s interleaved with the other relays. "
                "Latency: from a burst written on the master to its last byte read by the "
                "client, nothing subtracted; the pty floor and TCP floor columns are those two "
                "hops alone. CPU: the relay's own, in %% of one core; kolvd/floor relay is the "
                "median of the per-turn ratios.\n\n|",
                seconds * turns, turns, turns == 1 ? "" : "s");
    relay_columns(rs);
    for (std::size_t k = 0; k < kRates.size(); ++k) {
        std::printf("| %s: latency p50, µs |", rate_name(k));
        for (const auto& r : res)
            std::printf(" %.1f |", quantile(r[k].latency_us, 0.5));
        std::printf("\n| %s: latency p99, µs |", rate_name(k));
        for (const auto& r : res)
            std::printf(" %.1f |", quantile(r[k].latency_us, 0.99));
        std::printf("\n| %s: CPU, %% of a core |", rate_name(k));
        for (std::size_t i = 0; i < rs.size(); ++i)
            std::printf(" %s |", rs[i].pid > 0 ? fixed(res[i][k].cpu_pct(), 2).c_str() : "—");
        std::printf("\n| %s: wake-ups per burst |", rate_name(k));
        for (std::size_t i = 0; i < rs.size(); ++i)
            std::printf(" %s |",
                        rs[i].pid > 0 ? fixed(res[i][k].wake_ups_per_burst(), 2).c_str() : "—");
        std::printf("\n| %s: bytes lost |", rate_name(k));
        for (const auto& r : res)
            std::printf(" %llu |", r[k].lost);
        std::printf("\n");
    }
    const auto find = [&rs](const char* name) -> std::ptrdiff_t {
        for (std::size_t i = 0; i < rs.size(); ++i)
            if (rs[i].name == name)
                return static_cast<std::ptrdiff_t>(i);
        return -1;
    };
    const std::ptrdiff_t k = find("kolvd"), s = find("socat"), f = find("floor relay");
    if (k < 0)
        return;
    const auto& kr = res[static_cast<std::size_t>(k)];
    std::printf("\n| figure | kolvd | compared with | kolvd/other | target | met |\n"
                "|---|---|---|---|---|---|\n");
    for (std::size_t r = 0; r < kRates.size(); ++r) {
        for (const double q : {0.5, 0.99}) {
            const double kv = quantile(kr[r].latency_us, q);
            if (s < 0) {
                std::printf(
                    "| %s latency p%.0f | %.1f µs | socat not run | n/a | ≤ socat | n/a |\n",
                    rate_name(r), q * 100, kv);
                continue;
            }
            const double sv = quantile(res[static_cast<std::size_t>(s)][r].latency_us, q);
            std::printf("| %s latency p%.0f | %.1f µs | socat %.1f µs | %s | ≤ socat | %s |\n",
                        rate_name(r), q * 100, kv, sv, ratio_cell(kv, sv).c_str(),
                        met(kv > 0 && kv <= sv));
        }
        if (f >= 0) {
            const Result& fr = res[static_cast<std::size_t>(f)][r];
            const double ratio = paired_ratio(kr[r].turn_cpu_pct, fr.turn_cpu_pct);
            std::printf("| %s CPU | %.2f %% | floor relay %.2f %% | %s | ≤ 1.05 | %s |\n",
                        rate_name(r), kr[r].cpu_pct(), fr.cpu_pct(),
                        ratio > 0 ? fixed(ratio, 2).c_str() : "n/a",
                        met(ratio > 0 && ratio <= 1.05));
        }
    }
}

void
run(const Options& o, std::vector<Relay>& rs) {
    const int turns = o.quick ? 1 : 12;
    const double seconds = o.quick ? 0.25 : 0.5;
    std::vector<std::array<Result, kRates.size()>> res(rs.size());
    for (int t = 0; t < turns; ++t) {
        for (std::size_t k = 0; k < kRates.size(); ++k) {
            for (std::size_t j = 0; j < rs.size(); ++j) {
                const std::size_t i = (j + static_cast<std::size_t>(t)) % rs.size();
                const Link l = open_link(rs[i]);
                if (l.client < 0 || !echo_once(l)) // the relay is ready
                    die(rs[i].name + ": first exchange");
                std::vector<pid_t> pids;
                if (rs[i].pid > 0)
                    pids.push_back(rs[i].pid);
                const Paced p = run_paced({l}, pids, kRates[k], seconds);
                close_link(l);
                Result& r = res[i][k];
                r.latency_us.insert(r.latency_us.end(), p.latency_us.begin(), p.latency_us.end());
                r.cpu_ns += p.cpu_ns;
                r.turn_cpu_pct.push_back(p.wall_s > 0 ? p.cpu_ns / 1e9 / p.wall_s * 100 : 0);
                r.wall_s += p.wall_s;
                r.lost += p.sent - p.received;
                r.bursts += p.bursts;
                r.switches += p.switches;
            }
        }
        std::fprintf(stderr, "\rreal rates: turn %d of %d", t + 1, turns);
    }
    std::fprintf(stderr, "\n");
    print(rs, res, turns, seconds);
}

[[maybe_unused]] const int registered = add_scenario({20, "real rates", false, run});

} // namespace

} // namespace bench
