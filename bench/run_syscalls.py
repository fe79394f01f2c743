#!/usr/bin/env python3
# Counts one mail run's system calls, file opens and WAL write transactions in an
# strace -ff file of run_bench's child (RUN_BENCH_NO_FLOOR=1): from the run's run.lock
# to the bench's clean-up. Usage: run_syscalls.py TRACE-FILE
import sys, re, collections
path = sys.argv[1]
lines = open(path, errors='replace').read().splitlines()
start = next(i for i, l in enumerate(lines) if 'run.lock' in l)
calls = collections.Counter()
fds = {}
walfd = set(); tx = 0; walbytes = 0; prev_wal = False
opened = collections.Counter()
end = next((i for i in range(start, len(lines)) if re.match(r'unlinkat\(\d+, "', lines[i])), len(lines))
for l in lines[start:end]:
    if l.startswith('+++') or l.startswith('---'):
        continue
    m = re.match(r'(\w+)\(', l)
    if not m:
        continue
    name = m.group(1)
    calls[name] += 1
    is_wal = False
    if name in ('openat', 'open'):
        fm = re.search(r'"([^"]*)".*= (\d+)$', l)
        if fm:
            fn = fm.group(1).split('/')[-1]
            opened[fn] += 1
            fds[fm.group(2)] = fn
            if fn.endswith('-wal'):
                walfd.add(fm.group(2))
    if name in ('pwrite64', 'write'):
        fm = re.match(r'\w+\((\d+),.*= (\d+)$', l)
        if fm and fm.group(1) in walfd:
            is_wal = True
            walbytes += int(fm.group(2))
            if not prev_wal:
                tx += 1
    if name not in ('fcntl',):  # sqlite locks between frames of one commit
        prev_wal = is_wal
total = sum(calls.values())
print("syscalls", total, "opens", calls['openat'] + calls['open'], "closes", calls['close'],
      "write-transactions(WAL bursts)", tx, "WAL bytes", walbytes)
print("top", calls.most_common(14))
print("opened files", opened.most_common(12))
