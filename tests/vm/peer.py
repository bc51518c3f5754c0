"""peer.py flood PORT READY: a client of 127.0.0.1:PORT that sends without
end and reads nothing; creates READY once its sends have blocked for 1 s
(the port's output is full), and exits when the server closes."""
import socket
import sys

port, ready = sys.argv[1:]
with socket.create_connection(("127.0.0.1", int(port))) as s:
    s.settimeout(1)
    while True:
        try:
            s.sendall(b"y" * 65536)
        except socket.timeout:
            open(ready, "w").close()
        except OSError:
            break
