#include "tools/arguments.h"

#include <cstring>
#include <string_view>

namespace {

struct command_name {
  const char* name;
  command_id id;
};
constexpr command_name commands[] = {
    {"info", command_id::info},   {"list", command_id::list},     {"stat", command_id::stat},
    {"cat", command_id::cat},     {"unpack", command_id::unpack}, {"extract", command_id::extract},
    {"mount", command_id::mount}, {"umount", command_id::umount},
};

const char* name_of(command_id id) {
  for (const command_name& c : commands) {
    if (c.id == id) return c.name;
  }
  return "brenmoor";
}

// Reads the value of an option that takes one: "-oOUT", "--output=OUT", or
// the next argument.
std::string take_value(std::string_view arg, size_t name_length, int& i, int argc, char** argv) {
  if (arg.size() > name_length) {
    size_t skip = arg[name_length] == '=' ? name_length + 1 : name_length;
    return std::string(arg.substr(skip));
  }
  if (i + 1 >= argc) throw usage_error("option " + std::string(arg) + " needs a value");
  return argv[++i];
}

bool is_long(std::string_view arg, std::string_view name) {
  return arg == name || (arg.size() > name.size() && arg.substr(0, name.size()) == name &&
                         arg[name.size()] == '=');
}

// An option that only some commands take.
struct pending_option {
  std::vector<command_id> commands;
  std::string option;
};

void require_command(const arguments& a, const pending_option& p) {
  for (command_id c : p.commands) {
    if (a.command == c) return;
  }
  std::string commands;
  for (size_t i = 0; i < p.commands.size(); ++i) {
    if (i > 0) commands += i + 1 == p.commands.size() ? " and " : ", ";
    commands += std::string("'") + name_of(p.commands[i]) + "'";
  }
  throw usage_error("option " + p.option + " applies only to " + commands);
}

void check_path_count(const arguments& a) {
  size_t n = a.paths.size();
  switch (a.command) {
    case command_id::none: throw usage_error("no command given");
    case command_id::info:
      if (n != 0) throw usage_error("'info' takes no paths");
      break;
    case command_id::unpack:
      if (n != 1) throw usage_error("'unpack' takes exactly one file");
      break;
    case command_id::mount:
      if (n != 2) throw usage_error("'mount' takes an archive and a mount point");
      break;
    case command_id::umount:
      if (n != 1) throw usage_error("'umount' takes exactly one mount point");
      break;
    default:
      if (n == 0 && !a.members.empty())
        throw usage_error(std::string("'") + name_of(a.command) + "' needs an archive");
      if (n == 0) throw usage_error(std::string("'") + name_of(a.command) + "' needs a path");
  }
}

}  // namespace

arguments parse_arguments(int argc, char** argv) {
  arguments a;
  bool options_done = false;
  // Command options may precede the command name; they are checked once it
  // is known.
  std::vector<pending_option> pending;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      if (a.command == command_id::none && !options_done) {
        for (const command_name& c : commands) {
          if (arg == c.name) a.command = c.id;
        }
        if (a.command == command_id::none) {
          throw usage_error("unknown command '" + std::string(arg) + "'");
        }
      } else {
        if (a.command == command_id::none) throw usage_error("no command given");
        a.paths.emplace_back(arg);
      }
      continue;
    }
    if (arg == "--") {
      options_done = true;
    } else if (arg == "-h" || arg == "--help") {
      a.help = true;
    } else if (arg == "--version") {
      a.version = true;
    } else if (arg == "-q" || arg == "--quiet") {
      a.quiet = true;
    } else if (is_long(arg, "--module")) {
      a.module = take_value(arg, std::strlen("--module"), i, argc, argv);
      if (a.module.empty()) throw usage_error("option --module needs a value");
    } else if (arg == "--json") {
      a.json = true;
      pending.push_back({{command_id::list}, std::string(arg)});
    } else if (arg == "-r" || arg == "--recursive") {
      a.recursive = true;
      pending.push_back({{command_id::list, command_id::mount}, std::string(arg)});
    } else if (arg == "-f" || arg == "--foreground") {
      a.foreground = true;
      pending.push_back({{command_id::mount}, std::string(arg)});
    } else if (arg.substr(0, 2) == "-o" || is_long(arg, "--output")) {
      size_t name_length = arg[1] == 'o' ? 2 : std::strlen("--output");
      a.output = take_value(arg, name_length, i, argc, argv);
      a.has_output = true;
      if (a.output.empty()) throw usage_error("option -o needs a file name");
      pending.push_back({{command_id::unpack}, "-o"});
    } else if (arg.substr(0, 2) == "-C" || is_long(arg, "--directory")) {
      size_t name_length = arg[1] == 'C' ? 2 : std::strlen("--directory");
      a.directory = take_value(arg, name_length, i, argc, argv);
      if (a.directory.empty()) throw usage_error("option -C needs a folder");
      pending.push_back({{command_id::extract}, "-C"});
    } else if (arg.substr(0, 2) == "-m" || is_long(arg, "--member")) {
      size_t name_length = arg[1] == 'm' ? 2 : std::strlen("--member");
      std::string name = take_value(arg, name_length, i, argc, argv);
      if (name.empty()) throw usage_error("option -m needs a member name");
      a.members.push_back(std::move(name));
      pending.push_back({{command_id::cat, command_id::stat, command_id::extract}, "-m"});
    } else {
      throw usage_error("unknown option '" + std::string(arg) + "'");
    }
  }
  if (a.help || a.version) return a;
  for (const pending_option& p : pending) require_command(a, p);
  check_path_count(a);
  return a;
}

namespace {

// The -m option, as cat, stat and extract take it.
constexpr const char* member_option_help =
    R"(  -m, --member NAME  a member of the ARCHIVEs (repeatable): its name in its
                  archive or a shell pattern ('docs/*', '*.txt'; '*' matches
                  '/' too), selecting what lies below a folder it names; a
                  member of a nested archive as 'list -r' names it, the levels
                  joined with '|' ('docs/a.tar.bz2|notes.txt'). A compressed
                  TAR (a.tar.gz) stands for the TAR inside it. A NAME that
                  selects nothing is an error: 'brenmoor: NAME: Not found in
                  archive'.
)";

}  // namespace

std::string help_text(command_id command) {
  switch (command) {
    case command_id::none:
      return R"(Usage: brenmoor COMMAND [OPTION]... [PATH]...
Reads members of the archives that the Brenmoor module understands (TAR, gzip,
bzip2, xz, zstd), through the module file, as a media-player host would.

Commands:
  info                          the module's identity and registered services
  list [--json] [-r] ARCHIVE... one line per member: size, time, name
  stat PATH...                  size and time stamp of a file or member
  cat PATH...                   writes files or members to standard output
  unpack FILE [-o OUT]          decompresses FILE with the module's unpackers
  extract ARCHIVE... [-C DIR]   writes every member under DIR
  cat|stat|extract ARCHIVE... -m NAME...
                                the same for the members NAME selects, as tar
                                names them: cat a.tar.gz -m docs/readme.txt
  mount ARCHIVE DIR [-r] [-f]   shows the archive as a read-only folder at DIR
  umount DIR                    unmounts what 'mount' mounted at DIR

A PATH is a local file or a member path:
  unpack://TYPE|LENGTH|ARCHIVE PATH|MEMBER
where LENGTH is the byte length of ARCHIVE PATH, which may itself be a member
path (for nested archives). 'brenmoor list --json' prints each member's path.

Options:
  -m, --member NAME  (cat, stat, extract) a member of the ARCHIVEs: its name,
                  or a shell pattern ('docs/*'); nested levels joined with '|'
  --module PATH   the module file (else $BRENMOOR_MODULE, else the brenmoor.dll
                  beside this program, else the installed one)
  -q, --quiet     no progress line
  -h, --help      this text; 'brenmoor COMMAND --help' explains a command
  --version       the versions of the program, the module and their libraries

Exit status: 0 success, 1 an error (reported as 'brenmoor: PATH: MESSAGE'),
2 a usage error, 3 members refused by 'extract' (and no other error),
130 interrupted (Ctrl-C), 143 stopped by SIGTERM, 129 by SIGHUP.
'man brenmoor' and docs/cli.md tell more.
)";
    case command_id::info:
      return R"(Usage: brenmoor info
Prints the module's display name, version and description, the module file's
path and name, the installation check's answer, and the registered services
in the order the host enumerates them (kind and type).
)";
    case command_id::list:
      return R"(Usage: brenmoor list [--json] [-r] ARCHIVE...
Lists the members of each ARCHIVE with the archive service whose type name is
the path's extension (tar, gz, bz2, xz, zst; any letter case), or by the
service that claims a short extension of a compressed TAR (tgz, taz, tbz,
tbz2, tb2, txz, tzst), whose one member is the TAR inside.

Human output: size, modification time (UTC, ISO 8601) and name, one member a
line. In names, control characters are written as C escapes (\n, \t, \033) and
a backslash as \\.

  --json          one JSON object a line:
                    {"path": MEMBER PATH, "member": NAME, "size": BYTES,
                     "timestamp": RAW}
                  RAW is the host's time stamp: 100-nanosecond intervals since
                  1601-01-01 UTC. Strings are JSON with '"', '\' and control
                  characters escaped. Names are arbitrary bytes: each byte that
                  is not part of valid UTF-8 is written as \udcXX (XX: the byte
                  in hex), a lone surrogate that decoders such as Python's
                  json.loads accept and that the "surrogateescape" error
                  handler turns back into the original byte.
  -r, --recursive also list inside every member whose extension names a
                  registered archive type, to any depth; nested members show
                  their names joined by '|' (a.tar|docs/readme.txt).
)";
    case command_id::stat:
      return R"(Usage: brenmoor stat PATH...
       brenmoor stat ARCHIVE... -m NAME...
Prints the size and time stamp of each PATH (a local file or a member path)
as the filesystem that owns it reports them; with -m, of each member of the
ARCHIVEs that a NAME selects, as their listing reports them.

)" + std::string(member_option_help);
    case command_id::cat:
      return R"(Usage: brenmoor cat PATH...
       brenmoor cat ARCHIVE... -m NAME...
Writes the bytes of each PATH (a local file or a member path) to standard
output. A PATH that fails is reported and the others are still written.
With -m, writes the members of the ARCHIVEs that a NAME selects, in the
order the archives hold them (as 'tar -xOf ARCHIVE NAME...' does).

)" + std::string(member_option_help);
    case command_id::unpack:
      return R"(Usage: brenmoor unpack FILE [-o OUT]
Opens FILE (a local file or a member path) and hands it to the module's
unpackers: the one for FILE's extension (.gz, .bz2, .xz, .zst and the short
forms) first, then each other in turn. Writes the result to OUT, or to standard output.

  -o, --output OUT  the file to write; it appears only when unpacking succeeded
)";
    case command_id::extract:
      return R"(Usage: brenmoor extract ARCHIVE... [-C DIR] [-m NAME]...
Writes every member of each ARCHIVE under DIR (default: the current folder),
creating folders as needed; with -m, only the members a NAME selects (as
'tar -xf ARCHIVE NAME...' does). Never writes outside DIR: members with
absolute names, with '..' segments, or whose path leads out of DIR through a
symbolic link are refused with a message naming them, and the others are
still extracted (exit status 3). A member named twice: the later one wins. A
name ending in '/' makes a folder.

  -C, --directory DIR  the folder to write into; it must exist
)" + std::string(member_option_help);
    case command_id::mount:
      return R"(Usage: brenmoor mount ARCHIVE DIR [-r] [-f]
Shows the members of ARCHIVE (a local file or a member path) as a read-only
folder tree at DIR (FUSE), which any program can read. Folders come from the
'/' in member names; files have the member's size and the archive's time
stamp. A '%' before two hex digits is written as %25, so that %XX in a shown
name always stands for the byte XX. A name that would lead outside DIR
(absolute, or with a '..' segment) shows as one file in the archive's top
folder, named with '/' written as %2F. A name listed twice shows its first
member.

Reads are served from each member's content as the module opens it; a member
that fails gives the reading program an error (EIO for corrupt data), logged
once on standard error. Detaches once mounted unless -f is given.

  -r, --recursive   shows each member that is itself an archive the module
                    reads as a folder of its members, listed on first entry
  -f, --foreground  stays in the foreground; Ctrl-C or SIGTERM unmounts
)";
    case command_id::umount:
      return R"(Usage: brenmoor umount DIR
Unmounts the archive that 'brenmoor mount' shows at DIR (as fusermount3 -u
does); the program serving it then ends.
)";
  }
  return "";
}
