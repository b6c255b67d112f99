#include "run_control/native_options.h"

const char* const kNativeOptionsHelp[] = {
    "",
    "Options (before the switches):",
    "  --hive FILE   the offline Windows SOFTWARE hive to list, or to clean",
    "  --root DIR    the folder where the Windows drive C: is mounted, for /CLEAN",
    "  --            ends the options",
    "  --help        shows this text; --version shows the first line",
};
const std::size_t kNativeOptionsHelpLines = sizeof kNativeOptionsHelp / sizeof *kNativeOptionsHelp;

NativeOptions ParseNativeOptions(const std::vector<std::string>& arguments) {
  NativeOptions options;
  std::size_t i = 0;
  for (; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--") {
      ++i;
      break;
    }
    if (argument == "--help") {
      options.help = true;
      continue;
    }
    if (argument == "--version") {
      options.version = true;
      continue;
    }
    bool* given = nullptr;
    std::string* value = nullptr;
    std::string name;
    for (const char* option : {"--hive", "--root"}) {
      std::string text = option;
      if (argument == text || argument.rfind(text + "=", 0) == 0) name = text;
    }
    if (name.empty()) break;  // the switches and operands start here
    given = name == "--hive" ? &options.has_hive : &options.has_root;
    value = name == "--hive" ? &options.hive : &options.root;
    if (argument.size() > name.size()) {
      *value = argument.substr(name.size() + 1);
    } else if (i + 1 < arguments.size()) {
      *value = arguments[++i];
    } else {
      options.error_line = "Error: Option " + name + " needs a value";
      return options;
    }
    *given = true;
  }
  options.arguments.assign(arguments.begin() + static_cast<std::ptrdiff_t>(i), arguments.end());
  return options;
}
