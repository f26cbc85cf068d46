#!/usr/bin/env python3
"""Times listings of one TAR archive by several programs, round-robin.

    bench/tar_list_rounds.py ROUNDS ARCHIVE NAME=COMMAND...

Each COMMAND is a shell command; "{}" in it stands for ARCHIVE. Every round
runs each command once, in an order that rotates from round to round, with
its output sent to /dev/null; a command that fails stops the run. Prints the
median and the fastest time of each, and each one's median over the first.
Meant for comparing builds of `brenmoor list` with each other and with
`tar -tf` in one run on a shared machine.
"""
import shlex
import statistics
import subprocess
import sys
import time

rounds, archive = int(sys.argv[1]), sys.argv[2]
commands = [arg.split("=", 1) for arg in sys.argv[3:]]
times = {name: [] for name, _ in commands}
for r in range(rounds):
    order = commands[r % len(commands):] + commands[:r % len(commands)]
    for name, command in order:
        line = command.replace("{}", shlex.quote(archive))
        start = time.perf_counter()
        subprocess.run(line, shell=True, check=True, stdout=subprocess.DEVNULL)
        times[name].append(time.perf_counter() - start)
first = statistics.median(times[commands[0][0]])
print("%d rounds of %s" % (rounds, archive))
print("%-12s %10s %10s %8s" % ("", "median s", "fastest s", "ratio"))
for name, _ in commands:
    median = statistics.median(times[name])
    print("%-12s %10.4f %10.4f %8.3f" % (name, median, min(times[name]), median / first))
