#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks and builds the release tree
# (build/, the release preset): the module build/brenmoor.dll and the program
# build/brenmoor. Also readies the 32-bit (i386) build that scripts/test.sh
# runs: the i386 architecture, the multilib compilers and the :i386
# libraries (ISA-L has none; that build inflates gzip with zlib alone), and,
# where the kernel cannot run 32-bit programs, qemu's user-mode emulator
# registered for them.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ ninja-build pkg-config zlib1g-dev libisal-dev liblzma-dev libzstd-dev
          libgtest-dev libgmock-dev libbenchmark-dev libbz2-dev bzip2 gzip xz-utils zstd tar
          python3 binutils clang libclang-rt-14-dev libarchive-tools git libfuse3-dev fuse3 lbzip2
          isal pigz dpkg-dev lintian groff-base man-db libsqlite3-dev)
i386_packages=(gcc-multilib g++-multilib zlib1g-dev:i386 liblzma-dev:i386 libzstd-dev:i386
               libfuse3-dev:i386 libsqlite3-dev:i386 libgtest-dev:i386 libgmock-dev:i386
               libbz2-dev:i386)

sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
update=false
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
  update=true
fi
missing=()
for p in "${packages[@]}" "${i386_packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
apt_install() {
  if $update; then
    $sudo apt-get update -qq
    update=false
  fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" >/dev/null
}
((${#missing[@]} == 0)) || { update=true; apt_install "${missing[@]}"; }

# Some kernels (virtual machines without IA-32 emulation) refuse 32-bit
# programs. There, binfmt_misc hands them to qemu-i386, whose Debian
# package registers it for foreign architectures only; i386 is registered
# here, with the magic and mask of qemu's own binfmt table.
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'int main(void) { return 0; }' > "$probe/probe.c"
gcc -m32 "$probe/probe.c" -o "$probe/probe"
if ! "$probe/probe" 2>/dev/null; then
  dpkg -s qemu-user-static >/dev/null 2>&1 || { update=true; apt_install qemu-user-static; }
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e "$binfmt/register" ] || $sudo mount -t binfmt_misc binfmt_misc "$binfmt" || true
  if [ ! -e "$binfmt/qemu-i386" ]; then
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    printf '%s' ":qemu-i386:M::$magic:$mask:/usr/bin/qemu-i386-static:F" |
      $sudo tee "$binfmt/register" >/dev/null || true
  fi
  "$probe/probe" 2>/dev/null ||
    echo "setup.sh: this machine cannot run 32-bit programs; scripts/test.sh builds the i386 tree but cannot run its suite" >&2
fi

cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
