#include "count_report/listing_pass.h"

#include <gtest/gtest.h>

#include "run_control/failure.h"
#include "run_control/run_control.h"
#include "run_control/standard_output.h"
#include "shared_dll_key/memory_key.h"
#include "tests/fakes.h"

namespace {

// The failure that running `action` raises; fails the test if none.
template <typename Action>
Failure FailureOf(Action action) {
  try {
    action();
  } catch (const Failure& failure) {
    return failure;
  }
  ADD_FAILURE() << "no failure raised";
  return {};
}

TEST(TextToCount, AcceptedTexts) {
  const struct {
    const char* text;
    std::int32_t count;
  } kCases[] = {
      {"0", 0},          {"7", 7},
      {" 7", 7},         {"   12", 12},
      {"+5", 5},         {"-0", 0},
      {"-17", -17},      {"007", 7},
      {"2147483647", 2147483647},
      {"-2147483647", -2147483647},
      {"$1f", 31},       {"$1F", 31},
      {"$0", 0},         {"$FFFFFFFF", -1},
      {"$80000000", -2147483647 - 1},
      {"$000000001", 1},  // leading zeros are not significant
      {" $7fffffff", 2147483647},
  };
  for (const auto& c : kCases) EXPECT_EQ(TextToCount(c.text), c.count) << c.text;
}

TEST(TextToCount, RejectedTextsNameTheWholeText) {
  const char* kCases[] = {
      "",          " ",          "\t7",        "7 ",         "7\t",
      "+",         "-",          "$",          "-$1f",       "+$1f",
      "0x1F",      "1F",         "2147483648", "-2147483648", "99999999999",
      "$100000000", "$FFFFFFFFF", "1.5",       "1,000",      "- 5",
      "$ 1",       "12a",        "\xE9",
  };
  for (const char* text : kCases) {
    Failure failure = FailureOf([&] { TextToCount(text); });
    EXPECT_EQ(failure.type_name, "EConvertError") << text;
    EXPECT_EQ(failure.message, "'" + std::string(text) + "' is not a valid integer value");
  }
}

TEST(TextToCount, MessageOverTheFormatLimitBecomesTheLimitFailure) {
  // The message adds 31 characters to the text: 4065 still fits in 4096.
  EXPECT_EQ(FailureOf([] { TextToCount(std::string(4065, 'x')); }).message.size(), 4096u);
  Failure failure = FailureOf([] { TextToCount(std::string(4066, 'x')); });
  EXPECT_EQ(failure.type_name, "EConvertError");
  EXPECT_EQ(failure.message, "Format result longer than 4096 characters");
}

TEST(FormatRow, Layout) {
  const std::string name = "C:\\WINDOWS\\SYSTEM\\FOO.DLL";
  const std::string field = name + std::string(60 - name.size(), ' ');
  const struct {
    std::int32_t count;
    const char* tail;
  } kCases[] = {
      {0, " 0  (0x0000)"},
      {3, " 3  (0x0003)"},
      {12, " 12 (0x000C)"},
      {300, " 300 (0x012C)"},
      {65536, " 65536 (0x10000)"},
      {-1, " -1 (0xFFFFFFFF)"},
      {-2147483647 - 1, " -2147483648 (0x80000000)"},
  };
  for (const auto& c : kCases) EXPECT_EQ(FormatRow(name, c.count), field + c.tail);
}

TEST(FormatRow, LongNamesAreNeverCut) {
  std::string name(61, 'a');
  EXPECT_EQ(FormatRow(name, 1), name + " 1  (0x0001)");
  EXPECT_EQ(FormatRow("", 1), std::string(60, ' ') + " 1  (0x0001)");
}

TEST(FormatRow, RowsOver4096CharactersFail) {
  EXPECT_EQ(FormatRow(std::string(4084, 'n'), 0).size(), 4096u);
  Failure failure = FailureOf([] { FormatRow(std::string(4085, 'n'), 0); });
  EXPECT_EQ(failure.type_name, "EConvertError");
  EXPECT_EQ(failure.message, "Format result longer than 4096 characters");
}

TEST(OperandMatches, Rule) {
  const struct {
    const char* operand;
    const char* value;
    bool matches;
  } kCases[] = {
      // A bare file name selects that file name in any folder, any case.
      {"foo.dll", "C:\\WINDOWS\\SYSTEM\\FOO.DLL", true},
      {"FOO.DLL", "c:\\other\\foo.dll", true},
      {"foo.dll", "foo.dll", true},
      {"foo.dll", "D:foo.dll", true},
      {"foo.dll", "C:\\WINDOWS\\SYSTEM\\FOO.DLL.bak", false},
      {"foo.dll", "C:\\foo.dll\\bar.dll", false},
      {"oo.dll", "C:\\foo.dll", false},
      // With a folder or drive part the whole name must be equal.
      {"C:\\WINDOWS\\SYSTEM\\foo.dll", "c:\\windows\\system\\FOO.DLL", true},
      {"C:\\WINDOWS\\foo.dll", "C:\\WINDOWS\\SYSTEM\\foo.dll", false},
      {"system\\foo.dll", "C:\\WINDOWS\\SYSTEM\\foo.dll", false},
      {"c:foo.dll", "C:\\foo.dll", false},
      {"c:foo.dll", "C:FOO.DLL", true},
      // No wildcards.
      {"*.dll", "C:\\foo.dll", false},
      {"f?o.dll", "C:\\foo.dll", false},
      // The empty operand only selects a value whose file-name part is empty.
      {"", "C:\\dir\\", true},
      {"", "C:\\foo.dll", false},
      // Only ASCII letters fold here; other bytes compare as they are.
      {"\xC9.dll", "C:\\\xE9.dll", false},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(OperandMatches(c.operand, c.value), c.matches)
        << c.operand << " vs " << c.value;
  }
}

TEST(OperandMatches, FileNamePartsCompareTheirFirst255Characters) {
  std::string name(255, 'a');
  EXPECT_TRUE(OperandMatches(name + "x", "C:\\" + name + "y"));
  EXPECT_FALSE(OperandMatches(name.substr(1) + "x", "C:\\" + name.substr(1) + "y"));
}

// Runs one /ALL pass over the key and returns what it printed.
std::string ListAll(MemoryKey& key) {
  FakeConsole console;
  FakeFileTest files;
  StandardOutput output(&console, kWindowsOutputBuffer);
  std::vector<std::string> names;
  key.SnapshotValueNames(&names);
  RunListingPass("", {&key, &files, &output, &names, true, false});
  output.WriteRemainder();
  return console.written;
}

std::string Row(const std::string& name, std::int32_t count) {
  return FormatRow(name, count) + "\r\n";
}

TEST(RunListingPass, CountsByKind) {
  MemoryKey key;
  key.Add("dword", kRegDword, DwordData(7));
  key.Add("dword-minus-one", kRegDword, DwordData(0xFFFFFFFF));
  key.Add("short-dword", kRegDword, std::string("\x2C\x01", 2));
  key.Add("text", kRegSz, std::string("12\0", 3));
  key.Add("binary-1", kRegBinary, "\x05");
  key.Add("binary-2", kRegBinary, "\x2C\x01");
  key.Add("binary-4", kRegBinary, std::string("\x2C\x01\x00\x00", 4));
  key.Add("binary-ff", kRegBinary, "\xFF\xFF\xFF\xFF");
  key.Add("binary-0-after-a-binary", kRegBinary, "");
  key.Add("expand-after-a-count", kRegExpandSz, "5");
  key.Add("multi", kRegMultiSz, std::string("5\0\0", 3));
  key.Add("none", kRegNone, DwordData(9));
  key.Add("qword", 11, std::string("\x09\0\0\0\0\0\0\0", 8));

  // Values whose count is not read show 0, never the count before them.
  EXPECT_EQ(ListAll(key), Row("dword", 7) + Row("dword-minus-one", -1) +
                              Row("short-dword", 300) + Row("text", 12) +
                              Row("binary-1", 5) + Row("binary-2", 300) +
                              Row("binary-4", 300) + Row("binary-ff", -1) +
                              Row("binary-0-after-a-binary", 0) +
                              Row("expand-after-a-count", 0) + Row("multi", 0) +
                              Row("none", 0) + Row("qword", 0));
}

TEST(RunListingPass, ValueGoneSinceTheSnapshotShowsZero) {
  MemoryKey key;
  key.Add("a", kRegDword, DwordData(4));
  key.Add("b", kRegDword, DwordData(5));
  key.before_call = [&](const std::string& operation, const std::string& name) {
    if (operation == "Kind" && name == "b") key.values.pop_back();
  };
  EXPECT_EQ(ListAll(key), Row("a", 4) + Row("b", 0));
}

TEST(RunListingPass, ReadFailuresEndThePassAfterTheRowsBefore) {
  const struct {
    std::uint32_t type;
    std::string data;
    bool fail_read;
    const char* message;
  } kCases[] = {
      {kRegBinary, "\x01\x02\x03\x04\x05", false, "Invalid data type for 'bad'"},
      {kRegDword, "\x01\x02\x03\x04\x05", false, "Failed to get data for 'bad'"},
      {kRegDword, DwordData(1), true, "Failed to get data for 'bad'"},
      {kRegSz, "12", true, "Failed to get data for 'bad'"},
      {kRegBinary, "\x01", true, "Failed to get data for 'bad'"},
  };
  for (const auto& c : kCases) {
    MemoryKey key;
    key.Add("good", kRegDword, DwordData(1));
    key.Add("bad", c.type, c.data);
    key.Add("after", kRegDword, DwordData(2));
    if (c.fail_read) key.fail_read.insert("bad");
    FakeConsole console;
    console.character_device = true;
    FakeFileTest files;
    StandardOutput output(&console, kWindowsOutputBuffer);
    std::vector<std::string> names;
    key.SnapshotValueNames(&names);
    // The count is read before selection, so a pass for another name fails too.
    Failure failure = FailureOf([&] {
      RunListingPass("good", {&key, &files, &output, &names, false, false});
    });
    EXPECT_EQ(failure.type_name, "ERegistryException");
    EXPECT_EQ(failure.message, c.message);
    EXPECT_EQ(console.written, Row("good", 1));
  }
}

}  // namespace
