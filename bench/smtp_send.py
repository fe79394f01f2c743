#!/usr/bin/python3
"""Sending with Python's smtplib on one connection. Prints "<messages> <seconds>"."""
import smtplib
import sys
import time

host, port, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
body = (
    "From: owner@example.org\r\nTo: member@example.org\r\nSubject: Re: hello\r\n"
    "Message-ID: <%d.bench@example.org>\r\nMIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=us-ascii\r\n\r\n"
    "Thank you for your message. This is an automatic reply.\r\n" * 1
)
smtp = smtplib.SMTP(host, port)
smtp.ehlo()
start = time.perf_counter()
for i in range(count):
    smtp.sendmail("owner@example.org", ["member@example.org"], (body % i).encode())
elapsed = time.perf_counter() - start
smtp.quit()
print(count, elapsed)
