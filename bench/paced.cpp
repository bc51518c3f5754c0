// Device traffic at a real bit rate, as a UART delivers it, read by clients.
#include "bench.h"

#include <algorithm>
#include <array>
#include <deque>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <unistd.h>
#include <utility>

namespace bench {

namespace {

struct Line {
    Bursts bursts{1};
    Clock::time_point next;
    std::deque<std::pair<unsigned long long, Clock::time_point>> pending; // end offset, written
    unsigned long long sent = 0, received = 0;
};

Clock::duration
seconds_of(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

} // namespace

Paced
run_paced(const std::vector<Link>& links, const std::vector<pid_t>& pids, double bits_per_s,
          double seconds) {
    static std::array<char, 64> burst{};
    static std::array<char, 1 << 16> in{};
    burst.fill('u');
    // The default 50 µs of timer slack is a third of a short burst at 921600 bit/s.
    prctl(PR_SET_TIMERSLACK, 1UL);
    const double byte_s = 10.0 / bits_per_s;
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    std::vector<Line> lines(links.size());
    const double cpu0 = cpu_ns(pids);
    const unsigned long long switches0 = context_switches(pids);
    const auto t0 = Clock::now();
    for (std::size_t i = 0; i < links.size(); ++i) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        if (epoll_ctl(ep, EPOLL_CTL_ADD, links[i].client, &ev) != 0)
            die("epoll_ctl");
        // The same sequence for every relay; lines spread over one burst so
        // that they do not all write at once.
        lines[i].bursts.state = static_cast<std::uint32_t>(i) * 2654435761u + 1;
        lines[i].next = t0 + seconds_of(64 * byte_s * static_cast<double>(i) /
                                        static_cast<double>(links.size()));
    }
    Paced out;
    const auto end = t0 + seconds_of(seconds), give_up = end + seconds_of(1);
    std::vector<epoll_event> events(std::min<std::size_t>(links.size(), 256));
    for (;;) {
        const auto now = Clock::now();
        auto wake = give_up;
        bool waiting = false;
        for (std::size_t i = 0; i < links.size(); ++i) {
            Line& l = lines[i];
            if (now < end && l.next <= now) {
                const std::size_t n = l.bursts.next();
                const auto at = Clock::now();
                const ssize_t w = write(links[i].device, burst.data(), n);
                if (w > 0) {
                    l.sent += static_cast<unsigned long long>(w);
                    l.pending.emplace_back(l.sent, at);
                    ++out.bursts;
                }
                l.next += seconds_of(static_cast<double>(n) * byte_s);
            }
            if (now < end)
                wake = std::min(wake, l.next);
            waiting = waiting || !l.pending.empty();
        }
        if (now >= give_up || (now >= end && !waiting))
            break;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::max(wake - Clock::now(), Clock::duration::zero()))
                            .count();
        const timespec timeout{static_cast<time_t>(ns / 1000000000),
                               static_cast<long>(ns % 1000000000)};
        const int k =
            epoll_pwait2(ep, events.data(), static_cast<int>(events.size()), &timeout, nullptr);
        for (int j = 0; j < k; ++j) {
            const auto i = static_cast<std::size_t>(events[static_cast<std::size_t>(j)].data.u64);
            Line& l = lines[i];
            const ssize_t r = read(links[i].client, in.data(), in.size());
            if (r <= 0)
                continue;
            const auto at = Clock::now();
            l.received += static_cast<unsigned long long>(r);
            for (; !l.pending.empty() && l.pending.front().first <= l.received;
                 l.pending.pop_front())
                out.latency_us.push_back(
                    std::chrono::duration<double, std::micro>(at - l.pending.front().second)
                        .count());
        }
    }
    out.wall_s = since(t0);
    out.cpu_ns = cpu_ns(pids) - cpu0;
    out.switches = context_switches(pids) - switches0;
    for (const Line& l : lines) {
        out.sent += l.sent;
        out.received += l.received;
    }
    close(ep);
    return out;
}

} // namespace bench
