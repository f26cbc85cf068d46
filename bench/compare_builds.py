#!/usr/bin/env python3
"""Runs one benchmark program from two build folders round-robin and prints
each measurement's median, so that a change is measured against the code
before it in one run on a shared, noisy machine.

  bench/compare_builds.py ROUNDS BEFORE_BUILD AFTER_BUILD PROGRAM [ARGS...]

PROGRAM is a path inside each build folder (bench/file_buffer_bench,
bench/gz_bench). Each round runs it once from each folder, the order
alternating. Google Benchmark programs run one repetition and are read as
JSON (times and counters); other programs are read for lines of the form
"NAME median T ms", as gz_bench prints them (give gz_bench 1 round).
"""
import json
import os
import re
import statistics
import subprocess
import sys


def measure(program, args):
    """One run's measurements: {name: value}."""
    google = '--benchmark' in subprocess.run([program, '--help'], capture_output=True,
                                             text=True).stdout
    if google:
        out = subprocess.run([program, '--benchmark_format=json', '--benchmark_repetitions=1'] +
                             args, capture_output=True, text=True, check=True).stdout
        values = {}
        for b in json.loads(out)['benchmarks']:
            values[b['name'] + ' (ms)'] = b['real_time']
            for counter in ('huge_MiB',):
                if counter in b:
                    values[b['name'] + ' ' + counter] = b[counter]
        return values
    out = subprocess.run([program] + args, capture_output=True, text=True, check=True).stdout
    return {m.group(1) + ' (ms)': float(m.group(2))
            for m in re.finditer(r'^\s+(\S.*?)\s+median\s+([\d.]+) ms', out, re.M)}


def main():
    if len(sys.argv) < 5:
        print(__doc__, file=sys.stderr)
        return 2
    rounds, builds, program, args = int(sys.argv[1]), sys.argv[2:4], sys.argv[4], sys.argv[5:]
    labels = ['before', 'after']
    results = {}
    for r in range(rounds):
        for i in ([0, 1] if r % 2 == 0 else [1, 0]):
            for name, value in measure(os.path.join(builds[i], program), args).items():
                results.setdefault(name, {}).setdefault(labels[i], []).append(value)
    print('%d rounds, medians (min-max)' % rounds)
    for name in sorted(results):
        cells = []
        for label in labels:
            v = results[name].get(label, [])
            cells.append('%s %9.1f (%.1f-%.1f)' % (label, statistics.median(v), min(v), max(v))
                         if v else '%s %9s' % (label, '-'))
        print('  %-28s %s' % (name, '   '.join(cells)))
    return 0


if __name__ == '__main__':
    sys.exit(main())
