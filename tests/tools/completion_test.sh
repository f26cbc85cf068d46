#!/usr/bin/env bash
# Sources the bash completion and calls it as bash does on a TAB, with
# COMP_WORDS and COMP_CWORD set for a command line, in a scratch folder.
# Arguments: the brenmoor program, the completion script, the sample
# archive (a TAR inside gzip holding a bzip2 file).
set -euo pipefail
program=$1
completion=$2
sample=$3

scratch=$(mktemp -d /tmp/brenmoor-completion-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
cp "$sample" demo.tar.gz
mkdir folder
touch notes.TXZ notes.txt album.Tar
# Listing under a sanitizer build takes longer than at a prompt.
export BRENMOOR_COMPLETION_TIMEOUT=30

source "$completion"
complete -p brenmoor >/dev/null

failures=0
# expect WANTED WORD...: completes the last WORD, or the one $at names, and
# compares the sorted candidates, one a line, with WANTED.
expect() {
  local wanted=$1
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=${at:-$((${#COMP_WORDS[@]} - 1))}
  COMP_LINE="$*"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _brenmoor
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort)
  if [ "$got" != "$wanted" ]; then
    printf 'completing "%s":\n  got:      %s\n  expected: %s\n' "$*" "${got//$'\n'/ }" \
      "${wanted//$'\n'/ }"
    failures=$((failures + 1))
  fi
}

expect "cat" "$program" ca
expect "$(printf '%s\n' extract index info list mount stat umount unpack cat | LC_ALL=C sort)" \
  "$program" ""
# Members as -m names them: the TAR inside the gzip file is passed through.
expect "$(printf '%s\n' demo/README.txt demo/docs/formats.txt demo/poem.txt.bz2 \
  'demo/poem.txt.bz2|poem.txt')" "$program" cat demo.tar.gz -m de
expect "demo/poem.txt.bz2|poem.txt" "$program" extract demo.tar.gz -C folder -m 'demo/poem.txt.bz2|'
at=3 expect "demo/docs/formats.txt" "$program" stat --member demo/d demo.tar.gz
# Archives by the extensions the module claims, in any case, and folders.
expect "$(printf '%s\n' album.Tar demo.tar.gz folder notes.TXZ)" "$program" list ""
expect "$(printf '%s\n' demo.tar.gz folder notes.TXZ)" "$program" unpack ""
expect "folder" "$program" extract demo.tar.gz -C ""
expect "$(printf '%s\n' --directory)" "$program" extract demo.tar.gz --di
expect "$(printf '%s\n' --json)" "$program" list --j

if ((failures > 0)); then
  echo "$failures completions differ"
  exit 1
fi
