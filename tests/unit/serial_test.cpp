// Port names against the real /dev, lock files in a temporary directory, line
// settings on a pseudo-terminal, and the exits that release the port.
#include "serial/serial.h"
#include "support/process.h"
#include "support/unit.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

void
use_lock_dir(const std::string& dir) {
    reset_settings();
    server_settings.custom_lock_dir = 1;
    ASSERT_TRUE(fits_into(proc.LockDirectory, dir));
}

} // namespace

TEST(PortName, BuildsUnderDevAndWantsACharDevice) {
    const std::string slashes(118, '/'); // "/dev/" + 118 + "null": 122 after the prefix
    struct Row {
        std::string arg;
        bool ok;
        std::string path;
    };
    std::vector<Row> rows = {{"null", true, "/dev/null"},
                             {"/dev/null", true, "/dev/null"},
                             {"/dev//null", true, "/dev//null"},
                             {"/devices/x", false, "/dev/ices/x"},
                             {"", false, "/dev/"},
                             {"/dev", false, "/dev/"},
                             {"pts", false, "/dev/pts"},
                             {"/dev/" + slashes + "null", true, "/dev/" + slashes + "null"}};
    for (const auto& e : fs::directory_iterator("/dev"))
        if (e.is_block_file() && rows.back().ok) // one disk is enough
            rows.push_back({e.path().filename(), false, e.path()});
    for (const Row& r : rows) {
        reset_settings();
        EXPECT_EQ(resolve_port_name(r.arg.c_str()) != nullptr, r.ok) << r.arg;
        EXPECT_EQ(proc.port_path.data(), r.path) << r.arg;
    }
    EXPECT_EQ(resolve_port_name(("/dev/" + slashes + "/null").c_str()), nullptr);
}

TEST(PortName, FollowsLinksUnderDev) {
    const std::string base = "kolvd-test-" + std::to_string(getpid());
    const kt::DevLink good(base + "-null", "null"), bad(base + "-gone", base + "-missing");
    if (!good.ok || !bad.ok)
        GTEST_SKIP() << "/dev is not writable";
    reset_settings();
    EXPECT_STREQ(resolve_port_name(good.name.c_str()), good.path().c_str());
    EXPECT_EQ(resolve_port_name(bad.path().c_str()), nullptr);
}

TEST(LockPath, DirectoryLCKAndName) {
    const std::string d68(68, 'd');
    const struct {
        int custom;
        std::string dir, port, want; // want "": does not fit in 79 characters
    } rows[] = {{0, "/ignored", "/dev/ttyS0", "/var/lock/LCK..ttyS0"},
                {1, "/tmp/locks", "/dev/ttyS0", "/tmp/locks/LCK..ttyS0"},
                {1, "/tmp/locks/", "/dev/ttyS0", "/tmp/locks/LCK..ttyS0"},
                {1, "", "/dev/ttyS0", "/LCK..ttyS0"},
                {1, "locks", "/dev/usb/ttyUSB0", "locks/LCK..usb/ttyUSB0"},
                {1, d68, "/dev/ttyS0", d68 + "/LCK..ttyS0"},
                {1, d68 + "d", "/dev/ttyS0", ""}};
    for (const auto& r : rows) {
        use_lock_dir(r.dir);
        server_settings.custom_lock_dir = r.custom;
        std::array<char, kLockPathSize> path{};
        const int got = build_lock_path(r.port.c_str(), path);
        EXPECT_EQ(got == 0 ? path.data() : "", r.want) << r.dir << " " << r.port;
    }
}

class LockFile : public ::testing::Test {
  protected:
    kt::TempDir dir;
    const std::string lock = dir / "LCK..ttyS0";
    static constexpr const char* port = "/dev/ttyS0";
    void SetUp() override {
        use_lock_dir(dir.path);
        fits_into(proc.port_path, port);
    }
    static std::string our_lock_text() {
        std::array<char, 32> text{};
        std::snprintf(text.data(), text.size(), "%10d\n", getpid());
        return text.data();
    }
};

TEST_F(LockFile, CreatedOnceWithOurPid) {
    EXPECT_EQ(lock_exists(port), -1);
    ASSERT_EQ(create_lock(port), 0);
    EXPECT_EQ(lock_exists(port), 0);
    EXPECT_EQ(kt::read_file(lock), our_lock_text()); // 11 bytes
    for (const std::string old : {"      4321\n", ""}) {
        kt::write_file(lock, old);
        EXPECT_EQ(create_lock(port), -1);
        EXPECT_EQ(kt::read_file(lock), old);
    }
    fs::remove(lock);
    fs::create_symlink(dir / "target", lock);
    EXPECT_EQ(create_lock(port), -1);
    EXPECT_FALSE(fs::exists(dir / "target"));
    // A path over 79 characters is refused, not cut to something else.
    const std::string deep = dir / std::string(69 - dir.path.string().size(), 'd');
    ASSERT_TRUE(fs::create_directory(deep));
    use_lock_dir(deep);
    EXPECT_EQ(create_lock(port), -1);
    EXPECT_TRUE(fs::is_empty(deep));
}

// Decimal only: a leading 0 is not octal here.
TEST_F(LockFile, RemovedOnlyWhenItHoldsOurPid) {
    const struct {
        std::string content;
        int result;
    } rows[] = {{our_lock_text(), 0},
                {"0" + std::to_string(getpid()), 0},
                {std::to_string(getpid() + 1), -1},
                {"pid\n", -1},
                {"", -1}};
    for (const auto& r : rows) {
        kt::write_file(lock, r.content);
        EXPECT_EQ(remove_lock(port), r.result) << r.content;
        EXPECT_EQ(fs::exists(lock), r.result != 0) << r.content;
    }
    fs::remove(lock);
    EXPECT_EQ(remove_lock(port), -1);
}

TEST_F(LockFile, PidReadFromTheFirstLine) {
    const struct {
        std::string content;
        std::int32_t pid;
    } rows[] = {{"      1230\n", 1230},     {"0x10\n", 16},  {"0000001234\n", 668},
                {"pid 1230\n", 0},          {"\n1230\n", 0}, {"", -1},
                {"0x80000000\n", INT32_MIN}};
    for (const auto& r : rows) {
        kt::write_file(lock, r.content);
        EXPECT_EQ(read_lock_pid(port), r.pid) << r.content;
    }
    fs::remove(lock);
    EXPECT_EQ(read_lock_pid(port), -1);
}

TEST_F(LockFile, LineOnANonTerminalEnds) {
    server_settings.serial_fd = open("/dev/null", O_RDWR);
    EXPECT_EXIT(configure_line(server_settings.serial_fd, line_settings),
                ::testing::ExitedWithCode(1),
                "kolvd: ioctl:TCGETA: .+\nCould not remove lock file for: /dev/ttyS0\n");
    close(server_settings.serial_fd);
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
