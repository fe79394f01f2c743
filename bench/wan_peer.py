#!/usr/bin/python3
"""The lock-step peer of wan_bench: the same run done with poplib and
smtplib, each command waiting for its reply. Scans every header (TOP n 0),
downloads and deletes the messages addressed to an autoresponder, then sends
one reply to each on SMTP connections renewed every 31 messages, as the
sending step renews its own.

  wan_peer.py POP_PORT USER PASSWORD SMTP_PORT ADDRESS...
  prints "<seconds> <replies> <seconds until the first SMTP connection>"
"""

import poplib
import smtplib
import sys
import time
from email.parser import BytesHeaderParser
from email.utils import parseaddr


def main():
    pop_port, user, password, smtp_port = (int(sys.argv[1]), sys.argv[2], sys.argv[3],
                                           int(sys.argv[4]))
    answered = {a.lower() for a in sys.argv[5:]}
    start = time.perf_counter()
    pop = poplib.POP3("127.0.0.1", pop_port)
    pop.user(user)
    pop.pass_(password)
    count = pop.stat()[0]
    pop.uidl()
    replies = []
    for n in range(1, count + 1):
        head = BytesHeaderParser().parsebytes(b"\r\n".join(pop.top(n, 0)[1]))
        if parseaddr(head.get("To", ""))[1].lower() in answered:
            pop.retr(n)
            pop.dele(n)
            replies.append((parseaddr(head.get("From", ""))[1], head.get("Subject", "")))
    pop.quit()
    pop_seconds = time.perf_counter() - start
    conn = None
    for k, (to, subject) in enumerate(replies, 1):
        if conn is None or k % 32 == 0:
            if conn is not None:
                conn.quit()
            conn = smtplib.SMTP("127.0.0.1", smtp_port, local_hostname="localhost")
        text = (
            "To: %s\r\nFrom: robot@me.example\r\nSubject: Re: %s\r\n"
            "Date: Sun, 06 Dec 2026 08:00:00 +0000\r\nMessage-ID: <%d.%f@me.example>\r\n"
            "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n"
            "Thank you for writing.\r\n" % (to, subject, k, start)
        ).encode("ascii")
        conn.sendmail("robot@me.example", [to], text)
    if conn is not None:
        conn.quit()
    print("%.6f %d %.6f" % (time.perf_counter() - start, len(replies), pop_seconds))


if __name__ == "__main__":
    main()
