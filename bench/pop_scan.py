#!/usr/bin/python3
"""Header scan with Python's poplib on one connection: TOP n 0 for every
message. Prints "<messages> <seconds>"."""
import poplib
import sys
import time

host, port, user, password = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
pop = poplib.POP3(host, port)
pop.user(user)
pop.pass_(password)
count = pop.stat()[0]
start = time.perf_counter()
for i in range(1, count + 1):
    pop.top(i, 0)
elapsed = time.perf_counter() - start
pop.quit()
print(count, elapsed)
