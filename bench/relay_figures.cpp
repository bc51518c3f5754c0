// Every relay at full speed on a pseudo-terminal: round trips, throughput each
// way, CPU per MiB, connection churn. Many short rounds, interleaved, so a busy
// machine slows every relay alike.
#include "bench.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

namespace bench {

namespace {

constexpr std::size_t kChunk = 1 << 16;

struct Figures {
    std::vector<double> rtt, rtt_all, to_dev, to_client, cpu_to_dev, cpu_to_client, churn;
    unsigned long long lost_to_dev = 0, lost_to_client = 0, churn_failed = 0;
    double rss_kib = 0;
};

struct Transfer {
    double mb_per_s = 0, cpu_ms_per_mib = 0;
    unsigned long long lost = 0;
};

// Writes total bytes into `from` while reading `to` promptly; what has not
// arrived 300 ms after the last byte is counted as lost.
Transfer
transfer(int from, int to, std::size_t total, pid_t relay) {
    static std::array<char, kChunk> out{}, in{};
    const std::vector<pid_t> pids{relay};
    const double cpu0 = relay > 0 ? cpu_ns(pids) : 0;
    const auto t0 = Clock::now();
    auto last = t0;
    std::size_t sent = 0, got = 0;
    while (got < total && since(t0) < 30 && (sent < total || since(last) < 0.3)) {
        std::array<pollfd, 2> p{
            {{to, POLLIN, 0}, {from, static_cast<short>(sent < total ? POLLOUT : 0), 0}}};
        poll(p.data(), 2, 50);
        const ssize_t w = (p[1].revents & POLLOUT) != 0
                              ? write(from, out.data(), std::min(kChunk, total - sent))
                              : 0;
        sent += static_cast<std::size_t>(std::max<ssize_t>(w, 0));
        const ssize_t r = (p[0].revents & POLLIN) != 0 ? read(to, in.data(), in.size()) : 0;
        if (r > 0) {
            got += static_cast<std::size_t>(r);
            last = Clock::now();
        }
    }
    const double secs = std::chrono::duration<double>(last - t0).count();
    const double mib = static_cast<double>(got) / (1 << 20);
    return {secs > 0 ? static_cast<double>(got) / 1e6 / secs : 0,
            relay > 0 && mib > 0 ? (cpu_ns(pids) - cpu0) / 1e6 / mib : 0,
            sent > got ? sent - got : 0};
}

// One round. Round trips alternate between the relays byte by byte and churn
// in batches of ten connections, so a busy machine hits every relay alike;
// the transfers take turns, in an order that rotates from round to round.
void
measure_round(const Options& o, const std::vector<Relay>& rs, std::vector<Figures>& fs, int round) {
    const std::size_t n = rs.size();
    std::vector<Link> links;
    for (const Relay& r : rs) {
        links.push_back(open_link(r));
        if (links.back().client < 0 || !echo_once(links.back())) // the relay is ready
            die(r.name + ": first exchange");
    }
    std::vector<std::vector<double>> rtt(n);
    for (int s = 0; s < o.rtt_samples; ++s) {
        for (std::size_t i = 0; i < n; ++i) {
            const auto t0 = Clock::now();
            if (echo_once(links[i]))
                rtt[i].push_back(since(t0) * 1e6);
        }
    }
    std::vector<Transfer> to_dev(n), to_client(n);
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t i = (j + static_cast<std::size_t>(round)) % n;
        to_dev[i] = transfer(links[i].client, links[i].device, o.bytes, rs[i].pid);
        drain(links[i].device);
        to_client[i] = transfer(links[i].device, links[i].client, o.bytes, rs[i].pid);
        close_link(links[i]);
    }
    std::vector<double> churn_secs(n);
    std::vector<unsigned long long> failed(n);
    for (int done = 0; done < o.churn; done += 10) {
        for (std::size_t i = 0; i < n; ++i) {
            const auto t0 = Clock::now();
            for (int k = 0; k < 10; ++k) {
                const Link c = open_link(rs[i]);
                failed[i] += c.client >= 0 && echo_once(c) ? 0U : 1U;
                close_link(c);
            }
            churn_secs[i] += since(t0);
        }
    }
    for (std::size_t i = 0; i < n && round > 0; ++i) {
        Figures& f = fs[i];
        std::sort(rtt[i].begin(), rtt[i].end());
        if (!rtt[i].empty())
            f.rtt.push_back(rtt[i][rtt[i].size() / 2]);
        f.rtt_all.insert(f.rtt_all.end(), rtt[i].begin(), rtt[i].end());
        f.to_dev.push_back(to_dev[i].mb_per_s);
        f.to_client.push_back(to_client[i].mb_per_s);
        f.cpu_to_dev.push_back(to_dev[i].cpu_ms_per_mib);
        f.cpu_to_client.push_back(to_client[i].cpu_ms_per_mib);
        f.lost_to_dev += to_dev[i].lost;
        f.lost_to_client += to_client[i].lost;
        f.churn.push_back((o.churn + 9) / 10 * 10 / churn_secs[i]);
        f.churn_failed += failed[i];
    }
    for (const Relay& r : rs)
        drain(r.master);
}

using Series = std::vector<double> Figures::*;

void
row(const char* label, const std::vector<Relay>& rs, const std::vector<Figures>& fs, Series s,
    int decimals, bool relays_only = false) {
    std::printf("| %s |", label);
    for (std::size_t i = 0; i < rs.size(); ++i) {
        const std::vector<double>& v = fs[i].*s;
        if (v.empty() || (relays_only && rs[i].pid <= 0))
            std::printf(" — |");
        else
            std::printf(" %.*f (%.*f–%.*f) |", decimals, quantile(v, 0.5), decimals,
                        quantile(v, 0.25), decimals, quantile(v, 0.75));
    }
    std::printf("\n");
}

void
counts(const char* label, const std::vector<Figures>& fs, unsigned long long Figures::*a,
       unsigned long long Figures::*b) {
    std::printf("| %s |", label);
    for (const Figures& f : fs)
        b ? std::printf(" %llu / %llu |", f.*a, f.*b) : std::printf(" %llu |", f.*a);
    std::printf("\n");
}

void
print_figures(const Options& o, const std::vector<Relay>& rs, const std::vector<Figures>& fs) {
    std::printf("\n## Figures\n\n%d rounds after a warm-up round; in each, per relay: %d one-byte "
                "round trips, %zu MiB each way, %d connections. Cell: median (interquartile "
                "range) of the per-round figures; p99 over all round trips.\n\n|",
                o.rounds, o.rtt_samples, o.bytes >> 20, o.churn);
    relay_columns(rs);
    row("round trip, µs", rs, fs, &Figures::rtt, 1);
    std::printf("| round trip p99, µs |");
    for (const Figures& f : fs)
        std::printf(" %.1f |", quantile(f.rtt_all, 0.99));
    std::printf("\n");
    row("client → device, MB/s", rs, fs, &Figures::to_dev, 1);
    row("device → client, MB/s", rs, fs, &Figures::to_client, 1);
    counts("bytes lost c→d / d→c", fs, &Figures::lost_to_dev, &Figures::lost_to_client);
    row("relay CPU c→d, ms/MiB", rs, fs, &Figures::cpu_to_dev, 2, true);
    row("relay CPU d→c, ms/MiB", rs, fs, &Figures::cpu_to_client, 2, true);
    row("churn, connections/s", rs, fs, &Figures::churn, 0);
    counts("failed churn exchanges", fs, &Figures::churn_failed, nullptr);
    std::printf("| peak RSS (VmHWM), KiB |");
    for (const Figures& f : fs)
        f.rss_kib > 0 ? std::printf(" %.0f |", f.rss_kib) : std::printf(" — |");
    std::printf("\n");
}

const Figures*
find(const std::vector<Relay>& rs, const std::vector<Figures>& fs, const char* name) {
    for (std::size_t i = 0; i < rs.size(); ++i)
        if (rs[i].name == name)
            return &fs[i];
    return nullptr;
}

double
median(const Figures* f, Series s) {
    return f ? quantile(f->*s, 0.5) : 0;
}

double
p99(const Figures* f, Series) {
    return f ? quantile(f->rtt_all, 0.99) : 0;
}

// kolvd against socat (the targets) and ser2net; a peer not installed shows n/a.
void
print_ratios(const std::vector<Relay>& rs, const std::vector<Figures>& fs) {
    const Figures *k = find(rs, fs, "kolvd"), *s = find(rs, fs, "socat"),
                  *n = find(rs, fs, "ser2net");
    const auto rss = [](const Figures* f, Series) { return f ? f->rss_kib : 0; };
    struct Target {
        const char* figure;
        Series series;
        double (*get)(const Figures*, Series);
        const char* rule;
        double limit; // on kolvd/socat; negative: at least -limit; 0: kolvd under 2048 KiB
    };
    const std::array<Target, 8> targets{{
        {"round trip", &Figures::rtt, median, "≤ 0.85", 0.85},
        {"round trip p99", &Figures::rtt, p99, "≤ 1", 1},
        {"client → device MB/s", &Figures::to_dev, median, "≥ 1, no loss", -1},
        {"device → client MB/s", &Figures::to_client, median, "≥ 1, no loss", -1},
        {"CPU c→d per MiB", &Figures::cpu_to_dev, median, "≤ 0.8", 0.8},
        {"CPU d→c per MiB", &Figures::cpu_to_client, median, "≤ 0.8", 0.8},
        {"churn", &Figures::churn, median, "≥ 10", -10},
        {"peak RSS", &Figures::rtt, rss, "kolvd under 2048 KiB", 0},
    }};
    std::printf("\n## Ratios kolvd/peer and targets\n\n| figure | kolvd/socat | kolvd/ser2net | "
                "target | met |\n|---|---|---|---|---|\n");
    for (const Target& t : targets) {
        const double kv = t.get(k, t.series), sv = t.get(s, t.series), nv = t.get(n, t.series);
        const double ks = sv > 0 ? kv / sv : 0;
        bool ok = t.limit > 0 ? ks <= t.limit : ks >= -t.limit;
        if (t.limit == 0)
            ok = kv > 0 && kv < 2048;
        if (t.limit == -1) // the throughput targets also ask for no loss
            ok = ok && k->lost_to_dev + k->lost_to_client == 0;
        std::printf("| %s | %s | %s | %s | %s |\n", t.figure, ratio_cell(kv, sv).c_str(),
                    ratio_cell(kv, nv).c_str(), t.rule, s || t.limit == 0 ? met(ok) : "n/a");
    }
}

// Every kolvd figure against the floor relay, which follows kolvd's relay
// rules with nothing else; the CPU figures carry the targets.
void
print_floor_ratios(const std::vector<Relay>& rs, const std::vector<Figures>& fs) {
    const Figures* fl = find(rs, fs, "floor relay");
    std::vector<std::size_t> kolvds;
    for (std::size_t i = 0; i < rs.size(); ++i)
        if (rs[i].kind == Kind::kolvd)
            kolvds.push_back(i);
    if (!fl || kolvds.empty())
        return;
    struct Line {
        const char* figure;
        Series series; // null: round trip p99, over all round trips
        bool cpu;      // target: at most 1.05 times the floor relay
    };
    const std::array<Line, 7> lines{{
        {"round trip", &Figures::rtt, false},
        {"round trip p99", nullptr, false},
        {"client → device MB/s", &Figures::to_dev, false},
        {"device → client MB/s", &Figures::to_client, false},
        {"CPU c→d per MiB", &Figures::cpu_to_dev, true},
        {"CPU d→c per MiB", &Figures::cpu_to_client, true},
        {"churn", &Figures::churn, false},
    }};
    std::printf("\n## kolvd / floor relay\n\nThe median of the per-round ratios (p99: over all "
                "round trips).\n\n| figure |");
    for (const std::size_t i : kolvds)
        std::printf(" %s / floor |", rs[i].name.c_str());
    std::printf(" target | met |\n|---|");
    for (std::size_t i = 0; i < kolvds.size(); ++i)
        std::printf("---|");
    std::printf("---|---|\n");
    for (const Line& l : lines) {
        std::printf("| %s |", l.figure);
        double first = 0;
        for (const std::size_t i : kolvds) {
            const double fp = quantile(fl->rtt_all, 0.99);
            const double r = l.series ? paired_ratio(fs[i].*l.series, fl->*l.series)
                             : fp > 0 ? quantile(fs[i].rtt_all, 0.99) / fp
                                      : 0;
            first = i == kolvds[0] ? r : first;
            std::printf(" %s |", r > 0 ? fixed(r, 2).c_str() : "n/a");
        }
        std::printf(" %s | %s |\n", l.cpu ? "≤ 1.05" : "—",
                    l.cpu ? met(first > 0 && first <= 1.05) : "—");
    }
}

void
run(const Options& o, std::vector<Relay>& rs) {
    std::vector<Figures> fs(rs.size());
    for (int round = 0; round <= o.rounds; ++round) {
        measure_round(o, rs, fs, round);
        std::fprintf(stderr, "\rround %d of %d", round, o.rounds);
    }
    std::fprintf(stderr, "\n");
    for (std::size_t i = 0; i < rs.size(); ++i)
        fs[i].rss_kib = rs[i].pid > 0 ? peak_rss_kib(rs[i].pid) : 0;
    print_figures(o, rs, fs);
    print_ratios(rs, fs);
    print_floor_ratios(rs, fs);
}

[[maybe_unused]] const int registered = add_scenario({10, "full speed", false, run});

} // namespace

} // namespace bench
