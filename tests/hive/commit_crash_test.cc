// Kills a cleaning run with SIGKILL at each step of the hive's save and
// checks what is left on disk: the hive is always the original or the
// complete new file, hivex and reglookup both read it, and a later run
// finishes the job.

#include <hivex.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run_control/run_control.h"
#include "shared_dll_key/hive_key.h"
#include "shared_dll_key/shared_dll_key.h"
#include "tests/fakes.h"
#include "tests/hive/hive_fixture.h"

namespace {

namespace fs = std::filesystem;

// Where the run is killed. The save calls sync_file twice: for the new copy
// and, after the rename, for the folder.
enum class KillPoint {
  kNone,
  kBeforeCommit,
  kAfterCommit,
  kAfterCopySync,
  kBeforeRename,
  kAfterRename,
  kAfterFolderSync,
};

[[noreturn]] void KillSelf() {
  kill(getpid(), SIGKILL);
  _exit(99);  // not reached
}

// The real steps, with the process killed before or after one of them.
HiveSaveSteps KillingSteps(KillPoint point) {
  HiveSaveSteps real = SystemSaveSteps();
  auto syncs = std::make_shared<int>(0);
  HiveSaveSteps steps;
  steps.commit = [=](hive_h* hive, const char* path) {
    if (point == KillPoint::kBeforeCommit) KillSelf();
    int result = real.commit(hive, path);
    if (point == KillPoint::kAfterCommit) KillSelf();
    return result;
  };
  steps.sync_file = [=](int fd) {
    int result = real.sync_file(fd);
    ++*syncs;
    if (*syncs == 1 && point == KillPoint::kAfterCopySync) KillSelf();
    if (*syncs == 2 && point == KillPoint::kAfterFolderSync) KillSelf();
    return result;
  };
  steps.rename_file = [=](const char* from, const char* to) {
    if (point == KillPoint::kBeforeRename) KillSelf();
    int result = real.rename_file(from, to);
    if (point == KillPoint::kAfterRename) KillSelf();
    return result;
  };
  return steps;
}

constexpr int kGenerated = 600;  // enough values for several bins

std::string GeneratedName(int i) {
  char name[64];
  std::snprintf(name, sizeof name, "C:\\Windows\\System32\\gen%04d.dll", i);
  return name;
}

// Mixed kinds; every third generated file is present, the rest are gone.
std::vector<FixtureValue> Values() {
  std::vector<FixtureValue> values = {
      {"C:\\Windows\\System32\\text.dll", kRegSz, TextData("12")},
      {"C:\\Windows\\System32\\binary.dll", kRegBinary, std::string("\x2c\x01", 2)},
      {"C:\\Windows\\System32\\multi.dll", 7, TextData("x")},
      {"", kRegDword, DwordBytes(7)},
  };
  for (int i = 0; i < kGenerated; ++i)
    values.push_back({GeneratedName(i), kRegDword, DwordBytes(static_cast<std::uint32_t>(i))});
  return values;
}

FakeFileTest PresentFiles() {
  FakeFileTest files;
  files.answers["C:\\Windows\\System32\\text.dll"] = FilePresence::kPresent;
  files.answers["C:\\Windows\\System32\\multi.dll"] = FilePresence::kCannotTell;
  for (int i = 0; i < kGenerated; i += 3) files.answers[GeneratedName(i)] = FilePresence::kPresent;
  return files;
}

// What a complete clean keeps: the present values and the one whose file
// cannot be told; the unnamed value names no file and goes with the absent.
std::size_t ValuesKept() { return 2 + (kGenerated + 2) / 3; }

// A /CLEAN /ALL run over the hive. Returns 0 when it completed and saved.
int CleanHive(const std::string& path, KillPoint point) {
  std::string save_error;
  HiveOpening opening = OpenHiveKey(path, true, &save_error, KillingSteps(point));
  if (!opening.key) return 2;
  FakeFileTest files = PresentFiles();
  FakeConsole console;
  int code = RunControl({"/CLEAN", "/ALL"},
                        {opening.key.get(), &files, &console, kWindowsOutputBuffer});
  opening.key.reset();
  if (code != 0) return 3;
  return save_error.empty() ? 0 : 4;
}

// Runs the clean in a child process; returns its wait status.
int CleanInChild(const std::string& path, KillPoint point) {
  std::fflush(nullptr);
  pid_t child = fork();
  if (child == 0) _exit(CleanHive(path, point));
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return -1;
  return status;
}

std::string FileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

// The number of values hivex finds in the key, or -1 when it cannot read it.
int ValuesByHivex(const std::string& path) {
  hive_h* h = hivex_open(path.c_str(), 0);
  if (!h) return -1;
  hive_node_h node = hivex_root(h);
  for (const char* part : {"Microsoft", "Windows", "CurrentVersion", "SharedDLLs"})
    node = node ? hivex_node_get_child(h, node, part) : 0;
  int count = -1;
  if (node) {
    hive_value_h* values = hivex_node_values(h, node);
    if (values) {
      for (count = 0; values[count]; ++count) {
      }
      std::free(values);
    }
  }
  hivex_close(h);
  return count;
}

// The number of entries reglookup lists in the key and outside it (keys
// and values), or -1 when it fails or complains.
struct ReglookupCounts {
  int in_key = -1;
  int elsewhere = -1;
};
ReglookupCounts ValuesByReglookup(const std::string& path) {
  ReglookupCounts counts;
  std::string command = "reglookup -H '" + path + "' 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return counts;
  const std::string key = "/Microsoft/Windows/CurrentVersion/SharedDLLs/";
  int in_key = 0;
  int elsewhere = 0;
  bool complained = false;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe)) {
    std::string text = line;
    if (text.rfind(key, 0) == 0) {
      ++in_key;
    } else if (text.rfind("/", 0) == 0) {
      ++elsewhere;
    } else {
      complained = true;  // reglookup's errors and warnings
    }
  }
  if (pclose(pipe) == 0 && !complained) counts = {in_key, elsewhere};
  return counts;
}

class CommitCrashTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(std::system("command -v reglookup >/dev/null"), 0)
        << "reglookup is not installed (scripts/setup.sh)";
    std::string path = (fs::temp_directory_path() / "dlltally-crash-XXXXXX").string();
    ASSERT_NE(mkdtemp(path.data()), nullptr);
    folder_ = path;
    FixtureHive fixture;
    fixture.values = Values();
    ASSERT_EQ(WriteFixtureHive((folder_ / "original").string(), fixture), "");
    original_ = FileBytes(folder_ / "original");
  }
  void TearDown() override { fs::remove_all(folder_); }

  // A fresh folder holding a copy of the original hive, named SOFTWARE.
  std::string FreshHive(const std::string& folder_name) {
    fs::path folder = folder_ / folder_name;
    fs::create_directory(folder);
    fs::copy_file(folder_ / "original", folder / "SOFTWARE");
    return (folder / "SOFTWARE").string();
  }

  // The files besides the hive in its folder, with their bytes.
  std::vector<std::pair<std::string, std::string>> Leftovers(const std::string& hive) {
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& entry : fs::directory_iterator(fs::path(hive).parent_path())) {
      if (entry.path() != hive)
        files.emplace_back(entry.path().filename().string(), FileBytes(entry.path()));
    }
    return files;
  }

  fs::path folder_;
  std::string original_;
};

TEST_F(CommitCrashTest, TheHiveIsTheOriginalOrTheCompleteNewFileAtEveryKill) {
  // The reference: the same clean, not killed.
  std::string reference_hive = FreshHive("reference");
  int status = CleanInChild(reference_hive, KillPoint::kNone);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  const std::string cleaned = FileBytes(reference_hive);
  ASSERT_NE(cleaned, original_);
  ASSERT_TRUE(Leftovers(reference_hive).empty());
  const int all_values = static_cast<int>(Values().size());
  const int kept_values = static_cast<int>(ValuesKept());
  ASSERT_EQ(ValuesByHivex(reference_hive), kept_values);
  const ReglookupCounts original_counts = ValuesByReglookup((folder_ / "original").string());
  ASSERT_EQ(original_counts.in_key, all_values);

  struct Case {
    const char* name;
    KillPoint point;
    bool replaced;       // the hive is the new file afterwards
    const char* left;    // what is left beside it: "", "empty" or "complete" copy
  };
  const Case cases[] = {
      {"before the copy is written", KillPoint::kBeforeCommit, false, "empty"},
      {"after the copy is written", KillPoint::kAfterCommit, false, "complete"},
      {"after the copy is synced", KillPoint::kAfterCopySync, false, "complete"},
      {"before the rename", KillPoint::kBeforeRename, false, "complete"},
      {"after the rename", KillPoint::kAfterRename, true, ""},
      {"after the folder is synced", KillPoint::kAfterFolderSync, true, ""},
  };
  int number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string hive = FreshHive("kill" + std::to_string(++number));
    status = CleanInChild(hive, c.point);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;

    // Byte for byte one of the two files, and the one this step should leave.
    std::string now = FileBytes(hive);
    EXPECT_TRUE(now == original_ || now == cleaned);
    EXPECT_EQ(now == cleaned, c.replaced);
    EXPECT_EQ(ValuesByHivex(hive), c.replaced ? kept_values : all_values);
    ReglookupCounts counts = ValuesByReglookup(hive);
    EXPECT_EQ(counts.in_key, c.replaced ? kept_values : all_values);
    EXPECT_EQ(counts.elsewhere, original_counts.elsewhere);

    // A killed run cannot remove its copy: it stays beside the hive until
    // the next clean.
    auto leftovers = Leftovers(hive);
    if (std::string(c.left).empty()) {
      EXPECT_TRUE(leftovers.empty());
    } else {
      ASSERT_EQ(leftovers.size(), 1u);
      EXPECT_EQ(leftovers[0].first.rfind("SOFTWARE.dlltally-", 0), 0u) << leftovers[0].first;
      EXPECT_EQ(leftovers[0].second, std::string(c.left) == "empty" ? "" : cleaned);
    }

    // The killed run held the lock; the next run gets it and ends in the
    // same hive as an undisturbed run.
    // That run also removes the copy the killed one left.
    status = CleanInChild(hive, KillPoint::kNone);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_TRUE(FileBytes(hive) == cleaned);
    EXPECT_TRUE(Leftovers(hive).empty());
  }
}

}  // namespace
