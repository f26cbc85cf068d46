# Bash completion for brenmoor: commands, their options, archive files
# where an archive is expected, and the members of an archive after -m.
# Installed as /usr/share/bash-completion/completions/brenmoor; source it
# to use it from a checkout. Needs nothing from the bash-completion package.
#
# Members come from `brenmoor list -r`, run for at most 0.2 s per archive
# ($BRENMOOR_COMPLETION_TIMEOUT seconds when set) so that a large archive
# never holds up the prompt: an archive that takes longer to list offers no
# members.

# The extensions the module claims: every archive type, and the compressed
# ones, whose one member is passed through when it is an archive itself.
_brenmoor_compressed_extensions=" gz tgz taz bz2 tbz tbz2 tb2 xz txz zst tzst "
_brenmoor_archive_extensions=" tar${_brenmoor_compressed_extensions}"

# _brenmoor_has_extension NAME LIST: whether NAME's extension (any case) is
# in LIST.
_brenmoor_has_extension() {
  local name=${1##*/}
  [[ $name == *.* ]] || return 1
  local extension=${name##*.}
  [[ $2 == *" ${extension,,} "* ]]
}

# _brenmoor_dequote WORD: WORD as the shell would pass it, for the common
# forms: surrounding quotes, backslash escapes and a leading "~/".
_brenmoor_dequote() {
  local word=$1
  case $word in
    \'*) word=${word#\'}; word=${word%\'} ;;
    \"*) word=${word#\"}; word=${word%\"} ;;
    *) word=$(printf '%s' "$word" | sed 's/\\\(.\)/\1/g') ;;
  esac
  if [[ $word == "~/"* ]]; then word=$HOME/${word#"~/"}; fi
  printf '%s\n' "$word"
}

# _brenmoor_files KIND CUR: files and folders for CUR; KIND is "any",
# "archive" (the module's extensions), "compressed", "module" (.dll) or
# "folder" (folders only).
_brenmoor_files() {
  local kind=$1 cur=$2 file list=""
  compopt -o filenames 2>/dev/null || :
  local IFS=$'\n'
  case $kind in
    folder) COMPREPLY+=($(compgen -d -- "$cur")); return ;;
    archive) list=$_brenmoor_archive_extensions ;;
    compressed) list=$_brenmoor_compressed_extensions ;;
    module) list=" dll " ;;
  esac
  for file in $(compgen -f -- "$cur"); do
    if [[ $kind == any || -d $file ]] || _brenmoor_has_extension "$file" "$list"; then
      COMPREPLY+=("$file")
    fi
  done
}

# _brenmoor_member_name ARCHIVE LISTED: the name -m takes for a member that
# `list -r ARCHIVE` prints as LISTED; nothing when -m cannot name it (the
# TAR inside a compressed file, which the compressed file stands for).
_brenmoor_member_name() {
  local outer=$1 name=${2//\\\\/\\} out="" i
  local -a levels
  IFS='|' read -r -a levels <<<"$name"
  for ((i = 0; i < ${#levels[@]}; ++i)); do
    if _brenmoor_has_extension "$outer" "$_brenmoor_compressed_extensions" &&
      _brenmoor_has_extension "${levels[i]}" "$_brenmoor_archive_extensions"; then
      ((i == ${#levels[@]} - 1)) && return 1
    else
      out+=${out:+|}${levels[i]}
    fi
    outer=${levels[i]}
  done
  printf '%s\n' "$out"
}

# _brenmoor_members PROGRAM CUR ARCHIVE...: the members of the archives
# whose -m names start with CUR.
_brenmoor_members() {
  local program=$1 cur=$2 archive listing line name
  shift 2
  command -v timeout >/dev/null || return 0
  compopt -o filenames 2>/dev/null || : # quotes "|", spaces and the like
  cur=$(_brenmoor_dequote "$cur")
  for archive; do
    archive=$(_brenmoor_dequote "$archive")
    listing=$(timeout "${BRENMOOR_COMPLETION_TIMEOUT:-0.2}" "$program" list -r -q -- "$archive" 2>/dev/null)
    (($? == 124)) && continue
    while IFS= read -r line; do
      # After the 12-column size, two spaces, the 20-column time and two
      # spaces.
      name=$(_brenmoor_member_name "$archive" "${line:36}") || continue
      if [[ -n $name && $name == "$cur"* ]]; then COMPREPLY+=("$name"); fi
    done <<<"$listing"
  done
  return 0
}

_brenmoor() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=""
  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
  local program
  program=$(_brenmoor_dequote "${COMP_WORDS[0]}")
  COMPREPLY=()

  # The command (before the cursor) and the paths (on either side of it);
  # option values skipped.
  local command="" word i has_members=""
  local -a paths=()
  for ((i = 1; i < ${#COMP_WORDS[@]}; ++i)); do
    ((i == COMP_CWORD)) && continue
    word=${COMP_WORDS[i]}
    case $word in
      --module | -o | --output | -C | --directory) ((++i)) ;;
      -m | --member) has_members=1; ((++i)) ;;
      -m?* | --member=*) has_members=1 ;;
      -*) ;;
      *)
        if [[ -z $command ]]; then
          ((i < COMP_CWORD)) && command=$word
        else
          paths+=("$word")
        fi
        ;;
    esac
  done

  case $prev in
    --module) _brenmoor_files module "$cur"; return 0 ;;
    -o | --output) _brenmoor_files any "$cur"; return 0 ;;
    -C | --directory) _brenmoor_files folder "$cur"; return 0 ;;
    -m | --member) _brenmoor_members "$program" "$cur" "${paths[@]}"; return 0 ;;
  esac

  local options="--module --quiet --help --version"
  case $command in
    list) options+=" --json --recursive" ;;
    cat | stat) options+=" --member" ;;
    unpack) options+=" --output" ;;
    extract) options+=" --directory --member" ;;
    mount) options+=" --recursive --foreground" ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
    return 0
  fi

  case $command in
    "") COMPREPLY=($(compgen -W "info list stat cat unpack extract mount umount" -- "$cur")) ;;
    list | extract) _brenmoor_files archive "$cur" ;;
    cat | stat)
      if [[ -n $has_members ]]; then _brenmoor_files archive "$cur"; else _brenmoor_files any "$cur"; fi
      ;;
    unpack) _brenmoor_files compressed "$cur" ;;
    mount)
      if ((${#paths[@]} == 0)); then
        _brenmoor_files archive "$cur"
      else
        _brenmoor_files folder "$cur"
      fi
      ;;
    umount) _brenmoor_files folder "$cur" ;;
  esac
  return 0
}

complete -F _brenmoor brenmoor
