# Shared set-up of the benchmark scripts; source it after setting `name`.
#
# Sets `here` (the checkout), `shared` (../shared/bench-data beside it),
# `work` ($BENCH_DIR, default /tmp/brenmoor-$name-bench) and `build`
# ($BUILD_DIR, default build-$name-bench), stops with a message when the
# bench data is absent, and decompresses the raw files into $work/raw once.
# Defines raw_tar, make_once, pieces_tar and build_targets.
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
shared="$here/../shared/bench-data"
work="${BENCH_DIR:-/tmp/brenmoor-$name-bench}"
build="${BUILD_DIR:-$here/build-$name-bench}"

if [ ! -d "$shared" ]; then
  echo "run_$name.sh: $shared is not present; the benchmark needs the shared bench-data folder" >&2
  exit 1
fi
mkdir -p "$work/raw"
for f in "$shared"/*.bz2; do
  raw="$work/raw/$(basename "$f" .bz2)"
  [ -s "$raw" ] || bzip2 -dc "$f" > "$raw"
done

# raw_tar OUTPUT: a GNU tar of the raw files, made deterministically.
raw_tar() {
  tar --format=gnu --sort=name --mtime=@0 --owner=0 --group=0 -C "$work/raw" -cf "$1" .
}

# make_once OUTPUT COMMAND...: runs COMMAND with its output into OUTPUT,
# unless OUTPUT is there already; through OUTPUT.part, so that a run cut
# short leaves no partial OUTPUT to be reused.
make_once() {
  local out="$1"
  shift
  [ -s "$out" ] || { "$@" > "$out.part" && mv "$out.part" "$out"; }
}

# pieces_tar OUTPUT [OPTION...]: the TAR of the raw files cut into pieces
# (bench/make_pieces_tar.py, which takes the options), made once.
pieces_tar() {
  local out="$1"
  shift
  [ -s "$out" ] || python3 "$here/bench/make_pieces_tar.py" "$work/raw" "$out" "$@"
}

# build_targets TARGET...: configures $build once (Release, benchmarks on,
# tests off) and builds the targets.
build_targets() {
  if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRENMOOR_BENCH=ON \
      -DBRENMOOR_TESTS=OFF > /dev/null
  fi
  ninja -C "$build" -j2 "$@" > /dev/null
}
