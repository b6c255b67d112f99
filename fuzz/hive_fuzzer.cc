// Fuzzes the offline hive key: the input is written to a hive file, which
// is listed with /ALL and, for about half the inputs (by a hash of them),
// then cleaned with /CLEAN /ALL.
//
// Properties: the open gives either one "Error: " line and no key, or a key
// whose run ends with exit code 0 or 1; the output is whole rows, one per
// snapshot value in the snapshot's order, then on exit 1 the failure report
// (or the open-key error line when the hive has no such key). A listing
// leaves the file as it was. A clean leaves it as it was (nothing deleted,
// or a save error line), or replaces it with a hive whose listing is the
// first run's output without the rows marked " Deleted". No copy of the
// hive is left beside it.

#include <dirent.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "count_report/file_test.h"
#include "fuzz/fuzz_check.h"
#include "run_control/console.h"
#include "run_control/run_control.h"
#include "shared_dll_key/hive_key.h"
#include "shared_dll_key/shared_dll_key.h"
#include "tests/fakes.h"

namespace {

constexpr std::size_t kOutputBuffer = 64 * 1024;  // as the native tool
constexpr const char* kOpenKeyErrorLine =
    "Error: Could not open key HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs\r\n";

std::uint64_t Hash(const char* data, std::size_t size) {
  std::uint64_t hash = 0xCBF29CE484222325u;  // FNV-1a
  for (std::size_t i = 0; i < size; ++i) {
    hash ^= static_cast<unsigned char>(data[i]);
    hash *= 0x100000001B3u;
  }
  return hash;
}

// The hive's path in a folder of this process's own, made once and removed
// when the process exits normally.
const std::string& HivePath() {
  static const std::string path = [] {
    char folder[] = "/tmp/dlltally-hive-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(folder) != nullptr);
    return std::string(folder) + "/SOFTWARE";
  }();
  static const int registered = std::atexit([] {
    unlink(path.c_str());
    rmdir(path.substr(0, path.rfind('/')).c_str());
  });
  (void)registered;
  return path;
}

std::string FolderOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  FUZZ_CHECK(out.good());
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The names in the hive's folder other than the hive itself.
std::vector<std::string> OthersInFolder(const std::string& path) {
  std::vector<std::string> others;
  DIR* dir = opendir(FolderOf(path).c_str());
  FUZZ_CHECK(dir != nullptr);
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != ".." && name != "SOFTWARE") others.push_back(name);
  }
  closedir(dir);
  return others;
}

// Absent, present or cannot tell, by a hash of the name.
class HashedFileTest : public FileTest {
 public:
  FilePresence FilePresent(const std::string& name) override {
    switch (Hash(name.data(), name.size()) % 3) {
      case 0:
        return FilePresence::kAbsent;
      case 1:
        return FilePresence::kPresent;
      default:
        return FilePresence::kCannotTell;
    }
  }
};

// Passes every call on and keeps the snapshot the run took.
class SnapshotKeepingKey : public SharedDllKey {
 public:
  explicit SnapshotKeepingKey(SharedDllKey* key) : key_(key) {}
  std::vector<std::string> snapshot;

  bool OpenSharedDllKey(bool for_cleaning) override {
    return key_->OpenSharedDllKey(for_cleaning);
  }
  void SnapshotValueNames(std::vector<std::string>* names) override {
    key_->SnapshotValueNames(names);
    snapshot = *names;
  }
  ValueKind QueryValueKind(const std::string& name) override {
    return key_->QueryValueKind(name);
  }
  std::string ReadTextValue(const std::string& name) override {
    return key_->ReadTextValue(name);
  }
  std::int32_t ReadDwordValue(const std::string& name) override {
    return key_->ReadDwordValue(name);
  }
  std::size_t ReadBinaryValue(const std::string& name, std::uint8_t* buffer,
                              std::size_t capacity) override {
    return key_->ReadBinaryValue(name, buffer, capacity);
  }
  bool RemoveCountEntry(const std::string& name) override {
    return key_->RemoveCountEntry(name);
  }
  void CloseSharedDllKey() override { key_->CloseSharedDllKey(); }

 private:
  SharedDllKey* key_;
};

bool IsUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// The length of a row's count fields at text[at]: " <decimal> (0x<hex>)",
// the decimal padded to 2; 0 when they are not there.
std::size_t CountFieldsLength(const std::string& text, std::size_t at) {
  std::size_t i = at;
  if (i >= text.size() || text[i++] != ' ') return 0;
  if (i < text.size() && text[i] == '-') ++i;
  std::size_t digits = i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  digits = i - digits;
  if (digits == 0 || digits > 10) return 0;
  if (digits == 1 && text[at + 1] != '-' && (i >= text.size() || text[i++] != ' ')) return 0;
  if (text.compare(i, 4, " (0x") != 0) return 0;
  i += 4;
  std::size_t hex = i;
  while (i < text.size() && IsUpperHex(text[i])) ++i;
  if (i - hex < 4 || i - hex > 8 || i >= text.size() || text[i] != ')') return 0;
  return i + 1 - at;
}

// A run's output taken apart: the rows (without their line ends) and what
// follows the last whole row.
struct RunOutput {
  std::vector<std::string> rows;
  std::vector<bool> deleted;
  std::string rest;
};

// Reads the rows of the snapshot's values in order, as far as they go.
// Names may hold line ends, so each row is found by its value's name.
RunOutput SplitRows(const std::string& text, const std::vector<std::string>& snapshot) {
  RunOutput split;
  std::size_t at = 0;
  for (const std::string& name : snapshot) {
    std::string start = name + std::string(name.size() < 60 ? 60 - name.size() : 0, ' ');
    if (text.compare(at, start.size(), start) != 0) break;
    std::size_t fields = CountFieldsLength(text, at + start.size());
    if (fields == 0) break;
    std::size_t end = at + start.size() + fields;
    bool deleted = text.compare(end, 8, " Deleted") == 0;
    if (deleted) end += 8;
    if (text.compare(end, 2, "\r\n") != 0) break;
    split.rows.push_back(text.substr(at, end - at));
    split.deleted.push_back(deleted);
    at = end + 2;
  }
  split.rest = text.substr(at);
  return split;
}

// The failure report, as the only thing after the rows of a failed run.
bool IsFailureReport(const std::string& text) {
  const std::string head = "Exception ";
  const std::string module = " in module dlltally at ";
  if (text.compare(0, head.size(), head) != 0) return false;
  std::size_t at = text.find(module);
  if (at == std::string::npos) return false;
  at += module.size();
  if (text.size() < at + 10) return false;
  for (std::size_t i = at; i < at + 8; ++i) {
    if (!IsUpperHex(text[i])) return false;
  }
  return text.compare(at + 8, 2, ".\n") == 0 && text.ends_with("\r\n");
}

struct Run {
  std::string error_line;  // of the open; nothing else is set then
  std::string save_error_line;
  int exit_code = -1;
  std::vector<std::string> snapshot;
  std::string output;
};

Run OpenAndRun(const std::string& path, bool cleaning) {
  // Executions stay fast without the syncs; the commit and rename are real.
  HiveSaveSteps steps = SystemSaveSteps();
  steps.sync_file = [](int) { return 0; };
  Run run;
  HiveOpening opening = OpenHiveKey(path, cleaning, &run.save_error_line, steps);
  if (!opening.key) {
    run.error_line = opening.error_line;
    return run;
  }
  FUZZ_CHECK(opening.error_line.empty());
  SnapshotKeepingKey key(opening.key.get());
  HashedFileTest files;
  FakeConsole console;  // never fails a write
  console.program_file = "/usr/bin/dlltally";
  std::vector<std::string> arguments = {"/ALL"};
  if (cleaning) arguments.insert(arguments.begin(), "/CLEAN");
  run.exit_code = RunControl(arguments, {&key, &files, &console, kOutputBuffer});
  opening.key.reset();
  run.snapshot = key.snapshot;
  run.output = console.written;
  return run;
}

// The properties every run has, whatever it did to the file.
RunOutput CheckRun(const Run& run) {
  if (!run.error_line.empty()) {
    FUZZ_CHECK(run.error_line.starts_with("Error: "));
    FUZZ_CHECK(run.exit_code == -1 && run.output.empty());
    return {};
  }
  FUZZ_CHECK(run.exit_code == 0 || run.exit_code == 1);
  RunOutput split = SplitRows(run.output, run.snapshot);
  if (run.exit_code == 0) {
    FUZZ_CHECK(split.rows.size() == run.snapshot.size());
    FUZZ_CHECK(split.rest.empty());
  } else if (split.rest == kOpenKeyErrorLine) {
    FUZZ_CHECK(run.snapshot.empty() && split.rows.empty());
  } else {
    FUZZ_CHECK(split.rows.size() < run.snapshot.size());
    FUZZ_CHECK(IsFailureReport(split.rest));
  }
  return split;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& path = HivePath();
  const std::string original(reinterpret_cast<const char*>(data), size);
  WriteFile(path, original);
  // Every input is listed; about half are cleaned after that.
  Run listing = OpenAndRun(path, false);
  CheckRun(listing);
  FUZZ_CHECK(listing.save_error_line.empty());
  FUZZ_CHECK(OthersInFolder(path).empty());
  FUZZ_CHECK(ReadFile(path) == original);
  if (Hash(original.data(), original.size()) % 2 != 0) return 0;

  Run first = OpenAndRun(path, true);
  RunOutput split = CheckRun(first);
  FUZZ_CHECK(OthersInFolder(path).empty());
  std::string after = ReadFile(path);
  bool any_deleted = false;
  for (bool deleted : split.deleted) any_deleted |= deleted;
  if (!first.error_line.empty() || !any_deleted || !first.save_error_line.empty()) {
    FUZZ_CHECK(after == original);
    if (!first.save_error_line.empty())
      FUZZ_CHECK(first.save_error_line.starts_with("Error: Could not save hive "));
    return 0;
  }

  // The replaced hive holds exactly the values whose rows were not marked.
  Run second = OpenAndRun(path, false);
  FUZZ_CHECK(second.error_line.empty());
  RunOutput second_split = CheckRun(second);
  std::string expected;
  for (std::size_t i = 0; i < split.rows.size(); ++i) {
    if (!split.deleted[i]) expected += split.rows[i] + "\r\n";
  }
  expected += split.rest;
  FUZZ_CHECK(second.output == expected);
  FUZZ_CHECK(second.exit_code == first.exit_code);
  FUZZ_CHECK(ReadFile(path) == after);
  return 0;
}
