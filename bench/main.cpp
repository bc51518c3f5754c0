// Relay benchmark: kolvd beside a floor relay that follows its relay rules
// with nothing else, socat and ser2net, each on its own pseudo-terminal (the
// benchmark plays the device on the master), plus two floors: the
// pseudo-terminal alone and loopback TCP alone. Prints Markdown; the pids it
// starts go to DIR/pids so the calling script can stop them if we die.
#include "bench.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace bench {

namespace {

std::vector<Scenario>&
scenarios() {
    static std::vector<Scenario> table;
    return table;
}

// The floor relay is built beside the benchmark.
std::string
beside_self(const char* name) {
    std::array<char, 4096> self{};
    const ssize_t n = readlink("/proc/self/exe", self.data(), self.size() - 1);
    const std::string path(self.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
    return path.substr(0, path.rfind('/') + 1) + name;
}

[[noreturn]] void
usage() {
    std::fprintf(stderr, "usage: kolvd_bench [--quick] [--rounds N] [--baseline OLD_KOLVD] "
                         "[--floor-relay PATH] [--only SCENARIO] --kolvd PATH --dir TMPDIR\n"
                         "scenarios:");
    for (const Scenario& s : scenarios())
        std::fprintf(stderr, " '%s'", s.name);
    std::fprintf(stderr, "\n");
    std::exit(2);
}

Options
parse(int argc, char** argv, std::string& only) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool value = i + 1 < argc;
        if (a == "--quick") {
            o.quick = true;
            o.rounds = 2;
            o.rtt_samples = 100;
            o.churn = 20;
            o.bytes = 1u << 20;
        } else if (a == "--kolvd" && value) {
            o.kolvd = argv[++i];
        } else if (a == "--baseline" && value) {
            o.baseline = argv[++i];
        } else if (a == "--floor-relay" && value) {
            o.floor_relay = argv[++i];
        } else if (a == "--dir" && value) {
            o.dir = argv[++i];
        } else if (a == "--rounds" && value) {
            o.rounds = std::clamp(std::atoi(argv[++i]), 1, 200);
        } else if (a == "--only" && value) {
            only = argv[++i];
        } else {
            usage();
        }
    }
    if (o.floor_relay.empty())
        o.floor_relay = beside_self("kolvd_floor_relay");
    return o;
}

} // namespace

int
add_scenario(const Scenario& s) {
    scenarios().push_back(s);
    return static_cast<int>(scenarios().size());
}

} // namespace bench

int
main(int argc, char** argv) {
    using namespace bench;
    std::string only;
    const Options o = parse(argc, argv, only);
    std::vector<Scenario> list = scenarios();
    std::sort(list.begin(), list.end(),
              [](const Scenario& a, const Scenario& b) { return a.order < b.order; });
    std::erase_if(list, [&only](const Scenario& s) { return !only.empty() && only != s.name; });
    if (list.empty())
        usage();
    install_signal_handlers();
    std::vector<Relay> rs = start_relays(o);
    std::printf("## Relays as run\n\n");
    for (const Relay& r : rs)
        std::printf("- %s: `%s`\n", r.name.c_str(), r.command.c_str());
    for (const Relay& r : rs)
        if (!r.config.empty())
            std::printf("\n%s\n", r.config.c_str());
    for (const Scenario& s : list) {
        if (s.alone) // their pages and CPU would count against the scenario's own
            stop_relays(rs);
        s.run(o, rs);
        std::fflush(stdout);
    }
    stop_relays(rs);
}
