#!/usr/bin/env bash
# `brenmoor mount` of the 1 GB TAR benchmark archive as .tar.gz, against the
# same work done without the mount, round-robin in one run.
#
#   bench/run_mount.sh [ROUNDS]
#
# The archive is the TAR benchmark's (bench/make_pieces_tar.py, as
# bench/run_tar.sh makes it) compressed with gzip -6 -n, under $BENCH_DIR
# (default /tmp/brenmoor-mount-bench), reused when present; nothing is
# committed. Each figure is a fresh process and, through the mount, a fresh
# mount (its listing not counted):
#   last     cat of the last member through the mount, and
#            `brenmoor cat` of its member path
#   find     `find MOUNTPOINT | wc -l` right after mounting
#   copy     `cp -r MOUNTPOINT/. DIR`, and `tar -xzf ARCHIVE -C DIR`
# Prints the median of each, in seconds, and the ratios.
set -euo pipefail

name=mount
rounds="${1:-5}"
# shellcheck source=bench/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

archive="$work/pieces.tar"
pieces_tar "$archive"
make_once "$archive.gz" gzip -6 -n -c "$archive"
[ -s "$work/members.txt" ] || tar --quoting-style=literal -tf "$archive" > "$work/members.txt"
ls -l "$archive.gz"

build_targets brenmoor brenmoor_cli

python3 - "$build/brenmoor" "$archive.gz" "$work" "$rounds" <<'PY'
import os, shutil, statistics, subprocess, sys, time
cli, archive, work, rounds = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
members = open(os.path.join(work, "members.txt")).read().split("\n")[:-1]
last = members[-1]
inner = "unpack://gz|%d|%s|pieces.tar" % (len(archive), archive)
last_path = "unpack://tar|%d|%s|%s" % (len(inner), inner, last)
mnt, out = os.path.join(work, "mnt"), os.path.join(work, "out")
os.makedirs(mnt, exist_ok=True)

def timed(command, **kw):
    start = time.perf_counter()
    subprocess.run(command, check=True, **kw)
    return time.perf_counter() - start

def mounted(work):
    subprocess.run([cli, "-q", "mount", archive, mnt], check=True)
    try:
        return work()
    finally:
        subprocess.run(["fusermount3", "-u", mnt], check=True)
        while os.stat(mnt).st_dev != os.stat(work_dir_parent).st_dev:
            time.sleep(0.01)

work_dir_parent = work
def fresh_out():
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)

def count_find():
    start = time.perf_counter()
    lines = subprocess.run("find '%s' | wc -l" % mnt, shell=True, check=True,
                           capture_output=True, text=True).stdout.strip()
    elapsed = time.perf_counter() - start
    found.append(int(lines))
    return elapsed

found = []
figures = {k: [] for k in ("cat member path", "cat through mount", "find after mount",
                           "cp -r from mount", "tar -xzf")}
null = subprocess.DEVNULL
for r in range(rounds):
    figures["cat member path"].append(timed([cli, "-q", "cat", last_path], stdout=null))
    figures["cat through mount"].append(
        mounted(lambda: timed(["cat", os.path.join(mnt, last)], stdout=null)))
    figures["find after mount"].append(mounted(count_find))
    fresh_out()
    figures["cp -r from mount"].append(mounted(lambda: timed(["cp", "-r", mnt + "/.", out])))
    fresh_out()
    figures["tar -xzf"].append(timed(["tar", "-xzf", archive, "-C", out]))
    print("round %d: %s" % (r + 1, ", ".join("%s %.3f" % (k, v[-1]) for k, v in figures.items())),
          flush=True)
shutil.rmtree(out, ignore_errors=True)
med = {k: statistics.median(v) for k, v in figures.items()}
print("medians over %d rounds (s):" % rounds)
for k, v in med.items():
    print("  %-18s %.3f" % (k, v))
print("entries found: %s (members: %d)" % (sorted(set(found)), len(members)))
print("cat: mount / member path = %.2f (target <= 1.2)" % (med["cat through mount"] / med["cat member path"]))
print("find after mount = %.3f s (target < 0.5)" % med["find after mount"])
print("copy: cp -r / tar -xzf = %.2f (target <= 1.3)" % (med["cp -r from mount"] / med["tar -xzf"]))
PY
