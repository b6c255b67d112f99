#include "run_control/run_control.h"

#include <cstdio>
#include <exception>
#include <new>

#include "count_report/ansi_lower_case.h"
#include "count_report/listing_pass.h"
#include "run_control/console.h"
#include "run_control/failure.h"
#include "run_control/standard_output.h"
#include "shared_dll_key/shared_dll_key.h"

namespace {

constexpr const char* kOpenErrorLine =
    "Error: Could not open key HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

constexpr std::size_t kModuleNameLimit = 63;

bool IsSwitch(const std::string& argument) {
  std::string lower = LowerCaseAnsi(argument);
  return lower == "/clean" || lower == "/all";
}

std::string FileNameWithoutFolder(const std::string& path) {
  std::size_t slash = path.find_last_of("\\/:");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Everything up to the release at the end; failures propagate to the caller.
int RunSteps(const std::vector<std::string>& arguments, const RunSeams& seams,
             StandardOutput& output, bool* key_open, std::vector<std::string>* ValueNames) {
  if (arguments.empty()) {
    for (const char* line : kUsageScreen) output.Write(std::string(line) + "\r\n");
    return 1;
  }
  RunFlags flags = ScanSwitches(arguments);
  if (!seams.key->OpenSharedDllKey(flags.CleanUp)) {
    output.Write(std::string(kOpenErrorLine) + "\r\n");
    return 1;
  }
  *key_open = true;
  seams.key->SnapshotValueNames(ValueNames);

  ListingRun run{seams.key, seams.files, &output, ValueNames, flags.ShowAll, flags.CleanUp};
  std::size_t passes = arguments.size() + (flags.ShowAll ? 1 : 0);
  for (std::size_t p = 0; p < passes; ++p) {
    std::string operand = p < arguments.size() ? arguments[p] : std::string();
    if (IsSwitch(operand)) continue;
    RunListingPass(operand, run);
  }
  return 0;
}

// Failures that have no raise site of their own are placed at the run.
std::uint32_t RunStepsAddress() {
  return ImageRelativeAddress(reinterpret_cast<const void*>(&RunSteps));
}

void Release(const RunSeams& seams, bool* key_open, std::vector<std::string>* ValueNames) {
  std::vector<std::string>().swap(*ValueNames);
  if (*key_open) seams.key->CloseSharedDllKey();
  *key_open = false;
}

// Writes the report after the release; a report that cannot be written
// still ends the run with exit code 1.
int ReportFailure(const Failure& failure, const RunSeams& seams, StandardOutput& output) {
  try {
    std::string text = FailureReportText(failure.type_name, seams.console->ProgramFileName(),
                                         failure.address, failure.message);
    output.Write(text + "\r\n");
  } catch (...) {
  }
  return 1;
}

}  // namespace

const char* const kUsageScreen[kUsageScreenLines] = {
    "Dlltally v1.0 Lists and cleans shared DLL reference counts",
    "",
    "Syntax: DLLTALLY.EXE [/CLEAN] {/ALL | <filename> ...}",
    "",
    "Use:    Returns the system reference count of <filename>.",
    "        This is stored in the registry in",
    "        HKML\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs.",
    "        /CLEAN also removes all zero reference counts",
    "        while /ALL displays all values.",
};

RunFlags ScanSwitches(const std::vector<std::string>& arguments) {
  RunFlags flags;
  for (const std::string& argument : arguments) {
    std::string lower = LowerCaseAnsi(argument);
    if (lower == "/clean") flags.CleanUp = true;
    if (lower == "/all") flags.ShowAll = true;
  }
  return flags;
}

std::string FailureReportText(const std::string& type_name, const std::string& program_file,
                              std::uint32_t address, const std::string& message) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(address));
  std::string text = "Exception " + type_name + " in module " +
                     FileNameWithoutFolder(program_file).substr(0, kModuleNameLimit) + " at " +
                     hex + ".\n" + message;
  if (!message.empty() && message.back() != '.') text += '.';
  return text;
}

int RunControl(const std::vector<std::string>& arguments, const RunSeams& seams) {
  StandardOutput output(seams.console, seams.output_buffer_size);
  bool key_open = false;
  std::vector<std::string> ValueNames;
  int exit_code = 1;
  try {
    try {
      exit_code = RunSteps(arguments, seams, output, &key_open, &ValueNames);
      Release(seams, &key_open, &ValueNames);
    } catch (const std::bad_alloc&) {
      Release(seams, &key_open, &ValueNames);
      exit_code = ReportFailure(Failure{"EOutOfMemory", "Out of memory", RunStepsAddress()},
                                seams, output);
    } catch (const std::exception& error) {
      // No part of the run throws these on purpose; report one rather than
      // let it end the process without a word.
      Release(seams, &key_open, &ValueNames);
      exit_code = ReportFailure(Failure{"Exception", error.what(), RunStepsAddress()}, seams,
                                output);
    }
  } catch (const Failure& failure) {
    Release(seams, &key_open, &ValueNames);
    exit_code = ReportFailure(failure, seams, output);
  }
  if (!output.WriteRemainder()) exit_code = 1;
  return exit_code;
}
