// Bytes split on NUL into the arguments after "kolvd" -> parse_command_line.
// It returns a mode with a port path under /dev, or exits 0 after the version
// line, or exits 1 after saying why. -F sees only the scratch directory, which
// holds a good and a bad setup file.
#include "harness.h"

#include <vector>

extern "C" int
LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size > 4096)
        return 0;
    std::string text =
        std::string("kolvd", 6) + std::string(reinterpret_cast<const char*>(data), size);
    std::vector<char*> argv{text.data()};
    for (std::size_t i = 0; i + 1 < text.size(); ++i)
        if (text[i] == '\0')
            argv.push_back(&text[i + 1]);
    argv.push_back(nullptr);
    Mode mode{};
    std::string_view out;
    const int status = run_caught(
        [&] { mode = parse_command_line(static_cast<int>(argv.size() - 1), argv.data()); }, out);
    const std::size_t last = out.rfind('\n', out.size() - 2) + 1; // npos + 1 == 0
    assert(status != -1 || (mode >= Mode::server && mode <= Mode::reinitialise &&
                            std::string_view(proc.port_path.data()).starts_with("/dev/")));
    assert(status == -1 || (!out.empty() && out.back() == '\n'));
    assert(status == -1 || status == 1 ||
           (status == 0 && out.substr(last).starts_with("Ver:7.24")));
    return 0;
}
