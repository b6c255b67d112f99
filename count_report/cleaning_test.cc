#include "count_report/cleaning.h"

#include <gtest/gtest.h>

#include "run_control/standard_output.h"
#include "shared_dll_key/memory_key.h"
#include "tests/fakes.h"

namespace {

TEST(CleanCountEntry, DeletesOnlyOnACertainAbsence) {
  const struct {
    FilePresence presence;
    bool deleted;
  } kCases[] = {
      {FilePresence::kPresent, false},
      {FilePresence::kAbsent, true},
      {FilePresence::kCannotTell, false},
  };
  for (const auto& c : kCases) {
    MemoryKey key;
    key.Add("C:\\a.dll", kRegDword, DwordData(5));
    FakeFileTest files;
    files.answers["C:\\a.dll"] = c.presence;
    FakeConsole console;
    StandardOutput output(&console, 128);
    CleanCountEntry("C:\\a.dll", key, files, output);
    output.WriteRemainder();
    EXPECT_EQ(key.values.empty(), c.deleted);
    EXPECT_EQ(console.written, c.deleted ? " Deleted" : "");
  }
}

TEST(CleanCountEntry, RefusedDeletionIsStillMarked) {
  MemoryKey key;
  key.Add("C:\\a.dll", kRegDword, DwordData(5));
  key.refuse_remove.insert("C:\\a.dll");
  FakeFileTest files;
  FakeConsole console;
  StandardOutput output(&console, 128);
  CleanCountEntry("C:\\a.dll", key, files, output);
  output.WriteRemainder();
  EXPECT_EQ(console.written, " Deleted");
  EXPECT_EQ(key.values.size(), 1u);
}

}  // namespace
