#ifndef DLLTALLY_RUN_CONTROL_NATIVE_OPTIONS_H_
#define DLLTALLY_RUN_CONTROL_NATIVE_OPTIONS_H_

#include <string>
#include <vector>

// The options that lead the native command line, before the switches and
// operands: --hive FILE, --root DIR (also --hive=FILE, --root=DIR), --help,
// --version, and -- to end them.
struct NativeOptions {
  bool has_hive = false;
  std::string hive;
  bool has_root = false;
  std::string root;
  bool help = false;
  bool version = false;
  std::vector<std::string> arguments;  // the rest, for the switch scan
  std::string error_line;              // "Error: ..." for an option missing its value
};

// Options end at the first argument that is none of them, or after "--".
// Given twice, the later one counts.
NativeOptions ParseNativeOptions(const std::vector<std::string>& arguments);

// The lines that --help prints after the usage screen.
extern const char* const kNativeOptionsHelp[];
extern const std::size_t kNativeOptionsHelpLines;

#endif  // DLLTALLY_RUN_CONTROL_NATIVE_OPTIONS_H_
