#!/usr/bin/env bash
# Shows the command-line host on the bundled sample: the module's identity,
# a recursive listing of samples/demo.tar.gz (a TAR inside gzip, holding a
# bzip2 file), and one member printed by its nested member path.
# Uses build/ (or $BRENMOOR_BUILD_DIR) and builds the program there first
# when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BRENMOOR_BUILD_DIR:-build}

if [ ! -x "$build/brenmoor" ] || [ ! -f "$build/brenmoor.dll" ]; then
  generator=()
  if [ ! -f "$build/CMakeCache.txt" ] && command -v ninja >/dev/null; then generator=(-G Ninja); fi
  cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" --target brenmoor_cli
fi
brenmoor="$build/brenmoor"

# member_path TYPE ARCHIVE MEMBER: the path of MEMBER inside ARCHIVE. The
# length field counts the bytes of ARCHIVE.
member_path() {
  local length
  length=$(printf %s "$2" | LC_ALL=C wc -c)
  printf 'unpack://%s|%d|%s|%s' "$1" "$length" "$2" "$3"
}

sample=samples/demo.tar.gz
tar_member=$(member_path gz "$sample" demo.tar)
bz2_member=$(member_path tar "$tar_member" demo/poem.txt.bz2)
poem=$(member_path bz2 "$bz2_member" poem.txt)

echo "\$ brenmoor info"
"$brenmoor" info
echo
echo "\$ brenmoor list -r $sample"
"$brenmoor" list -r "$sample"
echo
echo "\$ brenmoor cat '$poem'"
"$brenmoor" cat "$poem"
