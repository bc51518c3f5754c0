// Line settings in two passes: the old termio requests carry the flags (only
// their low 16 bits), then termios sets the speed and, for "RTS", CRTSCTS,
// which lies above those 16 bits.
#include "log/log.h"
#include "serial/serial.h"

#include <sys/ioctl.h>

namespace {

using Flags = unsigned short; // a termio flag word

constexpr Flags
bits(tcflag_t b) {
    return static_cast<Flags>(b);
}

void
clear(Flags& word, tcflag_t b) {
    word = static_cast<Flags>(word & ~bits(b));
}

void
set(Flags& word, tcflag_t b) {
    word = static_cast<Flags>(word | bits(b));
}

} // namespace

void
set_line_flags(termio& t, const SerialLineSettings& line) {
    const std::string_view flow{line.flow_control.data()};
    if (flow == "RTS" || flow == "NONE") {
        clear(t.c_iflag, IXON | IXOFF | IXANY);
    } else if (flow == "XON") {
        set(t.c_iflag, IXON | IXOFF);
    }
    clear(t.c_cflag, CSIZE);
    if (line.data_bits == 8)
        set(t.c_cflag, CS8);
    else if (line.data_bits == 7)
        set(t.c_cflag, CS7);
    clear(t.c_cflag, PARENB);
    if (line.parity == 1) {
        set(t.c_cflag, PARENB | PARODD);
    } else if (line.parity == 2) {
        clear(t.c_cflag, PARODD);
        set(t.c_cflag, PARENB);
    }
    clear(t.c_cflag, CSTOPB);
    if (line.stop_bits == 2)
        set(t.c_cflag, CSTOPB);
    set(t.c_cflag, CLOCAL | CREAD);
    clear(t.c_lflag, ECHO | ISIG | ICANON);
    clear(t.c_oflag, OPOST | OCRNL);
    clear(t.c_iflag, ISTRIP | IGNCR | ICRNL | IMAXBEL);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = static_cast<unsigned char>(line.read_timeout & 0xff);
}

int
configure_line(int fd, const SerialLineSettings& line) {
    termio t{};
    if (ioctl(fd, TCGETA, &t) != 0) {
        log_perror("kolvd: ioctl:TCGETA");
        cleanup_and_exit(1);
    }
    set_line_flags(t, line);
    if (ioctl(fd, TCSETA, &t) != 0) {
        log_perror("kolvd: ioctl:TCSETA");
        cleanup_and_exit(1);
    }

    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        log_perror("kolvd: tcgetattr:");
        return 0; // nothing read from the driver to apply
    }
    if (cfsetospeed(&tio, line.speed) != 0)
        log_perror("kolvd: cfsetospeed:");
    if (cfsetispeed(&tio, line.speed) != 0)
        log_perror("kolvd: cfsetispeed:");
    // Drivers keep CRTSCTS from one open to the next, so "NONE" and "XON"
    // must clear what an earlier "RTS" server set.
    const std::string_view flow{line.flow_control.data()};
    if (flow == "RTS")
        tio.c_cflag |= CRTSCTS;
    else if (flow == "NONE" || flow == "XON")
        tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
        log_perror("kolvd: tcsetattr:");
    return 0;
}
