// Port names against the real /dev, lock files in a temporary directory, and
// line settings on a pseudo-terminal.
#include "serial/serial.h"
#include "support/process.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <ranges>

namespace fs = std::filesystem;

static void
use_lock_dir(const std::string& dir) {
    reset_settings();
    server_settings.custom_lock_dir = 1;
    ASSERT_TRUE(fits_into(proc.LockDirectory, dir));
}

TEST(PortName, BuildsUnderDevAndWantsACharDevice) {
    const std::string slashes(118, '/'); // "/dev/" + 118 + "null": 122 after the prefix
    // Argument, whether it is taken, and the path it makes.
    std::vector<std::tuple<std::string, bool, std::string>> rows = {
        {"null", true, "/dev/null"},
        {"/dev/null", true, "/dev/null"},
        {"/dev//null", true, "/dev//null"},
        {"/devices/x", false, "/dev/ices/x"},
        {"", false, "/dev/"},
        {"/dev", false, "/dev/"},
        {"pts", false, "/dev/pts"},
        {"/dev/" + slashes + "null", true, "/dev/" + slashes + "null"}};
    for (const auto& e : fs::directory_iterator("/dev"))
        if (e.is_block_file() && std::get<1>(rows.back())) // one disk is enough
            rows.push_back({e.path().filename(), false, e.path()});
    // Links under /dev are followed, where /dev can be written.
    const std::string link = "/dev/kolvd-test-" + std::to_string(getpid());
    if (symlink("null", link.c_str()) == 0)
        rows.push_back({link.substr(5), true, link});
    if (symlink((link + "-missing").c_str(), (link + "-gone").c_str()) == 0)
        rows.push_back({link + "-gone", false, link + "-gone"});
    for (const auto& [arg, ok, path] : rows) {
        reset_settings();
        EXPECT_EQ(resolve_port_name(arg.c_str()) != nullptr, ok) << arg;
        EXPECT_EQ(proc.port_path.data(), path) << arg;
    }
    EXPECT_EQ(resolve_port_name(("/dev/" + slashes + "/null").c_str()), nullptr);
    unlink(link.c_str()), unlink((link + "-gone").c_str());
}

// Whatever a lock holds is read as the pid on its first line, is never replaced
// by create_lock, and is removed only if it is our pid in decimal (a leading 0
// is not octal there).
TEST(LockFile, ReadKeptAndRemovedByContent) {
    const kt::TempDir dir;
    const std::string lock = dir / "LCK..ttyS0";
    const char* const port = "/dev/ttyS0";
    use_lock_dir(dir.path);
    const std::string ours = kt::planted(getpid());
    const std::string pid = std::to_string(getpid());
    const struct {
        std::string content;
        std::optional<std::int32_t> read;
        bool removed = false;
    } rows[] = {{ours, getpid(), true},
                {"0" + pid, {}, true},
                {std::to_string(getpid() + 1), getpid() + 1},
                {"      1230\n", 1230},
                {"0x10\n", 16},
                {"0000001234\n", 668},
                {"pid 1230\n", 0},
                {"\n1230\n", 0},
                {"", -1},
                {"0x80000000\n", INT32_MIN},
                {"99999999999\n", -1}};
    for (const auto& r : rows) {
        kt::spit(lock, r.content);
        EXPECT_EQ(lock_exists(port), 0) << r.content;
        EXPECT_EQ(read_lock_pid(port), r.read.value_or(read_lock_pid(port))) << r.content;
        EXPECT_EQ(create_lock(port), -1) << r.content;
        EXPECT_EQ(kt::slurp(lock), r.content);
        EXPECT_EQ(remove_lock(port), r.removed ? 0 : -1) << r.content;
        EXPECT_EQ(fs::exists(lock), !r.removed) << r.content;
        fs::remove(lock);
    }
    EXPECT_EQ(lock_exists(port), -1);
    EXPECT_EQ(read_lock_pid(port), -1);
    EXPECT_EQ(remove_lock(port), -1);
    ASSERT_EQ(create_lock(port), 0);
    EXPECT_EQ(kt::slurp(lock), ours);
    // A path over 79 characters is refused, not cut to something else.
    const std::string deep = dir / std::string(69 - dir.path.string().size(), 'd');
    ASSERT_TRUE(fs::create_directory(deep));
    use_lock_dir(deep);
    EXPECT_EQ(create_lock(port), -1);
    EXPECT_TRUE(fs::is_empty(deep));
}

// A port named through a symbolic link (a /dev/serial/by-id/ name) is locked
// under the device it resolves to; other names keep theirs, pts/N included.
TEST(LockFile, NamedAfterTheDeviceALinkResolvesTo) {
    const kt::TempDir locks, links;
    const kt::Pty pty;
    ASSERT_FALSE(pty.dev.empty());
    fs::create_directories(links / "serial/by-id");
    kt::spit(links / "file", "");
    const std::string here = links.path.string().substr(1); // a name that stays as given
    // Port path, link target (none: not a link), lock name after "LCK..".
    const struct {
        std::string port, target, name;
    } rows[] = {{"/dev/null", "", "null"},
                {pty.dev, "", pty.dev.substr(5)},
                {links / "abs", "/dev/null", "null"},
                {links / "pty", pty.dev, pty.dev.substr(5)},
                {links / "serial/by-id/usb-x", "../../abs", "null"},
                {links / "dangling", links / "gone", here + "/dangling"},
                {links / "outside", links / "file", here + "/outside"},
                {links / "dev", "/dev", here + "/dev"}};
    for (const auto& r : rows) {
        if (!r.target.empty())
            fs::create_symlink(r.target, r.port);
        use_lock_dir(locks.path);
        std::array<char, kLockPathSize> path{};
        ASSERT_EQ(build_lock_path(r.port.c_str(), path), 0) << r.port;
        EXPECT_EQ(path.data(), locks / ("LCK.." + r.name)) << r.port;
    }
    // The control commands find a server's lock through its link, and the
    // server removes its lock after the link is gone (an unplugged adapter).
    fs::create_directory(locks / "LCK..pts");
    for (const auto& r : std::views::reverse(rows)) { // the by-id link before the one it names
        if (r.target.empty() || r.name.starts_with(here))
            continue;
        use_lock_dir(locks.path);
        ASSERT_EQ(create_lock(r.port.c_str()), 0) << r.port;
        EXPECT_EQ(lock_exists(r.port.c_str()), 0) << r.port;
        EXPECT_EQ(read_lock_pid(r.port.c_str()), getpid()) << r.port;
        fs::remove(r.port);
        EXPECT_EQ(remove_lock(r.port.c_str()), 0) << r.port;
        EXPECT_FALSE(fs::exists(locks / ("LCK.." + r.name))) << r.port;
    }
}

TEST(Line, SettingsOnAPty) {
    constexpr tcflag_t kSoft = IXON | IXOFF | IXANY, kHard = CRTSCTS | PARODD | CSTOPB;
    constexpr tcflag_t kNoOff = IXON | IXANY; // tells XON, NONE and "leave alone" apart
    constexpr tcflag_t kRawI = ISTRIP | IGNCR | ICRNL | IMAXBEL, kRawL = ECHO | ISIG | ICANON;
    const struct {
        const char* flow = "NONE";
        std::int32_t data = 8, parity = 0, stop = 1;
        speed_t speed = B9600;
        tcflag_t pre_i = 0, pre_c = 0;   // left by an earlier user of the port
        tcflag_t want_i = 0, want_c = 0; // of kSoft, kHard
        tcflag_t frame = CS8;            // CSIZE and PARENB asked of the driver
    } rows[] = {
        {.pre_i = kSoft, .pre_c = kHard, .want_c = PARODD},
        {.flow = "XON", .pre_c = CRTSCTS, .want_i = IXON | IXOFF},
        {.flow = "XON", .pre_i = IXANY, .want_i = kSoft},
        {.flow = "RTS", .pre_i = kSoft, .want_c = CRTSCTS},
        {.flow = "xon", .pre_i = kNoOff, .pre_c = CRTSCTS, .want_i = kNoOff, .want_c = CRTSCTS},
        {.data = 7, .parity = 2, .pre_c = PARODD, .frame = CS7 | PARENB},
        {.data = 7, .parity = 1, .want_c = PARODD, .frame = CS7 | PARENB},
        {.stop = 2, .speed = B115200, .want_c = CSTOPB}};
    for (const auto& r : rows) {
        kt::Pty pty;
        termios t{};
        ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
        // Raw mode undone, and INLCR, ONLCR, IEXTEN, HUPCL, VSTART that must survive.
        t.c_iflag = (t.c_iflag & ~kSoft) | r.pre_i | kRawI | INLCR;
        t.c_oflag |= OPOST | OCRNL | ONLCR;
        t.c_lflag |= kRawL | IEXTEN;
        t.c_cflag = (t.c_cflag & ~(kHard | CLOCAL | CREAD)) | r.pre_c | HUPCL;
        t.c_cc[VMIN] = 5, t.c_cc[VTIME] = 9, t.c_cc[VSTART] = 1;
        cfsetspeed(&t, B38400);
        ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &t), 0);

        reset_settings();
        copy_cut(line_settings.flow_control, r.flow);
        line_settings.data_bits = r.data, line_settings.parity = r.parity;
        line_settings.stop_bits = r.stop, line_settings.speed = r.speed;
        EXPECT_EQ(configure_line(pty.slave, line_settings), 0);
        termio sent{}; // a pty forces CS8 and no parity, so the frame is read off the record
        set_line_flags(sent, line_settings);
        ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
        using Seen = std::array<unsigned long, 9>;
        EXPECT_EQ((Seen{t.c_iflag & (kSoft | kRawI | INLCR), t.c_oflag & (OPOST | OCRNL | ONLCR),
                        t.c_lflag & (kRawL | IEXTEN), t.c_cflag & (kHard | CLOCAL | CREAD | HUPCL),
                        tcflag_t{sent.c_cflag} & (CSIZE | PARENB), t.c_cc[VMIN], t.c_cc[VTIME],
                        t.c_cc[VSTART], cfgetospeed(&t) == r.speed && cfgetispeed(&t) == r.speed}),
                  (Seen{r.want_i | INLCR, ONLCR, IEXTEN, r.want_c | CLOCAL | CREAD | HUPCL, r.frame,
                        0, 1, 1, 1}))
            << "row " << &r - rows;
    }
}
