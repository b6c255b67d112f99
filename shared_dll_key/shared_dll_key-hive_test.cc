#include <hivex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "shared_dll_key/hive_key.h"
#include "shared_dll_key/memory_key.h"
#include "tests/hive/hive_fixture.h"

namespace {

namespace fs = std::filesystem;

std::string FileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

void WriteFileBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// UTF-16LE bytes of the units, as a cell stores a name that is not Latin-1.
std::string Utf16Bytes(std::initializer_list<std::uint16_t> units) {
  std::string bytes;
  for (std::uint16_t unit : units) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

class HiveKeyTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string path = (fs::temp_directory_path() / "dlltally-hive-XXXXXX").string();
    ASSERT_NE(mkdtemp(path.data()), nullptr);
    folder_ = path;
    hive_ = (folder_ / "SOFTWARE").string();
  }
  void TearDown() override { fs::remove_all(folder_); }

  void Write(const std::vector<FixtureValue>& values) {
    FixtureHive fixture;
    fixture.values = values;
    ASSERT_EQ(WriteFixtureHive(hive_, fixture), "");
  }

  // The names of the values a fresh read of the hive finds.
  std::vector<std::string> NamesInHive() {
    std::string ignored;
    HiveOpening opening = OpenHiveKey(hive_, false, &ignored);
    std::vector<std::string> names;
    if (opening.key && opening.key->OpenSharedDllKey(false))
      opening.key->SnapshotValueNames(&names);
    return names;
  }

  // Files in the folder besides the hive.
  std::vector<std::string> Leftovers() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_)) {
      if (entry.path().string() != hive_) names.push_back(entry.path().filename());
    }
    return names;
  }

  fs::path folder_;
  std::string hive_;
};

TEST_F(HiveKeyTest, AnswersFromTheValuesReadAtOpen) {
  Write({{"C:\\A.dll", kRegDword, DwordBytes(1)},
         {"C:\\a.dll", kRegDword, DwordBytes(2)},
         {"C:\\text.dll", kRegSz, TextData("$1f")},
         {"C:\\A.dll", kRegDword, DwordBytes(3)},
         {"C:\\bin.dll", kRegBinary, std::string("\x2c\x01", 2)}});
  std::string before = FileBytes(hive_);
  std::string save_error;
  HiveOpening opening = OpenHiveKey(hive_, true, &save_error);
  ASSERT_NE(opening.key, nullptr) << opening.error_line;
  SharedDllKey& key = *opening.key;
  ASSERT_TRUE(key.OpenSharedDllKey(true));
  std::vector<std::string> names;
  key.SnapshotValueNames(&names);
  EXPECT_EQ(names, (std::vector<std::string>{"C:\\A.dll", "C:\\a.dll", "C:\\text.dll",
                                             "C:\\A.dll", "C:\\bin.dll"}));
  // Names are matched exactly: a name one letter case apart is another value.
  EXPECT_EQ(key.ReadDwordValue("C:\\A.dll"), 1);
  EXPECT_EQ(key.ReadDwordValue("C:\\a.dll"), 2);
  EXPECT_EQ(key.QueryValueKind("C:\\TEXT.DLL"), ValueKind::vkOther);
  EXPECT_EQ(key.ReadTextValue("C:\\text.dll"), "$1f");
  std::uint8_t buffer[4] = {9, 9, 9, 9};
  EXPECT_EQ(key.ReadBinaryValue("C:\\bin.dll", buffer, 4), 2u);
  EXPECT_EQ(buffer[0], 0x2c);
  EXPECT_EQ(buffer[2], 9);

  // A deleted value reads as gone; of two of one name, the first goes first.
  EXPECT_TRUE(key.RemoveCountEntry("C:\\A.dll"));
  EXPECT_EQ(key.ReadDwordValue("C:\\A.dll"), 3);
  EXPECT_TRUE(key.RemoveCountEntry("C:\\A.dll"));
  EXPECT_EQ(key.QueryValueKind("C:\\A.dll"), ValueKind::vkOther);
  EXPECT_FALSE(key.RemoveCountEntry("C:\\A.dll"));
  EXPECT_FALSE(key.RemoveCountEntry("C:\\missing.dll"));
  // Nothing is written before the key is closed, and while a cleaner has
  // the hive open nobody else may open it.
  EXPECT_EQ(FileBytes(hive_), before);
  std::string ignored;
  EXPECT_EQ(OpenHiveKey(hive_, false, &ignored).error_line,
            "Error: Could not open hive " + hive_ + ": it is in use by another run");
  key.CloseSharedDllKey();
  EXPECT_EQ(save_error, "");
  EXPECT_EQ(NamesInHive(),
            (std::vector<std::string>{"C:\\a.dll", "C:\\text.dll", "C:\\bin.dll"}));
  EXPECT_TRUE(Leftovers().empty());
}

// Names are taken from the cells in the file when they are plain and from
// hivex otherwise. Either way the snapshot must hold exactly the names that
// hivex reads, in UTF-8, and leave out a value whose name hivex cannot read.
TEST_F(HiveKeyTest, NamesReadAsHivexReadsThem) {
  const struct {
    const char* what;
    std::uint16_t flags;  // bit 0: the name is Latin-1, else UTF-16LE
    std::string name;     // as the cell stores it
    int name_size = -1;   // the size the cell gives, when not the name's own
  } kCases[] = {
      {"ASCII, two whole words", 1, "abcdefghijklmnop"},
      {"ASCII, a part word", 1, "C:\\Windows\\System32\\x.dll"},
      {"Latin-1 after a word", 1, "abcdefgh\xe9ijklmnop"},
      {"Latin-1 letters", 1, "C:\\\xff\xe9\x80" "abcdefgh\xc0.dll"},
      {"Latin-1 control bytes", 1, "ABCDEFG\x7f\x01\x02"},
      {"Latin-1 with a NUL", 1, std::string("ab\0cd", 5)},
      {"Latin-1, other flag bits", 3, "flags"},
      {"empty Latin-1", 1, ""},
      {"empty UTF-16", 0, ""},
      {"UTF-16 of one to three bytes each", 0,
       Utf16Bytes({'C', ':', 0xE9, 0x20AC, 0x800, 0x7FF, 0xFFEF})},
      {"UTF-16, other flag bits", 2, Utf16Bytes({'x', 0x100})},
      {"UTF-16 pair", 0, Utf16Bytes({'a', 0xD83D, 0xDE00, 'b'})},
      {"UTF-16 byte-order mark", 0, Utf16Bytes({0xFEFF, 'a'})},
      {"UTF-16 non-characters", 0, Utf16Bytes({'a', 0xFFFE, 0xFFFF})},
      {"UTF-16 with a NUL", 0, Utf16Bytes({'a', 0, 'b'})},
      {"UTF-16 of an odd size", 0, Utf16Bytes({'a'}) + "b"},
      {"UTF-16 lone low half", 0, Utf16Bytes({'a', 0xDC00, 'b'})},
      {"UTF-16 high half at the end", 0, Utf16Bytes({'a', 0xD800})},
      {"UTF-16 two high halves", 0, Utf16Bytes({0xD800, 0xD800})},
      {"name beyond its cell", 1, "abc", 0x7000},
  };
  // Placeholders whose cells have room for the names put there below.
  std::vector<FixtureValue> placeholders;
  for (std::size_t i = 0; i < std::size(kCases); ++i) {
    placeholders.push_back({"C:\\PLACEHOLDER" + std::to_string(100 + i) + std::string(40, 'x'),
                            kRegDword, DwordBytes(static_cast<std::uint32_t>(i))});
  }
  Write(placeholders);
  std::string bytes = FileBytes(hive_);
  for (std::size_t i = 0; i < std::size(kCases); ++i) {
    std::size_t name_at = bytes.find(placeholders[i].name);
    ASSERT_NE(name_at, std::string::npos);
    std::size_t cell = name_at - 0x18;
    ASSERT_EQ(bytes.substr(cell + 4, 2), "vk");
    const auto& c = kCases[i];
    std::uint16_t size = static_cast<std::uint16_t>(c.name_size < 0 ? c.name.size() : c.name_size);
    bytes.replace(name_at, c.name.size(), c.name);
    std::memcpy(&bytes[cell + 6], &size, 2);
    std::memcpy(&bytes[cell + 0x14], &c.flags, 2);
  }
  WriteFileBytes(hive_, bytes);

  std::vector<std::string> expected;
  hive_h* h = hivex_open(hive_.c_str(), 0);
  ASSERT_NE(h, nullptr);
  hive_node_h node = hivex_root(h);
  for (const char* part : {"Microsoft", "Windows", "CurrentVersion", "SharedDLLs"})
    node = hivex_node_get_child(h, node, part);
  hive_value_h* handles = hivex_node_values(h, node);
  ASSERT_NE(handles, nullptr);
  for (std::size_t i = 0; handles[i]; ++i) {
    char* name = hivex_value_key(h, handles[i]);
    if (name) expected.push_back(name);
    free(name);
  }
  free(handles);
  hivex_close(h);
  EXPECT_LT(expected.size(), std::size(kCases));  // some cannot be read
  EXPECT_EQ(NamesInHive(), expected);
}

// A listing asks for the values in their order, a pass after another, and
// a clean deletes some as it goes; names that several values share are
// answered for the first of them still there. The hive key must answer as
// a key that looks every name up afresh.
TEST_F(HiveKeyTest, ALookupInListingOrderAnswersAsAFreshLookup) {
  const std::vector<std::string> kNames = {"C:\\x.dll", "C:\\y.dll", "C:\\x.dll", "C:\\X.dll",
                                           "C:\\z.dll", "C:\\x.dll", "C:\\y.dll"};
  std::vector<FixtureValue> values;
  MemoryKey reference;
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    values.push_back({kNames[i], kRegDword, DwordBytes(static_cast<std::uint32_t>(i + 1))});
    reference.Add(kNames[i], kRegDword, DwordBytes(static_cast<std::uint32_t>(i + 1)));
  }
  Write(values);
  std::string save_error;
  HiveOpening opening = OpenHiveKey(hive_, true, &save_error);
  ASSERT_NE(opening.key, nullptr) << opening.error_line;
  SharedDllKey& key = *opening.key;
  std::vector<std::string> names;
  key.SnapshotValueNames(&names);
  ASSERT_EQ(names, kNames);
  // Three passes; the first deletes the value it visits at 2 and 4, the
  // second at 0 and 6 (names already deleted once go again).
  const std::set<std::pair<int, std::size_t>> kRemoved = {{0, 2}, {0, 4}, {1, 0}, {1, 6}};
  for (int pass = 0; pass < 3; ++pass) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      SCOPED_TRACE("pass " + std::to_string(pass) + ", value " + std::to_string(i));
      const std::string& name = names[i];
      ValueKind kind = reference.QueryValueKind(name);
      ASSERT_EQ(key.QueryValueKind(name), kind);
      if (kind == ValueKind::vkDword) {
        EXPECT_EQ(key.ReadDwordValue(name), reference.ReadDwordValue(name));
      }
      if (kRemoved.count({pass, i})) {
        EXPECT_EQ(key.RemoveCountEntry(name), reference.RemoveCountEntry(name));
      }
    }
  }
  key.CloseSharedDllKey();
  EXPECT_EQ(save_error, "");
  std::vector<std::string> left;
  for (const MemoryKey::Value& value : reference.values) left.push_back(value.name);
  EXPECT_EQ(NamesInHive(), left);
}

TEST_F(HiveKeyTest, ARunThatDeletesNothingWritesNothing) {
  Write({{"C:\\a.dll", kRegDword, DwordBytes(1)}});
  std::string before = FileBytes(hive_);
  struct stat old_info;
  ASSERT_EQ(stat(hive_.c_str(), &old_info), 0);
  std::string save_error;
  HiveSaveSteps steps = SystemSaveSteps();
  bool committed = false;
  steps.commit = [&](hive_h*, const char*) {
    committed = true;
    return -1;
  };
  HiveOpening opening = OpenHiveKey(hive_, true, &save_error, steps);
  ASSERT_NE(opening.key, nullptr);
  opening.key->CloseSharedDllKey();
  EXPECT_FALSE(committed);
  struct stat new_info;
  ASSERT_EQ(stat(hive_.c_str(), &new_info), 0);
  EXPECT_EQ(new_info.st_ino, old_info.st_ino);
  EXPECT_EQ(FileBytes(hive_), before);
}

// A damaged list of values that names one value's cell twice: hivex would
// stop the process when it frees the old cells during a clean's save. The
// clean is refused before anything runs; a listing shows both entries.
TEST_F(HiveKeyTest, ACellListedTwiceIsRefusedForCleaning) {
  Write({{"C:\\a.dll", kRegDword, DwordBytes(1)}, {"C:\\b.dll", kRegDword, DwordBytes(2)}});
  hive_h* h = hivex_open(hive_.c_str(), 0);
  ASSERT_NE(h, nullptr);
  hive_node_h node = hivex_root(h);
  for (const char* part : {"Microsoft", "Windows", "CurrentVersion", "SharedDLLs"})
    node = hivex_node_get_child(h, node, part);
  hivex_close(h);
  ASSERT_NE(node, 0u);
  std::string bytes = FileBytes(hive_);
  std::uint32_t list = 0;
  std::memcpy(&list, bytes.data() + node + 0x2C, 4);
  // The list's cell: its size, then the values' cells; the second becomes the first.
  std::memcpy(bytes.data() + 0x1000 + list + 8, bytes.data() + 0x1000 + list + 4, 4);
  WriteFileBytes(hive_, bytes);

  std::string save_error;
  HiveOpening cleaning = OpenHiveKey(hive_, true, &save_error);
  EXPECT_EQ(cleaning.key, nullptr);
  EXPECT_EQ(cleaning.error_line, "Error: Will not change hive " + hive_ +
                                     ": a cell of Microsoft\\Windows\\CurrentVersion\\SharedDLLs"
                                     " is used twice");
  EXPECT_EQ(FileBytes(hive_), bytes);
  EXPECT_EQ(NamesInHive(), (std::vector<std::string>{"C:\\a.dll", "C:\\a.dll"}));
}

// Every way the save can fail leaves the hive byte for byte as it was, no
// copy beside it, and one line that says why.
TEST_F(HiveKeyTest, AFailedSaveLeavesTheHiveAsItWas) {
  auto fail_with = [](int error) {
    return [error](auto...) {
      errno = error;
      return -1;
    };
  };
  const struct {
    const char* what;
    std::function<void(HiveSaveSteps*)> break_step;
    std::string reason;
  } kCases[] = {
      {"full disk", [&](HiveSaveSteps* s) { s->commit = fail_with(ENOSPC); },
       "No space left on device"},
      {"sync", [&](HiveSaveSteps* s) { s->sync_file = fail_with(EIO); }, "Input/output error"},
      {"rename", [&](HiveSaveSteps* s) { s->rename_file = fail_with(EXDEV); },
       "Invalid cross-device link"},
      // A commit that writes a hive without the deletions (as a truncated
      // write could) is caught by reading the copy back.
      {"wrong copy",
       [&](HiveSaveSteps* s) {
         std::string original = hive_;
         s->commit = [original](hive_h*, const char* path) {
           fs::copy_file(original, path, fs::copy_options::overwrite_existing);
           return 0;
         };
       },
       "the written copy did not read back right: it holds another number of values"},
      // A commit cut short by a full disk, at a page boundary where hivex
      // would still open it.
      {"cut copy",
       [&](HiveSaveSteps* s) {
         s->commit = [](hive_h* hive, const char* path) {
           int result = hivex_commit(hive, path, 0);
           fs::resize_file(path, 0x2000);
           return result;
         };
       },
       "the written copy did not read back right: the file is cut short"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    Write({{"C:\\a.dll", kRegDword, DwordBytes(1)}, {"C:\\b.dll", kRegDword, DwordBytes(2)}});
    std::string before = FileBytes(hive_);
    HiveSaveSteps steps = SystemSaveSteps();
    c.break_step(&steps);
    std::string save_error;
    HiveOpening opening = OpenHiveKey(hive_, true, &save_error, steps);
    ASSERT_NE(opening.key, nullptr);
    EXPECT_TRUE(opening.key->RemoveCountEntry("C:\\a.dll"));
    opening.key->CloseSharedDllKey();
    std::string prefix = "Error: Could not save hive " + hive_ + ": ";
    EXPECT_EQ(save_error.substr(0, prefix.size()), prefix);
    EXPECT_NE(save_error.find(c.reason), std::string::npos) << save_error;
    EXPECT_EQ(FileBytes(hive_), before);
    EXPECT_TRUE(Leftovers().empty());
  }
}

TEST_F(HiveKeyTest, TheNewHiveKeepsModeAndTheRestOfTheHive) {
  Write({{"C:\\a.dll", kRegDword, DwordBytes(1)},
         {"C:\\big.dll", kRegBinary, std::string(kLongestRewritableData, 'x')},
         {"C:\\b.dll", kRegSz, TextData("12")}});
  ASSERT_EQ(chmod(hive_.c_str(), 0604), 0);
  std::string save_error;
  HiveOpening opening = OpenHiveKey(hive_, true, &save_error);
  ASSERT_NE(opening.key, nullptr) << opening.error_line;
  opening.key->RemoveCountEntry("C:\\a.dll");
  opening.key.reset();  // closing saves
  EXPECT_EQ(save_error, "");
  struct stat info;
  ASSERT_EQ(stat(hive_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0604u);

  hive_h* h = hivex_open(hive_.c_str(), 0);
  ASSERT_NE(h, nullptr);
  hive_node_h node = hivex_node_get_child(h, hivex_root(h), "Microsoft");
  node = hivex_node_get_child(h, node, "Windows");
  node = hivex_node_get_child(h, node, "CurrentVersion");
  hive_value_h other = hivex_node_get_value(h, node, "ProgramFilesDir");
  ASSERT_NE(other, 0u);
  char* text = hivex_value_string(h, other);
  EXPECT_STREQ(text, "C:\\Program Files");
  free(text);
  node = hivex_node_get_child(h, node, "SharedDLLs");
  hive_type type;
  size_t size = 0;
  char* data = hivex_value_value(h, hivex_node_get_value(h, node, "C:\\big.dll"), &type, &size);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(std::string(data, size), std::string(kLongestRewritableData, 'x'));
  free(data);
  hivex_close(h);
}

}  // namespace
