// Fault injection by countdown: a /CLEAN run is repeated with call number N
// into the key, the file test or standard output failing, for N = 1, 2, ...
// until a run completes with no call failed. Every run must end without a
// crash, with the exit code and output that the failed call calls for, and
// must never delete a value whose file is present or cannot be checked.

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <ostream>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "count_report/file_test.h"
#include "count_report/listing_pass.h"
#include "run_control/console.h"
#include "run_control/run_control.h"
#include "shared_dll_key/memory_key.h"
#include "tests/fakes.h"

namespace {

// Decides which calls fail. Calls are numbered from 1 across the key, the
// file test and standard output; call fail_at fails and, when persistent,
// every call after it too (the disk stays full, the key stays unreadable).
struct Countdown {
  int fail_at = 0;  // 0: no call fails
  bool persistent = false;
  bool out_of_memory = false;  // key calls fail by running out of memory
  int calls = 0;

  struct FailedCall {
    std::string operation;
    std::string name;
    bool out_of_memory = false;
  };
  std::vector<FailedCall> failed;

  bool Fails(const std::string& operation, const std::string& name) {
    ++calls;
    bool fails = fail_at > 0 && (calls == fail_at || (persistent && calls > fail_at));
    if (fails) failed.push_back({operation, name});
    return fails;
  }
};

// The in-memory key with each operation failing the way the registry fails
// it: the open and the removal report false, the snapshot comes back empty,
// the kind query says vkOther, and the reads raise "Failed to get data".
class CountdownKey : public SharedDllKey {
 public:
  CountdownKey(MemoryKey* inner, Countdown* countdown) : inner_(inner), countdown_(countdown) {}

  bool OpenSharedDllKey(bool for_cleaning) override {
    if (Fails("Open", "")) return false;
    return inner_->OpenSharedDllKey(for_cleaning);
  }
  void SnapshotValueNames(std::vector<std::string>* names) override {
    if (Fails("Snapshot", "")) {
      names->clear();
      return;
    }
    inner_->SnapshotValueNames(names);
  }
  ValueKind QueryValueKind(const std::string& name) override {
    if (Fails("Kind", name)) return ValueKind::vkOther;
    return inner_->QueryValueKind(name);
  }
  std::string ReadTextValue(const std::string& name) override {
    if (Fails("Text", name)) RaiseFailedToGetData(name);
    return inner_->ReadTextValue(name);
  }
  std::int32_t ReadDwordValue(const std::string& name) override {
    if (Fails("Dword", name)) RaiseFailedToGetData(name);
    return inner_->ReadDwordValue(name);
  }
  std::size_t ReadBinaryValue(const std::string& name, std::uint8_t* buffer,
                              std::size_t capacity) override {
    if (Fails("Binary", name)) RaiseFailedToGetData(name);
    return inner_->ReadBinaryValue(name, buffer, capacity);
  }
  bool RemoveCountEntry(const std::string& name) override {
    if (Fails("Remove", name)) return false;
    return inner_->RemoveCountEntry(name);
  }
  // Closing cannot fail in a way the run could see.
  void CloseSharedDllKey() override { inner_->CloseSharedDllKey(); }

 private:
  bool Fails(const std::string& operation, const std::string& name) {
    if (!countdown_->Fails(operation, name)) return false;
    if (countdown_->out_of_memory) {
      countdown_->failed.back().out_of_memory = true;
      throw std::bad_alloc();
    }
    return true;
  }

  MemoryKey* inner_;
  Countdown* countdown_;
};

// A file test whose failed call cannot tell whether the file is there.
class CountdownFileTest : public FileTest {
 public:
  CountdownFileTest(FakeFileTest* inner, Countdown* countdown)
      : inner_(inner), countdown_(countdown) {}

  FilePresence FilePresent(const std::string& name) override {
    if (countdown_->Fails("FileTest", name)) return FilePresence::kCannotTell;
    return inner_->FilePresent(name);
  }

 private:
  FakeFileTest* inner_;
  Countdown* countdown_;
};

// Standard output whose failed open or write-out returns the system's message.
class CountdownConsole : public FakeConsole {
 public:
  explicit CountdownConsole(Countdown* countdown) : countdown_(countdown) {}

  std::string OpenOutput(bool* is_character_device) override {
    std::string failure = FakeConsole::OpenOutput(is_character_device);
    if (countdown_->Fails("OpenOutput", "")) return "I/O error 6";
    return failure;
  }
  std::string WriteOutput(const char* data, std::size_t size) override {
    if (countdown_->Fails("Write", "")) return "Disk full";
    return FakeConsole::WriteOutput(data, size);
  }

 private:
  Countdown* countdown_;
};

struct MixedValue {
  std::string name;
  std::uint32_t type;
  std::string data;
  FilePresence file;
};

// Every kind of value, with files present, absent and that cannot be
// checked; a name longer than the output buffer; the key's unnamed value.
const std::vector<MixedValue>& MixedValues() {
  static const std::vector<MixedValue> values = {
      {"C:\\WINDOWS\\SYSTEM32\\COMCTL32.OCX", kRegDword, DwordData(3), FilePresence::kPresent},
      {"C:\\WINDOWS\\SYSTEM32\\GONE.DLL", kRegDword, DwordData(0), FilePresence::kAbsent},
      {"C:\\Program Files\\Common Files\\shared.dll", kRegSz, std::string("12\0", 3),
       FilePresence::kPresent},
      {"C:\\Program Files\\Old App\\old.dll", kRegSz, std::string(" $1f\0", 5),
       FilePresence::kAbsent},
      {"C:\\Program Files\\Common Files\\Vendor With A Rather Long Folder Name\\" +
           std::string(90, 'x') + ".dll",
       kRegBinary, "\x2C\x01", FilePresence::kAbsent},
      {"C:\\WINDOWS\\SYSTEM32\\MSVBVM60.DLL", kRegBinary, "\x05", FilePresence::kPresent},
      {"%SystemRoot%\\System32\\expand.dll", kRegExpandSz, std::string("x\0", 2),
       FilePresence::kAbsent},
      {"C:\\WINDOWS\\SYSTEM32\\multi.dll", kRegMultiSz, std::string("a\0\0", 3),
       FilePresence::kPresent},
      {"\\\\fileserver\\apps\\unreachable.dll", kRegDword, DwordData(7),
       FilePresence::kCannotTell},
      {"D:\\Removable\\offline.dll", kRegSz, "4", FilePresence::kCannotTell},
      {"", kRegDword, DwordData(1), FilePresence::kAbsent},
      {"C:\\WINDOWS\\SYSTEM32\\none.dll", kRegNone, "", FilePresence::kAbsent},
  };
  return values;
}

FilePresence FileOf(const std::string& name) {
  for (const MixedValue& value : MixedValues()) {
    if (value.name == name) return value.file;
  }
  ADD_FAILURE() << "no value named " << name;
  return FilePresence::kAbsent;
}

struct Outcome {
  int exit_code = -1;
  std::string output;  // report addresses masked
  std::vector<std::string> names_left;
  bool key_left_open = false;
  Countdown countdown;
};

struct Scenario {
  const char* label;
  std::vector<std::string> arguments;
  bool character_device;
  bool persistent;
  bool out_of_memory;
  bool each_value_printed_once;  // so a failed call touches one row only
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.label; }

Outcome RunWithCountdown(const Scenario& scenario, int fail_at) {
  Outcome outcome;
  outcome.countdown.fail_at = fail_at;
  outcome.countdown.persistent = scenario.persistent;
  outcome.countdown.out_of_memory = scenario.out_of_memory;

  MemoryKey memory;
  FakeFileTest fake_files;
  for (const MixedValue& value : MixedValues()) {
    memory.Add(value.name, value.type, value.data);
    fake_files.answers[value.name] = value.file;
  }
  CountdownKey key(&memory, &outcome.countdown);
  CountdownFileTest files(&fake_files, &outcome.countdown);
  CountdownConsole console(&outcome.countdown);
  console.character_device = scenario.character_device;

  outcome.exit_code = RunControl(scenario.arguments, {&key, &files, &console, kWindowsOutputBuffer});
  outcome.output = MaskReportAddress(console.written);
  for (const MemoryKey::Value& value : memory.values) outcome.names_left.push_back(value.name);
  outcome.key_left_open = memory.open;
  return outcome;
}

std::vector<std::string> Lines(const std::string& output) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = output.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(output.substr(start, end + 2 - start));
  }
  if (start < output.size()) lines.push_back(output.substr(start));
  return lines;
}

// The start that every row of this value has: the padded name field and the
// separator space.
std::string RowStart(const std::string& name) {
  return name + std::string(name.size() < 60 ? 60 - name.size() : 0, ' ') + ' ';
}

bool IsRowOf(const std::string& line, const std::string& name) {
  return line.compare(0, RowStart(name).size(), RowStart(name)) == 0;
}

bool StartsWith(const std::string& text, const std::string& start) {
  return text.compare(0, start.size(), start) == 0;
}

std::string Report(const std::string& type_name, const std::string& message) {
  return "Exception " + type_name + " in module dlltally.exe at @ADDRESS@.\n" + message + "\r\n";
}

// Output that ends in a failure report: what came before it, and the report.
void SplitAtReport(const std::string& output, std::string* before, std::string* report) {
  std::size_t at = output.find("Exception ");
  *before = output.substr(0, at);
  *report = at == std::string::npos ? "" : output.substr(at);
}

bool Surfaces(const Countdown::FailedCall& call) {
  if (call.out_of_memory) return true;
  static const char* kSurfacing[] = {"Open", "Text", "Dword", "Binary", "OpenOutput", "Write"};
  return std::find(std::begin(kSurfacing), std::end(kSurfacing), call.operation) !=
         std::end(kSurfacing);
}

// What holds after any run, whatever failed.
void CheckEveryRun(const Scenario& scenario, const Outcome& reference, const Outcome& run) {
  EXPECT_FALSE(run.key_left_open) << "the key is closed before the run ends";

  // No value whose file is there, or may be there, is ever deleted, and
  // nothing is deleted that the run without failures keeps.
  for (const MixedValue& value : MixedValues()) {
    bool left = std::count(run.names_left.begin(), run.names_left.end(), value.name) > 0;
    if (value.file != FilePresence::kAbsent) {
      EXPECT_TRUE(left) << "deleted: " << value.name;
    }
  }
  for (const std::string& name : reference.names_left) {
    EXPECT_TRUE(std::count(run.names_left.begin(), run.names_left.end(), name) > 0) << name;
  }
  // No row claims a deletion for a file that is there or may be there.
  for (const std::string& line : Lines(run.output)) {
    if (line.find(" Deleted\r\n") == std::string::npos) continue;
    bool absent_row = false;
    for (const MixedValue& value : MixedValues()) {
      if (IsRowOf(line, value.name)) absent_row = value.file == FilePresence::kAbsent;
    }
    EXPECT_TRUE(absent_row) << line;
  }

  bool surfaced = false;
  bool snapshot_failed = false;
  for (const Countdown::FailedCall& call : run.countdown.failed) {
    surfaced = surfaced || Surfaces(call);
    snapshot_failed = snapshot_failed || call.operation == "Snapshot";
  }
  EXPECT_EQ(run.exit_code, surfaced ? 1 : 0);

  // A run that claims success printed every row: nothing was lost silently.
  // (A snapshot that fails lists nothing and is not a failure of the run.)
  if (run.exit_code == 0 && !snapshot_failed) {
    std::vector<std::string> lines = Lines(run.output);
    std::vector<std::string> expected = Lines(reference.output);
    ASSERT_EQ(lines.size(), expected.size()) << run.output;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i].substr(0, 61), expected[i].substr(0, 61));
      EXPECT_EQ(lines[i].substr(lines[i].size() - 2), "\r\n");
    }
  }

  // With every later call failing too, nothing can be written after the
  // first failure: what is there is the start of the full output.
  if (scenario.persistent) {
    EXPECT_TRUE(StartsWith(reference.output, run.output)) << run.output;
  }
}

// What the one failed call of a transient run must lead to.
void CheckFailedCall(const Scenario& scenario, const Outcome& reference, const Outcome& run) {
  const Countdown::FailedCall& call = run.countdown.failed.front();
  const std::string& name = call.name;
  std::string before, report;
  SplitAtReport(run.output, &before, &report);

  if (call.out_of_memory) {
    EXPECT_EQ(report, Report("EOutOfMemory", "Out of memory."));
    EXPECT_TRUE(StartsWith(reference.output, before));
    if (call.operation == "Remove") {
      // Cleaning runs between the row text and its line end.
      EXPECT_TRUE(IsRowOf(Lines(before).back(), name)) << before;
    } else {
      EXPECT_TRUE(before.empty() || before.ends_with("\r\n")) << "report inside a row";
    }
    return;
  }

  if (call.operation == "Open") {
    EXPECT_EQ(run.output,
              "Error: Could not open key HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\"
              "SharedDLLs\r\n");
    EXPECT_EQ(run.names_left.size(), MixedValues().size());
  } else if (call.operation == "Snapshot") {
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.names_left.size(), MixedValues().size());
  } else if (call.operation == "Text" || call.operation == "Dword" ||
             call.operation == "Binary") {
    // The rows before the value stay; the value's row is never begun.
    EXPECT_EQ(report, Report("ERegistryException", "Failed to get data for '" + name + "'."));
    EXPECT_TRUE(StartsWith(reference.output, before));
    EXPECT_TRUE(before.empty() || before.ends_with("\r\n")) << "report inside a row";
  } else if (call.operation == "OpenOutput") {
    EXPECT_EQ(run.output, "") << "standard output that cannot be opened takes nothing";
  } else if (call.operation == "Write") {
    // What went out before the failed write-out stays; the report follows,
    // unless the failed write-out was the last one of the run.
    EXPECT_TRUE(StartsWith(reference.output, before));
    if (run.countdown.calls == run.countdown.fail_at) {
      EXPECT_EQ(report, "");
      EXPECT_LT(run.output.size(), reference.output.size());
    } else {
      EXPECT_EQ(report, Report("EInOutError", "Disk full."));
    }
  } else {
    // Kind, FileTest, Remove: by design the run goes on. Only rows of the
    // value that the failed call was about may differ from the full output.
    ASSERT_EQ(report, "");
    std::vector<std::string> lines = Lines(run.output);
    std::vector<std::string> expected = Lines(reference.output);
    ASSERT_EQ(lines.size(), expected.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i] != expected[i]) {
        EXPECT_TRUE(IsRowOf(lines[i], name)) << lines[i];
      }
    }
    if (!scenario.each_value_printed_once) return;
    bool left = std::count(run.names_left.begin(), run.names_left.end(), name) > 0;
    auto row = std::find_if(lines.begin(), lines.end(),
                            [&](const std::string& line) { return IsRowOf(line, name); });
    ASSERT_NE(row, lines.end());
    bool deleted_mark = row->ends_with(" Deleted\r\n");
    if (call.operation == "Kind") {
      // Its count could not be read: the row shows 0, never another value's count.
      EXPECT_TRUE(StartsWith(*row, FormatRow(name, 0))) << *row;
      EXPECT_EQ(deleted_mark, FileOf(name) == FilePresence::kAbsent);
    } else if (call.operation == "FileTest") {
      EXPECT_TRUE(left) << "a file that cannot be checked keeps its count";
      EXPECT_FALSE(deleted_mark);
    } else if (call.operation == "Remove") {
      EXPECT_TRUE(left) << "the refused deletion left the value";
      EXPECT_TRUE(deleted_mark) << "a refused deletion is still marked, as designed";
    }
  }
}

class FaultInjection : public testing::TestWithParam<Scenario> {};

TEST_P(FaultInjection, EveryCallFailsOnceInTurn) {
  const Scenario& scenario = GetParam();
  Outcome reference = RunWithCountdown(scenario, 0);
  ASSERT_EQ(reference.exit_code, 0) << reference.output;
  ASSERT_TRUE(reference.countdown.failed.empty());
  for (const MixedValue& value : MixedValues()) {
    bool left =
        std::count(reference.names_left.begin(), reference.names_left.end(), value.name) > 0;
    EXPECT_EQ(left, value.file != FilePresence::kAbsent) << value.name;
  }

  std::map<std::string, int> failed_operations;
  int fail_at = 1;
  for (;; ++fail_at) {
    SCOPED_TRACE("call " + std::to_string(fail_at) + " fails");
    Outcome run = RunWithCountdown(scenario, fail_at);
    if (run.countdown.failed.empty()) {
      // Past the last call: this run is the one without failures.
      EXPECT_EQ(run.exit_code, 0);
      EXPECT_EQ(run.output, reference.output);
      EXPECT_EQ(run.names_left, reference.names_left);
      break;
    }
    ++failed_operations[run.countdown.failed.front().operation];
    CheckEveryRun(scenario, reference, run);
    if (!scenario.persistent) CheckFailedCall(scenario, reference, run);
    if (testing::Test::HasFatalFailure()) break;
    ASSERT_LT(fail_at, 100000) << "the countdown never ran out";
  }

  std::string summary;
  for (const auto& [operation, count] : failed_operations) {
    summary += " " + operation + "=" + std::to_string(count);
  }
  std::cout << "[ fault points ] " << scenario.label << ": " << fail_at - 1
            << " runs with a failed call," << summary << "\n";
  RecordProperty("fault_points", fail_at - 1);
}

// /CLEAN /ALL over the mixed key, with standard output a console (written
// out after every statement) and a pipe (written out when 128 bytes fill),
// with one call failing or every call from it on, and with memory running
// out; then an operand pass before the /ALL pass, so a deleted value is
// visited again.
const Scenario kScenarios[] = {
    {"console_once", {"/CLEAN", "/ALL"}, true, false, false, true},
    {"pipe_once", {"/CLEAN", "/ALL"}, false, false, false, true},
    {"console_from_then_on", {"/CLEAN", "/ALL"}, true, true, false, true},
    {"pipe_from_then_on", {"/CLEAN", "/ALL"}, false, true, false, true},
    {"pipe_out_of_memory", {"/CLEAN", "/ALL"}, false, false, true, true},
    {"console_operand_then_all", {"/clean", "old.dll", "/all"}, true, false, false, false},
};

INSTANTIATE_TEST_SUITE_P(CleanAll, FaultInjection, testing::ValuesIn(kScenarios),
                         [](const testing::TestParamInfo<Scenario>& scenario_info) {
                           return std::string(scenario_info.param.label);
                         });

}  // namespace
