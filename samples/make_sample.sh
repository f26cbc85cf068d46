#!/usr/bin/env bash
# Makes samples/demo.tar.gz, the small nested archive the demo lists: a
# gzip-compressed TAR holding a few text files and a bzip2-compressed text.
# The flags make the result byte-for-byte repeatable: names sorted, times,
# owners and modes fixed, no name or time in the gzip header.
set -euo pipefail
cd "$(dirname "$0")"

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/demo/docs"

cat > "$stage/demo/README.txt" <<'TEXT'
This archive is a sample for the brenmoor command-line host.
It is a TAR inside a gzip file, and it holds a bzip2 file of its own:
list it with 'brenmoor list -r samples/demo.tar.gz'.
TEXT

cat > "$stage/demo/docs/formats.txt" <<'TEXT'
tar  - classic 512-byte headers, with GNU long names
gz   - one gzip-compressed file
bz2  - one bzip2-compressed file
TEXT

cat > "$stage/poem.txt" <<'TEXT'
The archive keeps its members close,
a folder folded into bytes;
unpack it once and read the prose,
then fold it back for other nights.
        (a sample for brenmoor)
TEXT
bzip2 -9 -c "$stage/poem.txt" > "$stage/demo/poem.txt.bz2"

tar --create --file=- --directory="$stage" --format=gnu --sort=name --mtime=@0 \
    --owner=0 --group=0 --numeric-owner --mode='u=rwX,go=rX' demo \
  | gzip -9 -n > demo.tar.gz
echo "wrote $(pwd)/demo.tar.gz ($(wc -c < demo.tar.gz) bytes)"
