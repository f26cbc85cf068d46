#!/usr/bin/env bash
# Checks the Debian package that scripts/package.sh builds (or the .deb
# given as $1): what it holds, its fields, that the program and module run
# from it unpacked in a scratch folder, that an installed program finds its
# module at the installed place, that lintian reports no error, and that the
# manual page renders without warnings. scripts/test.sh runs it after the
# release suite.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
  echo "check_package: $*" >&2
  exit 1
}

for tool in dpkg-deb dpkg-architecture lintian groff man readelf; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup.sh installs it)"
done

deb=${1:-$(bash scripts/package.sh)}
[ -f "$deb" ] || fail "no package at $deb"
version=$(sed -n 's/^project(brenmoor VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
[ "$(basename "$deb")" = "brenmoor_${version}_${arch}.deb" ] ||
  fail "$(basename "$deb") is not named brenmoor_${version}_${arch}.deb"

scratch=$(mktemp -d /tmp/brenmoor-package-XXXXXX)
trap 'rm -rf "$scratch"' EXIT

# What the package holds, and its fields.
installed_module=/usr/lib/$multiarch/brenmoor/brenmoor.dll
expected="./usr/bin/brenmoor
.$installed_module
./usr/share/bash-completion/completions/brenmoor
./usr/share/doc/brenmoor/README.md
./usr/share/doc/brenmoor/changelog.gz
./usr/share/doc/brenmoor/cli.md
./usr/share/doc/brenmoor/copyright
./usr/share/man/man1/brenmoor.1.gz"
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
[ "$files" = "$(sort <<<"$expected")" ] || fail "the package holds:
$files
instead of:
$expected"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = brenmoor ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Recommends)" = fuse3 ] || fail "Recommends: $(field Recommends)"
for library in libc6 libstdc++6 zlib1g libisal2 liblzma5 libzstd1 libfuse3-3; do
  [[ ", $(field Depends)" == *", $library "* ]] || fail "Depends lacks $library: $(field Depends)"
done

root=$scratch/root
dpkg-deb -x "$deb" "$root"
program=$root/usr/bin/brenmoor
module=$root$installed_module
for binary in "$program" "$module"; do
  readelf -S "$binary" | grep -q '\.symtab' && fail "$binary is not stripped"
done
gzip -dc "$root/usr/share/man/man1/brenmoor.1.gz" | cmp -s - docs/brenmoor.1 ||
  fail "the packaged manual page is not docs/brenmoor.1"
gzip -dc "$root/usr/share/doc/brenmoor/changelog.gz" | head -1 | grep -q "^brenmoor ($version) " ||
  fail "the changelog's latest entry is not version $version"

# The unpacked program with the unpacked module.
run() { BRENMOOR_MODULE=$module "$program" "$@"; }
info=$(run info) || fail "brenmoor info failed"
grep -qx "module file: $module" <<<"$info" || fail "info shows another module: $info"
grep -qx "installation check: passed" <<<"$info" || fail "the installation check failed: $info"
listing=$(run list -r samples/demo.tar.gz) || fail "brenmoor list -r failed"
grep -q '  demo.tar|demo/poem.txt.bz2|poem.txt$' <<<"$listing" ||
  fail "the listing lacks the nested member: $listing"
run cat samples/demo.tar.gz -m demo/README.txt >"$scratch/readme" || fail "brenmoor cat -m failed"
tar -xzOf samples/demo.tar.gz demo/README.txt | cmp -s - "$scratch/readme" ||
  fail "brenmoor cat -m wrote other bytes than tar -xzO"
run --version | grep -q "^brenmoor $version\$" || fail "--version does not say $version"

# Installed for real, the program finds the module without being told: run
# it in a throw-away root holding the package and the libraries it loads,
# in a mount namespace of its own, so nothing outside the scratch folder
# changes.
if unshare --map-root-user --mount true 2>/dev/null; then
  for binary in "$program" "$module"; do
    ldd "$binary" | grep -o '/[^ ]*' | while read -r library; do
      mkdir -p "$root$(dirname "$library")"
      cp -L "$library" "$root$library"
    done
  done
  mkdir -p "$root/proc" "$root/tmp"
  cp samples/demo.tar.gz "$root/tmp/"
  installed=$(unshare --map-root-user --mount sh -c \
    'mount --rbind /proc "$1/proc" && exec chroot "$1" /usr/bin/brenmoor info' \
    sh "$root") || fail "the installed program failed: $installed"
  grep -qx "module file: $installed_module" <<<"$installed" ||
    fail "the installed program does not load $installed_module: $installed"
  grep -qx "installation check: passed" <<<"$installed" || fail "installed: $installed"
  unshare --map-root-user --mount sh -c \
    'mount --rbind /proc "$1/proc" && exec chroot "$1" /usr/bin/brenmoor cat /tmp/demo.tar.gz -m demo/README.txt' \
    sh "$root" | cmp -s - "$scratch/readme" || fail "the installed program's cat -m differs"
else
  echo "check_package: skipped the installed-place check (no user and mount namespaces here)"
fi

# lintian: no error; warnings and the rest are shown.
lintian_status=0
lintian_output=$(lintian --fail-on error "$deb" 2>&1) || lintian_status=$?
lintian_output=$(grep -v '^running with root privileges' <<<"$lintian_output" || true)
((lintian_status == 0)) || fail "lintian reports errors:
$lintian_output"
[ -z "$lintian_output" ] || echo "$lintian_output"

# The manual page renders without a warning, in groff and in man.
warnings=$(groff -man -ww -z docs/brenmoor.1 2>&1)
[ -z "$warnings" ] || fail "groff warns: $warnings"
warnings=$(MANWIDTH=80 man -l docs/brenmoor.1 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man warns: $warnings"

echo "check_package: $(basename "$deb") passed"
