#!/usr/bin/python3
"""The peer of send_bench: the same messages sent with smtplib, on
connections renewed every 31 messages as the sending step renews its own.
Messages are formatted directly (no email package), so the peer's cost is
mostly the protocol.

  send_peer.py PORT COUNT BODY_FILE   prints "<seconds>"
"""

import smtplib
import sys
import time


def main():
    port, count, body_file = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    with open(body_file, "rb") as f:
        body = f.read()
    start = time.perf_counter()
    conn = None
    for n in range(1, count + 1):
        if conn is None or n % 31 == 0:
            if conn is not None:
                conn.quit()
            # An explicit name: smtplib otherwise looks up the host's FQDN
            # on every connection.
            conn = smtplib.SMTP("127.0.0.1", port, local_hostname="localhost")
        to = "r%d@dest.example" % n
        head = (
            "To: %s\r\nFrom: vorel@src.example\r\nSubject: Reply %d\r\n"
            "Date: Sun, 06 Dec 2026 08:00:00 +0000\r\n"
            "Message-ID: <%d.%f@src.example>\r\nX-Mailer: bench\r\nMIME-Version: 1.0\r\n"
            "Content-Type: text/plain; charset=us-ascii\r\n"
            "Content-Transfer-Encoding: 8bit\r\n\r\n" % (to, n, n, start)
        ).encode("ascii")
        conn.sendmail("vorel@src.example", [to], head + body)
    conn.quit()
    print("%.6f" % (time.perf_counter() - start))


if __name__ == "__main__":
    main()
