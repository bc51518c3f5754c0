// The setup file: key=value lines, read in pieces of at most 118 characters.
// Nothing is trimmed: blanks and a carriage return belong to the key or value.
#include "config/config.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

constexpr int kSetupReadChars = 118;
constexpr std::size_t kKeyChars = 47;
constexpr std::size_t kValueChars = 79;

struct FileCloser {
    void operator()(std::FILE* f) const noexcept {
        std::fclose(f);
    }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// "yes" or "no" into a flag; anything else names the key and ends the process.
void
set_yes_no(std::int32_t& flag, std::string_view value, const char* key) {
    if (value == "yes")
        flag = 1;
    else if (value == "no")
        flag = 0;
    else
        config_error("%s: %s value is not valid\n", proc.program_name.data(), key);
}

void
apply_line(std::string_view key, std::string_view value, const char* path,
           SerialLineSettings& line) {
    static constexpr std::array<std::string_view, 10> kKeys{
        "PortBitRate",          "PortSettings", "DebugMode",        "DropDTRonSocketClose",
        "DropRTSonSocketClose", "IdleTimeout",  "MaxConnectPeriod", "Service",
        "FlowControl",          "LogFileName"};
    const auto it = std::find(kKeys.begin(), kKeys.end(), key);
    if (key.size() > kKeyChars || it == kKeys.end())
        return;
    // The value buffer holds 79 characters; a longer value is refused, not cut.
    std::array<char, kValueChars + 1> v{};
    if (!fits_into(v, value)) {
        config_error("%s: %.*s value is longer than %zu characters in setupfile - %s\n",
                     proc.program_name.data(), static_cast<int>(key.size()), key.data(),
                     kValueChars, path);
    }
    switch (it - kKeys.begin()) {
    case 0:
        if (const Rate* r = find_rate(value))
            line.speed = r->speed;
        else
            config_error("%s: PortBitRate=%s value is not valid as used in setupfile - %s\n",
                         proc.program_name.data(), v.data(), path);
        break;
    case 1:
        if (value == "7E1") {
            line.data_bits = 7, line.parity = 2, line.stop_bits = 1;
        } else if (value == "7O1") {
            line.data_bits = 7, line.parity = 1, line.stop_bits = 1;
        } else if (value == "8N1") {
            line.data_bits = 8, line.parity = 0, line.stop_bits = 1;
        } else {
            config_error("%s: PortSettings value is not valid\n", proc.program_name.data());
        }
        break;
    case 2:
        set_yes_no(server_settings.debug, value, "DebugMode");
        break;
    case 3:
        set_yes_no(server_settings.DropDTRonSocketClose, value, "DropDTRonSocketClose");
        break;
    case 4:
        set_yes_no(server_settings.DropRTSonSocketClose, value, "DropRTSonSocketClose");
        break;
    case 5:
        server_settings.idle_timeout = parse_u32(v.data()) * 10U;
        break;
    case 6:
        server_settings.MaxConnectPeriod = parse_u32(v.data());
        break;
    case 7:
        if (!fits_into(proc.service_name, value)) {
            config_error("%s: Service value is longer than %zu characters in setupfile - %s\n",
                         proc.program_name.data(), kServiceNameSize - 1, path);
        }
        break;
    case 8:
        copy_cut(line.flow_control, value);
        break; // too long: matches no mode
    case 9:
        fits_into(proc.LogFileName, value);
        proc.log_file_given = 1;
        break; // 79 always fits in 255
    }
}

} // namespace

void
read_setup_file(const char* path, SerialLineSettings& line) {
    if (path == nullptr)
        config_error("%s: expected a file-pathname for setup file\n", proc.program_name.data());
    UniqueFile f{std::fopen(path, "r")};
    if (!f)
        config_error("%s: Could not open setup file: %s\n", proc.program_name.data(), path);
    std::array<char, 128> text{};
    while (std::fgets(text.data(), kSetupReadChars + 1, f.get()) != nullptr) {
        // fgets stops at a NUL byte it cannot report; such a piece ends there.
        std::string_view piece{text.data()};
        if (!piece.empty() && piece.back() == '\n')
            piece.remove_suffix(1);
        const std::size_t eq = piece.find('=');
        if (eq == std::string_view::npos)
            continue;
        // Views built by hand: substr would pull in the C++ runtime for its throw.
        apply_line({piece.data(), eq}, {piece.data() + eq + 1, piece.size() - eq - 1}, path, line);
    }
}
