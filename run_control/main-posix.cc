#include <malloc.h>

#include <memory>
#include <string>
#include <vector>

#include "count_report/file_test.h"
#include "count_report/mounted_file_test.h"
#include "run_control/console.h"
#include "run_control/native_options.h"
#include "run_control/run_control.h"
#include "run_control/standard_output.h"
#include "shared_dll_key/hive_key.h"

namespace {

// Large writes to files and pipes; a terminal still gets every statement.
constexpr std::size_t kNativeOutputBuffer = 64 * 1024;

constexpr const char* kNoRegistryLine =
    "Error: No registry on this system; name a hive file with --hive FILE";
constexpr const char* kCleanNeedsRootLine = "Error: /CLEAN on a hive needs --root DIR";

// Writes whole lines to standard output; false when they could not be written.
bool WriteLines(Console& console, const std::vector<std::string>& lines) {
  StandardOutput output(&console, kNativeOutputBuffer);
  try {
    for (const std::string& line : lines) output.Write(line + "\r\n");
  } catch (...) {
    return false;
  }
  return output.WriteRemainder();
}

int ErrorExit(Console& console, const std::string& line) {
  WriteLines(console, {line});
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  // Blocks of 64 KiB and more come straight from the system and go back to
  // it. Freeing such a block from the heap makes glibc first merge every
  // small block freed before it: at the end of a large listing, the 100,000
  // names of the snapshot, at a cost of a sixth of the whole run.
  mallopt(M_MMAP_THRESHOLD, 64 * 1024);
  std::unique_ptr<Console> console = MakeSystemConsole();
  NativeOptions options = ParseNativeOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!options.error_line.empty()) return ErrorExit(*console, options.error_line);
  if (options.help || options.version) {
    std::vector<std::string> lines(kUsageScreen, kUsageScreen + kUsageScreenLines);
    if (options.help) {
      lines.insert(lines.end(), kNativeOptionsHelp, kNativeOptionsHelp + kNativeOptionsHelpLines);
    } else {
      lines.resize(1);
    }
    return WriteLines(*console, lines) ? 0 : 1;
  }

  std::unique_ptr<FileTest> files = MakeSystemFileTest();
  if (options.arguments.empty()) {
    return RunControl({}, {nullptr, files.get(), console.get(), kNativeOutputBuffer});
  }
  if (!options.has_hive) return ErrorExit(*console, kNoRegistryLine);
  bool cleaning = ScanSwitches(options.arguments).CleanUp;
  if (cleaning) {
    if (!options.has_root) return ErrorExit(*console, kCleanNeedsRootLine);
    std::string failure;
    files = MakeMountedVolumeFileTest(options.root, &failure);
    if (!files) {
      return ErrorExit(*console, "Error: Could not use root " + options.root + ": " + failure);
    }
  }

  std::string save_error_line;
  HiveOpening hive = OpenHiveKey(options.hive, cleaning, &save_error_line);
  if (!hive.key) return ErrorExit(*console, hive.error_line);
  int exit_code = RunControl(options.arguments,
                             {hive.key.get(), files.get(), console.get(), kNativeOutputBuffer});
  hive.key.reset();  // closed by the run already; this releases the lock
  if (!save_error_line.empty()) {
    ErrorExit(*console, save_error_line);
    exit_code = 1;
  }
  return exit_code;
}
