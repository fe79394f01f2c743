#!/usr/bin/python3
"""The floor of a header scan: every TOP command written at once (RFC 2449
pipelining) on one connection, replies read as they come. Prints
"<messages> <seconds>"."""
import socket
import sys
import threading
import time

host, port, user, password = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
sock = socket.create_connection((host, port))
f = sock.makefile("rb")


def line():
    return f.readline()


line()  # greeting
for cmd in ("USER " + user, "PASS " + password, "STAT"):
    sock.sendall(cmd.encode() + b"\r\n")
    reply = line()
    if not reply.startswith(b"+OK"):
        sys.exit("login failed: %r" % reply)
count = int(reply.split()[1])
start = time.perf_counter()
commands = b"".join(b"TOP %d 0\r\n" % i for i in range(1, count + 1))
writer = threading.Thread(target=sock.sendall, args=(commands,))
writer.start()
done = 0
while done < count:
    if not line().startswith(b"+OK"):
        sys.exit("TOP failed")
    while line() != b".\r\n":
        pass
    done += 1
elapsed = time.perf_counter() - start
writer.join()
sock.sendall(b"QUIT\r\n")
line()
print(count, elapsed)
