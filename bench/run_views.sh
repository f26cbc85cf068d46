#!/usr/bin/env bash
# Members of a compressed 1 GB TAR at the member's cost: times and peak
# memory of opening one member by its nested member path, against bsdtar,
# round-robin in one run.
#
#   bench/run_views.sh [ROUNDS]
#
# The TAR (about 1 GB, a few thousand members) is made deterministically
# from the raw benchmark files in ../shared/bench-data by
# bench/make_pieces_tar.py --whole-last: eleven copies of every file cut
# into pieces, then every file whole, so the first member is a small piece
# and the last a whole file. It is compressed with gzip -6 -n and bzip2 -9. Everything
# is written under $BENCH_DIR (default /tmp/brenmoor-views-bench) and reused
# when present; nothing is committed.
#
# Figures, each a fresh process:
#   first, last   `brenmoor cat` of the first / last member's nested path,
#                 and `bsdtar -q -xOf ARCHIVE MEMBER`
#   warm          views_probe opening the last member, then one from the
#                 middle: the second open's time (the index warm)
#   list          views_probe listing the TAR with readers (what
#                 extraction does); with $OLD_BUILD set (a build folder of an
#                 earlier commit holding brenmoor.dll and a views_probe built
#                 from this file's source against that commit's host) the
#                 same with that module
set -euo pipefail

name=views
rounds="${1:-3}"
# shellcheck source=bench/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

archive="$work/views.tar"
pieces_tar "$archive" --whole-last
make_once "$archive.gz" gzip -6 -n -c "$archive"
make_once "$archive.bz2" bzip2 -9 -c "$archive"
[ -s "$work/members.txt" ] || tar -tf "$archive" > "$work/members.txt"
ls -l "$archive" "$archive.gz" "$archive.bz2"

build_targets brenmoor brenmoor_cli views_probe

python3 - "$build" "$archive" "$work/members.txt" "$rounds" "${OLD_BUILD:-}" <<'PY'
import os, statistics, sys, time
build, archive, members_file, rounds, old_build = sys.argv[1:6]
rounds = int(rounds)
members = open(members_file).read().split("\n")[:-1]
first, middle, last = members[0], members[len(members) // 2], members[-1]
cli, module, probe = build + "/brenmoor", build + "/brenmoor.dll", build + "/bench/views_probe"

def nested(kind, member=None):
    container = archive + "." + kind
    inner = "unpack://%s|%d|%s|views.tar" % (kind, len(container), container)
    return inner if member is None else "unpack://tar|%d|%s|%s" % (len(inner), inner, member)

cases = []
for kind in ("gz", "bz2"):
    c = archive + "." + kind
    cases += [
        ("%s first: brenmoor cat" % kind, [cli, "cat", nested(kind, first)], None),
        ("%s first: bsdtar -q -xOf" % kind, ["bsdtar", "-q", "-xOf", c, first], None),
        ("%s last: brenmoor cat" % kind, [cli, "cat", nested(kind, last)], None),
        ("%s last: bsdtar -q -xOf" % kind, ["bsdtar", "-q", "-xOf", c, last], None),
        ("%s warm second open" % kind, [probe, module, "open", nested(kind, last), nested(kind, middle)], 1),
        ("%s list with readers" % kind, [probe, module, "list", nested(kind)], 0),
    ]
    if old_build:
        cases.append(("%s list with readers (old build)" % kind,
                      [old_build + "/views_probe", old_build + "/brenmoor.dll", "list",
                       nested(kind)], 0))

def measure(argv, pick):
    # Peak memory of the child from the kernel's accounting.
    start = time.monotonic()
    pid = os.fork()
    if pid == 0:
        fd = os.open(os.devnull, os.O_WRONLY)
        if pick is None:
            os.dup2(fd, 1)
        else:
            os.dup2(os.open(out_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644), 1)
        os.dup2(fd, 2)
        os.execvp(argv[0], argv)
    _, status, usage = os.wait4(pid, 0)
    wall = time.monotonic() - start
    if status != 0:
        sys.exit("failed (%d): %s" % (status, " ".join(argv)))
    if pick is not None:
        fields = open(out_path).read().split("\n")[pick].split()
        return float(fields[1]), usage.ru_maxrss
    return wall, usage.ru_maxrss

out_path = "/tmp/brenmoor-views-probe.out"
results = {name: [] for name, _, _ in cases}
for r in range(rounds):
    order = cases[r % len(cases):] + cases[:r % len(cases)]
    for name, argv, pick in order:
        results[name].append(measure(argv, pick))

print("members: first %s, middle %s, last %s; %d rounds, medians" % (first, middle, last, rounds))
print("| figure | seconds | peak MiB |")
print("|---|---|---|")
for name, _, _ in cases:
    times = [t for t, _ in results[name]]
    peaks = [m for _, m in results[name]]
    print("| %s | %.3f | %.0f |" % (name, statistics.median(times), statistics.median(peaks) / 1024))
PY
