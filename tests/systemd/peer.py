"""Both ends of a relay, for the unit test inside the machine.

peer.py device LINK    a pseudo-terminal whose far end answers every byte
                       upper-cased; LINK names its terminal (root:dialout 0660,
                       as a serial port). Holds both ends open, so the line
                       never hangs up while the server restarts; SIGUSR1 hangs
                       it up (vhangup), as a line that drops, and it stays.
peer.py client PORT [FROM]  sends lower-case bytes to 127.0.0.1:PORT (from the
                       address FROM), expects them back upper-cased within 5 s;
                       exit 1 otherwise.
peer.py hold PORT      the same, then stays connected until the server closes
                       (exit 0), or for at most 30 s (exit 1).
peer.py refused PORT FROM  exit 0 if a connection from FROM gets no answer
                       within 1 s (dropped by a filter), 1 if it connects.
peer.py listen PORT FILE  holds PORT open (to make a server's bind fail);
                       creates FILE once it listens.
"""
import fcntl
import grp
import os
import signal
import socket
import sys
import time
import tty


def device(link):
    master, slave = os.openpty()
    tty.setraw(slave)
    name = os.ttyname(slave)
    os.chown(name, 0, grp.getgrnam("dialout").gr_gid)
    os.chmod(name, 0o660)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(name, link)
    print(name, flush=True)

    def hang_up(*_):
        nonlocal slave
        fcntl.ioctl(slave, 0x5437)  # TIOCVHANGUP: every open file of it hangs up
        os.close(slave)
        slave = os.open(name, os.O_RDWR | os.O_NOCTTY)

    signal.signal(signal.SIGUSR1, hang_up)
    while True:
        try:
            data = os.read(master, 4096)
        except OSError:  # EIO while no one else has the terminal open
            time.sleep(0.01)
            continue
        os.write(master, data.upper())


def client(port, source="0.0.0.0", hold=False):
    payload = (b"ping " + bytes(range(ord("a"), ord("z") + 1)) + b"\r\n") * 100
    deadline = time.monotonic() + 5
    with socket.create_connection(("127.0.0.1", int(port)), timeout=5,
                                  source_address=(source, 0)) as s:
        s.sendall(payload)
        got = b""
        while len(got) < len(payload) and time.monotonic() < deadline:
            s.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                chunk = s.recv(65536)
            except socket.timeout:
                break
            if not chunk:
                break
            got += chunk
        if got != payload.upper():
            print(f"client: sent {len(payload)} bytes, got {len(got)} back: {got[:60]!r}")
            sys.exit(1)
        if hold:
            s.settimeout(30)
            try:
                while s.recv(4096):
                    pass
            except socket.timeout:
                sys.exit(1)
            except ConnectionResetError:
                pass


def hold(port):
    client(port, hold=True)


def refused(port, source):
    try:
        socket.create_connection(("127.0.0.1", int(port)), timeout=1,
                                 source_address=(source, 0)).close()
    except socket.timeout:
        return
    print(f"refused: a connection from {source} got through")
    sys.exit(1)


def listen(port, ready):
    s = socket.socket()
    # Connections that the server closed first linger on the port; a
    # listener there still makes the bind fail.
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("0.0.0.0", int(port)))
    s.listen(1)
    open(ready, "w").close()
    time.sleep(600)


{"device": device, "client": client, "hold": hold, "refused": refused, "listen": listen}[
    sys.argv[1]](*sys.argv[2:])
