// A client that takes nothing for a while as the device writes at full speed:
// what each relay delivers once the client reads again, in order or not, and
// what it logs meanwhile.
#include "bench.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <poll.h>
#include <unistd.h>

namespace bench {

namespace {

struct Outcome {
    bool run = false;
    unsigned long long received = 0, in_order = 0; // in order: the prefix that matches
    long lines = 0;
};

// Lines of the relay's own log, or of its standard error (kolvd: only its
// error reports, not the connection's own lines).
long
logged(const Relay& r) {
    std::ifstream in(r.log);
    long n = 0;
    for (std::string l; std::getline(in, l);)
        n += r.kind != Kind::kolvd || l.starts_with("kolvd: ") ? 1 : 0;
    return n;
}

char
byte_at(std::size_t i) {
    return static_cast<char>((i * 2654435761U) >> 13);
}

Outcome
measure(const Relay& r, std::size_t total, double pause) {
    Outcome out{true, 0, 0, -logged(r)};
    const Link l = open_link(r);
    if (l.client < 0 || !echo_once(l)) // accepted, and the line flushed
        die(r.name + ": first exchange");
    std::vector<char> data(total);
    for (std::size_t i = 0; i < total; ++i)
        data[i] = byte_at(i);
    std::array<char, 1 << 16> buf{};
    std::size_t sent = 0;
    bool in_order = true;
    const auto t0 = Clock::now();
    auto last = t0; // of progress, once the client reads
    while (out.received < total && since(last) < 1 && since(t0) < 120) {
        const bool reading = since(t0) >= pause;
        std::array<pollfd, 2> p{{{l.device, static_cast<short>(sent < total ? POLLOUT : 0), 0},
                                 {l.client, static_cast<short>(reading ? POLLIN : 0), 0}}};
        poll(p.data(), p.size(), 50);
        if (!reading)
            last = Clock::now();
        const ssize_t w = (p[0].revents & POLLOUT) != 0 ? write(l.device, data.data() + sent,
                                                                std::min(buf.size(), total - sent))
                                                        : 0;
        sent += static_cast<std::size_t>(std::max<ssize_t>(w, 0));
        const ssize_t n = (p[1].revents & POLLIN) != 0 ? read(l.client, buf.data(), buf.size()) : 0;
        if (n == 0 && (p[1].revents & POLLIN) != 0)
            break;
        for (ssize_t k = 0; k < n; ++k, ++out.received) {
            in_order = in_order && out.received < total &&
                       buf[static_cast<std::size_t>(k)] == data[out.received];
            out.in_order += in_order ? 1 : 0;
        }
        if (n > 0)
            last = Clock::now();
    }
    close_link(l);
    drain(r.master);
    pause_for(0.3); // the log lines of the connection's end
    out.lines += logged(r);
    return out;
}

void
run(const Options& o, std::vector<Relay>& rs) {
    const std::size_t total = o.quick ? 4u << 20 : 16u << 20;
    const double pause = o.quick ? 1 : 3;
    std::vector<Outcome> res(rs.size());
    for (std::size_t i = 0; i < rs.size(); ++i) {
        if (rs[i].pid > 0)
            res[i] = measure(rs[i], total, pause);
        std::fprintf(stderr, "\rslow client: %zu of %zu", i + 1, rs.size());
    }
    std::fprintf(stderr, "\n");
    std::printf("\n## Slow client\n\nThe device writes %zu MiB as fast as the line takes it; "
                "the client reads nothing for the first %.0f s, then everything. Lost: bytes "
                "never delivered; out of order: delivered after a gap. Lines: what the relay "
                "logged meanwhile (kolvd: its error reports; the others: their standard "
                "error).\n\n|",
                total >> 20, pause);
    relay_columns(rs);
    const auto row = [&](const char* label, auto value) {
        std::printf("| %s |", label);
        for (const Outcome& x : res)
            x.run ? std::printf(" %llu |", static_cast<unsigned long long>(value(x)))
                  : std::printf(" — |");
        std::printf("\n");
    };
    row("bytes lost",
        [total](const Outcome& x) { return total - std::min<std::size_t>(x.received, total); });
    row("bytes out of order", [](const Outcome& x) { return x.received - x.in_order; });
    row("lines logged", [](const Outcome& x) { return x.lines; });
}

[[maybe_unused]] const int registered = add_scenario({15, "slow client", false, run});

} // namespace

} // namespace bench
