#ifndef DLLTALLY_RUN_CONTROL_RUN_CONTROL_H_
#define DLLTALLY_RUN_CONTROL_RUN_CONTROL_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class Console;
class FileTest;
class SharedDllKey;

// The system around one run. The key is made but not yet opened.
struct RunSeams {
  SharedDllKey* key;
  FileTest* files;
  Console* console;
  std::size_t output_buffer_size;  // 128 on Windows
};

// The whole run: usage screen, switch scan, open, snapshot, one listing pass
// per argument (plus one for /ALL), release. Every failure is reported on
// standard output. Returns the exit code: 0 after a completed run whose
// output was all written, 1 otherwise.
int RunControl(const std::vector<std::string>& arguments, const RunSeams& seams);

// The usage screen, a line each, without line ends.
inline constexpr std::size_t kUsageScreenLines = 9;
extern const char* const kUsageScreen[kUsageScreenLines];

// The two switches, in any letter case: /CLEAN and /ALL.
struct RunFlags {
  bool ShowAll = false;
  bool CleanUp = false;
};
RunFlags ScanSwitches(const std::vector<std::string>& arguments);

// The failure report's text, without its line end.
std::string FailureReportText(const std::string& type_name, const std::string& program_file,
                              std::uint32_t address, const std::string& message);

inline constexpr std::size_t kWindowsOutputBuffer = 128;

#endif  // DLLTALLY_RUN_CONTROL_RUN_CONTROL_H_
