// The command line of `brenmoor`: one command, its paths and options.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

enum class command_id { none, info, list, stat, cat, unpack, extract, mount, umount };

struct arguments {
  command_id command = command_id::none;
  bool help = false;
  bool version = false;  // --version
  bool quiet = false;
  bool json = false;        // list --json
  bool recursive = false;   // list -r, mount -r
  bool foreground = false;  // mount -f
  std::string module;       // --module; empty: BRENMOOR_MODULE or the default
  bool has_output = false;
  std::string output;     // unpack -o
  std::string directory;  // extract -C; empty: the current folder
  // cat, stat, extract -m: names of members in the archives named by
  // `paths`; empty when the paths name files and members themselves.
  std::vector<std::string> members;
  std::vector<std::string> paths;
};

// A command line that cannot be followed; the message says why.
class usage_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses argv[1..]. Options may come before or after the command and the
// paths; "--" ends the options. A value goes in the next argument or after
// "=" (long options) or directly after a short option ("-oOUT"). Throws
// usage_error for an unknown command or option, an option of another
// command, a missing value, or a wrong number of paths. With --help only
// the command is looked at; with --version nothing else is.
arguments parse_arguments(int argc, char** argv);

// The help text: the program's when `command` is none, else the command's.
std::string help_text(command_id command);
