#!/usr/bin/env bash
# The content index on disk: what a fresh process costs once an earlier one
# indexed the 1 GB views TAR, against the peers, round-robin in one run.
#
#   bench/run_index.sh [ROUNDS]
#
# The TAR is the views benchmark's (bench/make_pieces_tar.py --whole-last,
# about 1 GB, 3,847 members), compressed with gzip -6 -n, bzip2 -9,
# xz -6 -T0 (independent blocks on every core) and pzstd -3 (independent
# frames); everything lives under $BENCH_DIR (default
# /tmp/brenmoor-views-bench, shared with bench/run_views.sh) and is reused
# when present; nothing is committed. The index is built once per run in
# $BENCH_DIR/index (`brenmoor index`), and its size reported against the
# compressed files'.
#
# Figures, each a fresh process, medians of ROUNDS:
#   last      `brenmoor cat` of the last member's nested path, indexed;
#             `bsdtar -q -xOf ARCHIVE MEMBER` beside it
#   list      `brenmoor list` of the compressed TAR, indexed; `bsdtar -tf`
#   mount     `brenmoor mount` of the indexed .tar.gz until the tree is up
#             (the last member's folder listed); archivemount the same, when
#             installed
#   readers   views_probe listing the .tar.gz with readers (what extract
#             does), indexed, on every core and under `taskset -c 0`
#   extract   `brenmoor extract` of the .tar.gz's members (-m '*') into a
#             scratch folder (in /dev/shm when there is one), the same two ways
#   whole     `brenmoor cat` of the .tar.gz's one member (the whole TAR) to
#             /dev/null, indexed, the same two ways
#   first     `brenmoor list` of the TAR in the .tar.gz (a walk through the
#             whole content) with an empty index on disk, against
#             BRENMOOR_INDEX=memory: the cost of writing the index
set -euo pipefail

name=views
rounds="${1:-3}"
# shellcheck source=bench/lib.sh
BUILD_DIR="${BUILD_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build-index-bench}"
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

archive="$work/views.tar"
if [ ! -s "$archive" ]; then
  python3 "$here/bench/make_pieces_tar.py" "$work/raw" "$archive" --whole-last
fi
compress_as() {  # compress_as SUFFIX COMMAND...: $archive.SUFFIX from the TAR on stdin
  local out="$archive.$1"
  shift
  [ -s "$out" ] || { "$@" < "$archive" > "$out.part" && mv "$out.part" "$out"; }
}
compress_as gz gzip -6 -n -c
compress_as bz2 bzip2 -9 -c
compress_as xz xz -6 -T0 -c
compress_as zst pzstd -q -3 -p "$(nproc)" -c
[ -s "$work/members.txt" ] || tar -tf "$archive" > "$work/members.txt"
ls -l "$archive".*

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRENMOOR_BENCH=ON \
    -DBRENMOOR_TESTS=OFF > /dev/null
fi
ninja -C "$build" -j2 brenmoor brenmoor_cli views_probe > /dev/null

python3 - "$build" "$archive" "$work" "$rounds" <<'PY'
import os, shutil, statistics, subprocess, sys, time
build, archive, work, rounds = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
cli, probe, module = build + "/brenmoor", build + "/bench/views_probe", build + "/brenmoor.dll"
members = open(os.path.join(work, "members.txt")).read().split("\n")[:-1]
last = members[-1]
index = os.path.join(work, "index")
scratch = os.path.join(work, "index-scratch")
mnt = os.path.join(work, "mnt")
os.makedirs(mnt, exist_ok=True)
kinds = ("gz", "bz2", "xz", "zst")

def env(where):
    e = dict(os.environ)
    e["BRENMOOR_INDEX"] = where
    return e

def inner(kind):
    c = archive + "." + kind
    return "unpack://%s|%d|%s|views.tar" % (kind, len(c), c)

def nested(kind, member):
    i = inner(kind)
    return "unpack://tar|%d|%s|%s" % (len(i), i, member)

def run(argv, where=index):
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   env=env(where))

def timed(argv, where=index):
    start = time.perf_counter()
    run(argv, where)
    return time.perf_counter() - start

# The index, built once.
shutil.rmtree(index, ignore_errors=True)
start = time.perf_counter()
run([cli, "-q", "index"] + [archive + "." + k for k in kinds])
print("index built in %.1f s" % (time.perf_counter() - start))
db = sum(os.path.getsize(os.path.join(index, f)) for f in os.listdir(index))
compressed = sum(os.path.getsize(archive + "." + k) for k in kinds)
print("index size %.2f MiB for %.1f MiB of compressed files: %.2f %%" %
      (db / 2**20, compressed / 2**20, 100.0 * db / compressed))
out = subprocess.run([cli, "index", "--status"], env=env(index), capture_output=True, text=True)
print(out.stdout.strip())

def mount_until_tree(command, unmount):
    start = time.perf_counter()
    proc = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            env=env(index))
    try:
        while True:
            if os.path.isdir(os.path.join(mnt, os.path.dirname(last))):
                return time.perf_counter() - start
            if proc.poll() is not None and proc.returncode != 0:
                raise SystemExit("mount failed: %s" % command)
            time.sleep(0.002)
    finally:
        subprocess.run(unmount, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        proc.wait()
        while os.path.ismount(mnt):
            time.sleep(0.01)

def first_pass(where):
    shutil.rmtree(scratch, ignore_errors=True)
    return timed([cli, "-q", "list", inner("gz")], where)

cases = []
for k in kinds:
    cases.append(("last %s: brenmoor cat" % k, lambda k=k: timed([cli, "cat", nested(k, last)])))
    cases.append(("last %s: bsdtar -xOf" % k,
                  lambda k=k: timed(["bsdtar", "-q", "-xOf", archive + "." + k, last])))
    cases.append(("list %s: brenmoor list" % k, lambda k=k: timed([cli, "list", archive + "." + k])))
cases.append(("list gz: bsdtar -tf", lambda: timed(["bsdtar", "-tf", archive + ".gz"])))
cases.append(("mount gz: brenmoor mount", lambda: mount_until_tree(
    [cli, "-q", "mount", "-f", archive + ".gz", mnt], ["fusermount3", "-u", mnt])))
if shutil.which("archivemount"):
    cases.append(("mount gz: archivemount", lambda: mount_until_tree(
        ["archivemount", "-f", archive + ".gz", mnt], ["fusermount3", "-u", mnt])))
extracted = os.path.join("/dev/shm" if os.path.isdir("/dev/shm") else work, "brenmoor-extract")

def extract(prefix):
    shutil.rmtree(extracted, ignore_errors=True)
    os.makedirs(extracted)
    try:
        return timed(prefix + [cli, "-q", "extract", archive + ".gz", "-m", "*", "-C", extracted])
    finally:
        shutil.rmtree(extracted, ignore_errors=True)

# Each every-core case follows what its one-core twin follows: a case that
# leaves the memory fragmented (1 GB written to tmpfs and removed) slows the
# huge pages of the next whole-file case.
cases.append(("readers gz: every core", lambda: timed([probe, module, "list", inner("gz")])))
cases.append(("whole gz: every core", lambda: timed([cli, "cat", inner("gz")])))
cases.append(("readers gz: one core", lambda: timed(
    ["taskset", "-c", "0", probe, module, "list", inner("gz")])))
cases.append(("whole gz: one core", lambda: timed(["taskset", "-c", "0", cli, "cat", inner("gz")])))
cases.append(("extract gz: every core", lambda: extract([])))
cases.append(("extract gz: one core", lambda: extract(["taskset", "-c", "0"])))
cases.append(("first gz: index on disk", lambda: first_pass(scratch)))
cases.append(("first gz: index in memory", lambda: first_pass("memory")))

results = {n: [] for n, _ in cases}
for r in range(rounds):
    order = cases[r % len(cases):] + cases[:r % len(cases)]
    for n, f in order:
        results[n].append(f())
shutil.rmtree(scratch, ignore_errors=True)

print("last member %s; %d rounds, medians" % (last, rounds))
print("| figure | seconds |")
print("|---|---|")
for n, _ in cases:
    print("| %s | %.3f |" % (n, statistics.median(results[n])))
m = {n: statistics.median(v) for n, v in results.items()}
print("readers: every core / one core = %.2f" %
      (m["readers gz: every core"] / m["readers gz: one core"]))
for what in ("extract", "whole"):
    print("%s: every core / one core = %.2f" %
          (what, m[what + " gz: every core"] / m[what + " gz: one core"]))
print("first pass: disk / memory = %.3f" %
      (m["first gz: index on disk"] / m["first gz: index in memory"]))
PY
