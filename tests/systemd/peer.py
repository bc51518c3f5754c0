# Both ends of a relay, for the unit test's machine and the VM test.
#
# peer.py device LINK    a pseudo-terminal whose far end answers every byte
#                        upper-cased; LINK names its terminal (root:dialout
#                        0660, as a serial port). Holds both ends open, so the
#                        line never hangs up while the server restarts; SIGUSR1
#                        hangs it up (vhangup), as a line that drops, and it stays.
# peer.py client PORT [FROM]  sends lower-case bytes to 127.0.0.1:PORT (from the
#                        address FROM); exit 1 unless they come back upper-cased,
#                        with no wait of over 5 s.
# peer.py hold PORT      the same, then stays connected until the server closes,
#                        for at most 30 s.
# peer.py refused PORT FROM  exit 0 if a connection from FROM gets no answer
#                        within 1 s (dropped by a filter), 1 if it connects.
# peer.py flood PORT FILE  sends to PORT without end and reads nothing; creates
#                        FILE once its sends have blocked for 1 s (the serial
#                        port's output is full), and exits when the server closes.
import fcntl, grp, os, signal, socket, sys, time, tty
from contextlib import suppress


def device(link):
    master, slave = os.openpty()
    tty.setraw(slave)
    name = os.ttyname(slave)
    os.chown(name, 0, grp.getgrnam("dialout").gr_gid)
    os.chmod(name, 0o660)
    os.symlink(name, link)

    def hang_up(*_):
        nonlocal slave
        fcntl.ioctl(slave, 0x5437)  # TIOCVHANGUP: every open file of it hangs up
        os.close(slave)
        slave = os.open(name, os.O_RDWR | os.O_NOCTTY)

    signal.signal(signal.SIGUSR1, hang_up)
    while True:
        try:
            os.write(master, os.read(master, 4096).upper())
        except OSError:  # EIO while no one else has the terminal open
            time.sleep(0.01)


def connect(port, source="0.0.0.0", timeout=5):
    return socket.create_connection(("127.0.0.1", int(port)), timeout=timeout,
                                    source_address=(source, 0))


def client(port, source="0.0.0.0", hold=False):
    payload = b"ping abcdefghijklmnopqrstuvwxyz\r\n" * 100
    got = b""
    with connect(port, source) as s:
        s.sendall(payload)
        with suppress(socket.timeout):
            while len(got) < len(payload) and (chunk := s.recv(65536)):
                got += chunk
        if got != payload.upper():
            sys.exit(f"client: sent {len(payload)} bytes, got {len(got)} back: {got[:60]!r}")
        s.settimeout(30)
        with suppress(OSError):  # reset, or 30 s gone
            while hold and s.recv(4096):
                pass


def refused(port, source):
    with suppress(socket.timeout):
        connect(port, source, timeout=1).close()
        sys.exit(f"refused: a connection from {source} got through")


def flood(port, ready):
    with connect(port, timeout=1) as s:
        while True:
            try:
                s.sendall(b"y" * 65536)
            except socket.timeout:
                open(ready, "w").close()
            except OSError:
                break


commands = {"device": device, "client": client, "refused": refused, "flood": flood,
            "hold": lambda port: client(port, hold=True)}
commands[sys.argv[1]](*sys.argv[2:])
