#include "run_control/run_control.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "count_report/listing_pass.h"
#include "shared_dll_key/memory_key.h"
#include "tests/fakes.h"

namespace {

const char kUsage[] =
    "Dlltally v1.0 Lists and cleans shared DLL reference counts\r\n"
    "\r\n"
    "Syntax: DLLTALLY.EXE [/CLEAN] {/ALL | <filename> ...}\r\n"
    "\r\n"
    "Use:    Returns the system reference count of <filename>.\r\n"
    "        This is stored in the registry in\r\n"
    "        HKML\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs.\r\n"
    "        /CLEAN also removes all zero reference counts\r\n"
    "        while /ALL displays all values.\r\n";

const char kOpenError[] =
    "Error: Could not open key HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs"
    "\r\n";

std::string Row(const std::string& name, std::int32_t count, bool deleted = false) {
  return FormatRow(name, count) + (deleted ? " Deleted" : "") + "\r\n";
}

std::string Report(const std::string& type_name, const std::string& message) {
  return "Exception " + type_name + " in module dlltally.exe at @ADDRESS@.\n" + message + "\r\n";
}

// A key, files and console for one run, and what the run left.
struct TestRun {
  MemoryKey key;
  FakeFileTest files;
  FakeConsole console;
  int exit_code = -1;

  std::string operator()(std::vector<std::string> arguments) {
    exit_code = RunControl(arguments, {&key, &files, &console, kWindowsOutputBuffer});
    return MaskReportAddress(console.written);
  }
};

// A key of three values in two folders, as the tests below use it.
void FillSampleKey(MemoryKey& key) {
  key.Add("C:\\WINDOWS\\SYSTEM\\FOO.DLL", kRegDword, DwordData(3));
  key.Add("C:\\Program Files\\App\\foo.dll", kRegSz, "12");
  key.Add("C:\\WINDOWS\\SYSTEM\\BAR.DLL", kRegBinary, "\x2C\x01");
}

const std::string kSampleListing = Row("C:\\WINDOWS\\SYSTEM\\FOO.DLL", 3) +
                                   Row("C:\\Program Files\\App\\foo.dll", 12) +
                                   Row("C:\\WINDOWS\\SYSTEM\\BAR.DLL", 300);

TEST(RunControl, NoArgumentsPrintsUsageAndOpensNothing) {
  TestRun run;
  EXPECT_EQ(run({}), kUsage);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_TRUE(run.key.log.empty());
}

TEST(RunControl, Passes) {
  const struct {
    std::vector<std::string> arguments;
    std::string output;
  } kCases[] = {
      {{"/ALL"}, kSampleListing},
      {{"/all"}, kSampleListing},
      {{"/All"}, kSampleListing},
      {{"/ALL", "/all"}, kSampleListing},  // a repeated /ALL adds no pass
      {{"/all", "foo.dll"}, kSampleListing + kSampleListing},
      {{"foo.dll", "/ALL", "x"}, kSampleListing + kSampleListing + kSampleListing},
      {{"foo.dll"},
       Row("C:\\WINDOWS\\SYSTEM\\FOO.DLL", 3) + Row("C:\\Program Files\\App\\foo.dll", 12)},
      {{"c:\\windows\\system\\foo.dll"}, Row("C:\\WINDOWS\\SYSTEM\\FOO.DLL", 3)},
      {{"bar.dll", "bar.dll"},
       Row("C:\\WINDOWS\\SYSTEM\\BAR.DLL", 300) + Row("C:\\WINDOWS\\SYSTEM\\BAR.DLL", 300)},
      {{"nothing.dll"}, ""},
      {{"-all"}, ""},  // a switch is written whole
      {{"/all:"}, ""},
      {{"/CLEAN"}, ""},
  };
  for (const auto& c : kCases) {
    TestRun run;
    FillSampleKey(run.key);
    run.files.answers["C:\\WINDOWS\\SYSTEM\\FOO.DLL"] = FilePresence::kPresent;
    EXPECT_EQ(run(c.arguments), c.output) << c.arguments[0];
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.key.values.size(), 3u);
    EXPECT_EQ(run.key.log.back(), "Close");
  }
}

TEST(RunControl, ListingOpensForReadingAndCleaningForDeleting) {
  TestRun listing;
  listing({"/ALL"});
  TestRun cleaning;
  cleaning({"/clean"});
  EXPECT_EQ(listing.key.log, (std::vector<std::string>{"Open read", "Snapshot", "Close"}));
  EXPECT_EQ(cleaning.key.log, (std::vector<std::string>{"Open clean", "Snapshot", "Close"}));
  EXPECT_EQ(cleaning.console.written, "");
  EXPECT_EQ(cleaning.exit_code, 0);
}

TEST(RunControl, KeyThatCannotBeOpenedPrintsTheErrorLineOnly) {
  TestRun run;
  run.key.key_exists = false;
  EXPECT_EQ(run({"/ALL"}), kOpenError);
  EXPECT_EQ(run.exit_code, 1);
  TestRun clean;
  clean.key.key_exists = false;
  EXPECT_EQ(clean({"/CLEAN"}), kOpenError);
}

TEST(RunControl, EmptyKeyPrintsNothing) {
  TestRun run;
  EXPECT_EQ(run({"/ALL", "foo.dll"}), "");
  EXPECT_EQ(run.exit_code, 0);
}

TEST(RunControl, MalformedValueEndsTheRunAfterReleasing) {
  TestRun run;
  FillSampleKey(run.key);
  run.key.Add("C:\\bad.dll", kRegSz, "zz");
  run.key.Add("C:\\after.dll", kRegDword, DwordData(1));
  bool key_open_at_report = true;
  run.console.on_write = [&](const std::string& bytes) {
    if (bytes.find("Exception") != std::string::npos) key_open_at_report = run.key.open;
  };
  EXPECT_EQ(run({"/ALL"}), kSampleListing + Report("EConvertError",
                                                   "'zz' is not a valid integer value."));
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_FALSE(key_open_at_report);
  EXPECT_EQ(run.key.log.back(), "Close");

  // Counts are read before selection: a run naming another file fails too.
  TestRun other;
  FillSampleKey(other.key);
  other.key.Add("C:\\bad.dll", kRegSz, "zz");
  EXPECT_EQ(other({"after.dll"}),
            Report("EConvertError", "'zz' is not a valid integer value."));
}

TEST(RunControl, LongReportsAreWrittenWhole) {
  TestRun run;
  std::string name = "C:\\" + std::string(300, 'd') + "\\big.dll";
  run.key.Add(name, kRegBinary, "12345");
  EXPECT_EQ(run({"/ALL"}),
            Report("ERegistryException", "Invalid data type for '" + name + "'."));
}

TEST(RunControl, RowOver4096CharactersFailsBeforeAnyOfItIsWritten) {
  TestRun run;
  run.key.Add("short.dll", kRegDword, DwordData(1));
  run.key.Add(std::string(4085, 'n'), kRegDword, DwordData(0));
  EXPECT_EQ(run({"/ALL"}),
            Row("short.dll", 1) +
                Report("EConvertError", "Format result longer than 4096 characters."));
}

TEST(RunControl, OutOfMemoryAndStrayExceptionsAreReported) {
  struct ThrowingKey : MemoryKey {
    bool out_of_memory = true;
    void SnapshotValueNames(std::vector<std::string>*) override {
      if (out_of_memory) throw std::bad_alloc();
      throw std::length_error("basic_string::_M_create");
    }
  };
  for (bool out_of_memory : {true, false}) {
    ThrowingKey key;
    key.out_of_memory = out_of_memory;
    FakeFileTest files;
    FakeConsole console;
    EXPECT_EQ(RunControl({"/ALL"}, {&key, &files, &console, kWindowsOutputBuffer}), 1);
    EXPECT_EQ(MaskReportAddress(console.written),
              out_of_memory ? Report("EOutOfMemory", "Out of memory.")
                            : Report("Exception", "basic_string::_M_create."));
    EXPECT_FALSE(key.open);
  }
}

TEST(RunControl, FailedWritesNeverExitZero) {
  // A console: the first row's write fails, and so does the report.
  TestRun console_run;
  FillSampleKey(console_run.key);
  console_run.console.character_device = true;
  console_run.console.fail_all_writes = true;
  EXPECT_EQ(console_run({"/ALL"}), "");
  EXPECT_EQ(console_run.exit_code, 1);
  EXPECT_EQ(console_run.console.writes.size(), 2u);  // the row, then the report

  // A pipe: everything fits the buffer, and only the final write fails.
  TestRun pipe_run;
  FillSampleKey(pipe_run.key);
  pipe_run.key.values.resize(1);
  pipe_run.console.fail_writes = {1};
  EXPECT_EQ(pipe_run({"/ALL"}), "");
  EXPECT_EQ(pipe_run.exit_code, 1);

  // The usage screen fills the buffer; its failed write is reported.
  TestRun usage_run;
  usage_run.console.fail_writes = {1};
  usage_run({});
  EXPECT_EQ(usage_run.exit_code, 1);
  EXPECT_EQ(MaskReportAddress(usage_run.console.written.substr(
                usage_run.console.written.find("Exception"))),
            Report("EInOutError", "I/O error 112."));
}

TEST(RunControl, CleanDeletesOnlyValuesWhoseFilesAreCertainlyAbsent) {
  TestRun run;
  FillSampleKey(run.key);
  run.key.Add("C:\\gone\\unsure.dll", kRegDword, DwordData(2));
  run.files.answers["C:\\WINDOWS\\SYSTEM\\FOO.DLL"] = FilePresence::kPresent;
  run.files.answers["C:\\gone\\unsure.dll"] = FilePresence::kCannotTell;
  // foo.dll selects two values; the one in Program Files is absent.
  EXPECT_EQ(run({"/CLEAN", "foo.dll"}),
            Row("C:\\WINDOWS\\SYSTEM\\FOO.DLL", 3) +
                Row("C:\\Program Files\\App\\foo.dll", 12, true));
  EXPECT_EQ(run.key.values.size(), 3u);
  EXPECT_EQ(run.files.asked.size(), 2u);  // only printed rows are tested
  EXPECT_EQ(run.exit_code, 0);
}

TEST(RunControl, CleanRevisitsDeletedValuesInLaterPasses) {
  TestRun run;
  FillSampleKey(run.key);
  run.files.answers["C:\\WINDOWS\\SYSTEM\\FOO.DLL"] = FilePresence::kPresent;
  run.files.answers["C:\\Program Files\\App\\foo.dll"] = FilePresence::kPresent;
  // With /ALL both passes print every value; the second finds BAR.DLL gone.
  std::string first = Row("C:\\WINDOWS\\SYSTEM\\FOO.DLL", 3) +
                      Row("C:\\Program Files\\App\\foo.dll", 12);
  EXPECT_EQ(run({"/CLEAN", "bar.dll", "/ALL"}),
            first + Row("C:\\WINDOWS\\SYSTEM\\BAR.DLL", 300, true) + first +
                Row("C:\\WINDOWS\\SYSTEM\\BAR.DLL", 0, true));
  EXPECT_EQ(run.key.log,
            (std::vector<std::string>{"Open clean", "Snapshot", "Remove C:\\WINDOWS\\SYSTEM\\BAR.DLL",
                                      "Remove C:\\WINDOWS\\SYSTEM\\BAR.DLL", "Close"}));
}

TEST(FailureReportText, Shape) {
  const struct {
    std::string program;
    std::string message;
    std::string text;
  } kCases[] = {
      {"C:\\Tools\\DLLTALLY.EXE", "Disk full",
       "Exception EInOutError in module DLLTALLY.EXE at 0000ABCD.\nDisk full."},
      {"dlltally.exe", "Ends with a dot.",
       "Exception EInOutError in module dlltally.exe at 0000ABCD.\nEnds with a dot."},
      {"dlltally.exe", "", "Exception EInOutError in module dlltally.exe at 0000ABCD.\n"},
      {"/usr/local/bin/dlltally", "x", "Exception EInOutError in module dlltally at 0000ABCD.\nx."},
      {"C:\\" + std::string(70, 'p') + ".exe", "m",
       "Exception EInOutError in module " + std::string(63, 'p') + " at 0000ABCD.\nm."},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(FailureReportText("EInOutError", c.program, 0xABCD, c.message), c.text);
}

}  // namespace
