// Setup-file bytes -> read_setup_file: it returns having printed nothing, or
// prints one "kolvd: " line and exits 1.
#include "harness.h"

extern "C" int
LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string path = g_dir + "/setup";
    write_file(path, data, size);
    std::string_view out;
    const int status = run_caught(
        [&] {
            reset_settings();
            read_setup_file(path.c_str(), line_settings);
        },
        out);
    assert(status == -1
               ? out.empty()
               : status == 1 && out.starts_with("kolvd: ") && out.find('\n') == out.size() - 1);
    return 0;
}
