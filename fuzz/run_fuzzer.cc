// Fuzzes a whole run over a damaged key: any number of values of any
// registry type with any data and any name (long, empty, repeated), any file
// answers, any switches and operands, and a write-out that may fail.
//
// Properties: the run ends with exit code 0 or 1 and the key closed; no value
// whose file is present or cannot be checked is ever deleted, and nothing is
// deleted without /CLEAN; a run that ends with 0 printed whole rows, one per
// value and pass under /ALL, each beginning with the padded name of a value,
// and " Deleted" only on rows of values whose files are absent; a run that
// ends with 1 and whose output could be written ends with the failure report.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "count_report/file_test.h"
#include "fuzz/fuzz_check.h"
#include "run_control/run_control.h"
#include "shared_dll_key/memory_key.h"
#include "tests/fakes.h"

namespace {

constexpr FilePresence kPresences[] = {FilePresence::kPresent, FilePresence::kAbsent,
                                       FilePresence::kCannotTell};

std::string FlipAsciiCase(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    } else if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return text;
}

std::vector<std::string> Lines(const std::string& output) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = output.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(output.substr(start, end - start));
  }
  if (start < output.size()) lines.push_back(output.substr(start));
  return lines;
}

// The row's padded name field and separator, as every row of the name begins.
std::string RowStart(const std::string& name) {
  return name + std::string(name.size() < 60 ? 60 - name.size() : 0, ' ') + ' ';
}

std::string AsciiLower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  MemoryKey key;
  FakeFileTest files;
  FakeConsole console;
  console.character_device = provider.ConsumeBool();
  int failing_write = provider.ConsumeIntegralInRange<int>(0, 40);  // 0: none fails
  if (failing_write > 0) console.fail_writes.insert(failing_write);

  std::size_t value_count = provider.ConsumeIntegralInRange<std::size_t>(0, 16);
  for (std::size_t i = 0; i < value_count; ++i) {
    std::string name = provider.ConsumeRandomLengthString(300);
    if (provider.ConsumeBool()) name = std::string(provider.ConsumeIntegralInRange(0, 4200), 'n');
    std::uint32_t type = provider.ConsumeIntegralInRange<std::uint32_t>(0, 8);
    std::string stored = provider.ConsumeRandomLengthString(16);
    files.answers[name] = provider.PickValueInArray(kPresences);
    key.Add(name, type, stored);
  }

  std::vector<std::string> arguments;
  std::size_t argument_count = provider.ConsumeIntegralInRange<std::size_t>(1, 5);
  for (std::size_t i = 0; i < argument_count; ++i) {
    switch (provider.ConsumeIntegralInRange(0, 3)) {
      case 0:
        arguments.push_back(provider.ConsumeBool() ? "/CLEAN" : "/clean");
        break;
      case 1:
        arguments.push_back(provider.ConsumeBool() ? "/ALL" : "/All");
        break;
      case 2:
        if (!key.values.empty()) {
          const std::string& name =
              key.values[provider.ConsumeIntegralInRange<std::size_t>(0, key.values.size() - 1)]
                  .name;
          arguments.push_back(provider.ConsumeBool() ? FlipAsciiCase(name) : name);
          break;
        }
        [[fallthrough]];
      default:
        arguments.push_back(provider.ConsumeRandomLengthString(64));
    }
  }
  bool clean = false, show_all = false;
  std::size_t operands = 0;
  for (const std::string& argument : arguments) {
    std::string lower = AsciiLower(argument);
    if (lower == "/clean") {
      clean = true;
    } else if (lower == "/all") {
      show_all = true;
    } else {
      ++operands;
    }
  }

  std::vector<MemoryKey::Value> before = key.values;
  int exit_code = RunControl(arguments, {&key, &files, &console, kWindowsOutputBuffer});

  FUZZ_CHECK(exit_code == 0 || exit_code == 1);
  FUZZ_CHECK(!key.open);

  // Nothing is deleted but values whose files are absent, and only by /CLEAN.
  auto count_of = [](const std::vector<MemoryKey::Value>& values, const std::string& name) {
    return std::count_if(values.begin(), values.end(),
                         [&](const MemoryKey::Value& value) { return value.name == name; });
  };
  for (const MemoryKey::Value& value : before) {
    bool may_go = clean && files.answers[value.name] == FilePresence::kAbsent;
    if (!may_go) FUZZ_CHECK(count_of(key.values, value.name) == count_of(before, value.name));
  }

  std::string output = MaskReportAddress(console.written);
  bool write_failed = console.writes.end() !=
                      std::find(console.writes.begin(), console.writes.end(), "<failed>");
  if (exit_code == 0) {
    FUZZ_CHECK(!write_failed);
    FUZZ_CHECK(output.empty() || output.ends_with("\r\n"));
    // Rows are told apart by their line ends, unless a name holds one.
    bool names_hold_line_ends = std::any_of(before.begin(), before.end(), [](const auto& value) {
      return value.name.find("\r\n") != std::string::npos;
    });
    if (names_hold_line_ends) return 0;
    std::vector<std::string> lines = Lines(output);
    if (show_all) FUZZ_CHECK(lines.size() == (operands + 1) * before.size());
    for (const std::string& line : lines) {
      // One value's padded name can begin another's row, so look at all.
      bool row_of_value = false, row_of_absent_file = false;
      for (const MemoryKey::Value& value : before) {
        if (line.compare(0, RowStart(value.name).size(), RowStart(value.name)) != 0) continue;
        row_of_value = true;
        if (files.answers[value.name] == FilePresence::kAbsent) row_of_absent_file = true;
      }
      FUZZ_CHECK(row_of_value);
      if (line.ends_with(" Deleted")) FUZZ_CHECK(clean && row_of_absent_file);
    }
  } else if (!write_failed) {
    // Nothing kept the report from being written: it ends the output (rows
    // end in ")" or " Deleted", never in a full stop).
    FUZZ_CHECK(output.find("Exception E") != std::string::npos);
    FUZZ_CHECK(output.find(" in module dlltally.exe at @ADDRESS@.\n") != std::string::npos);
    FUZZ_CHECK(output.ends_with(".\r\n"));
  }
  return 0;
}
