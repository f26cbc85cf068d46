#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks and builds the release tree
# (build/, the release preset): the module build/brenmoor.dll and the program
# build/brenmoor.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ ninja-build pkg-config zlib1g-dev libisal-dev liblzma-dev libzstd-dev
          libgtest-dev libgmock-dev libbenchmark-dev libbz2-dev bzip2 gzip xz-utils zstd tar
          python3 binutils clang libclang-rt-14-dev libarchive-tools git libfuse3-dev fuse3 lbzip2
          isal pigz dpkg-dev lintian groff-base man-db libsqlite3-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
