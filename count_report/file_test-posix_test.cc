#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "count_report/mounted_file_test.h"

namespace {

namespace fs = std::filesystem;

TEST(WildcardMatches, AsWindowsSearches) {
  const struct {
    const char* pattern;
    const char* name;
    bool matches;
  } kCases[] = {
      {"*", "foo.dll", true},         {"*.dll", "FOO.DLL", true},
      {"*.dll", "foo.dl", false},     {"f?o.dll", "fOo.dll", true},
      {"f?o.dll", "fo.dll", false},   {"foo?.dll", "foo.dll", true},  // ? takes no dot
      {"foo??", "foo", true},         {"*.*", "foo", true},
      {"foo.*", "foo", true},         {"foo.*", "foo.bar", true},
      {"*oo*", "foo.dll", true},      {"*x*", "foo.dll", false},
      {"a*b*c", "aXbYc", true},       {"a*b*c", "aXbY", false},
      {"*", ".", true},               {"foo", "foo.dll", false},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(WildcardMatches(c.pattern, c.name), c.matches) << c.pattern << " " << c.name;
  }
}

class MountedVolumeTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string path = (fs::temp_directory_path() / "dlltally-volume-XXXXXX").string();
    ASSERT_NE(mkdtemp(path.data()), nullptr);
    root_ = path;
    fs::create_directories(root_ / "Windows" / "System32");
    fs::create_directories(root_ / "Windows" / "SYSTEM");
    fs::create_directories(root_ / "Data" / "folder.dll");
    Touch("Windows/System32/present.dll");
    Touch("Windows/System32/\xc3\xa4rger.dll");
    Touch("Windows/SYSTEM/Mixed.Dll");
    Touch("Data/file");
    // Two names one letter case apart, as a case-sensitive copy can hold.
    fs::create_directories(root_ / "Twin" / "x.dll");
    Touch("Twin/X.DLL");
    fs::create_symlink("/etc", root_ / "Linked");
  }
  void TearDown() override { fs::remove_all(root_); }

  void Touch(const std::string& relative) { std::ofstream(root_ / relative) << "x"; }

  fs::path root_;
};

TEST_F(MountedVolumeTest, FindsNamesAsWindowsWould) {
  std::string error;
  std::unique_ptr<FileTest> files = MakeMountedVolumeFileTest(root_.string(), &error);
  ASSERT_NE(files, nullptr) << error;
  const FilePresence kPresent = FilePresence::kPresent;
  const FilePresence kAbsent = FilePresence::kAbsent;
  const FilePresence kCannotTell = FilePresence::kCannotTell;
  const struct {
    std::string name;
    FilePresence presence;
  } kCases[] = {
      {"C:\\Windows\\System32\\present.dll", kPresent},
      {"c:\\WINDOWS\\system32\\PRESENT.DLL", kPresent},
      {"C:\\windows\\system\\mixed.dll", kPresent},
      {"\\Windows\\System32\\present.dll", kPresent},
      {"C:/Windows/System32/present.dll", kPresent},
      {"C:\\Windows\\\\System32\\.\\present.dll", kPresent},
      {"C:\\Windows\\Temp\\..\\System32\\present.dll", kPresent},
      {"C:\\..\\Windows\\System32\\present.dll", kPresent},
      {"C:\\Windows\\System32\\present.dll. .", kPresent},
      {"C:\\Windows\\System32\\p*.dll", kPresent},
      {"C:\\Windows\\System32\\present.dl?", kPresent},
      {"C:\\Twin\\x.dll", kPresent},  // one of the two is a file
      {"C:\\Windows\\System32\\gone.dll", kAbsent},
      {"C:\\Windows\\Gone\\present.dll", kAbsent},
      {"C:\\Data\\file\\present.dll", kAbsent},  // a file where a folder should be
      {"C:\\Data\\folder.dll", kAbsent},
      {"C:\\Windows\\System32\\*", kAbsent},  // "." comes first
      {"C:\\Windows\\Sys*\\present.dll", kAbsent},
      {"C:\\Windows\\System32\\q*.dll", kAbsent},
      {"", kAbsent},
      {"C:\\", kAbsent},
      {"\\", kAbsent},
      {"C:\\Windows\\", kAbsent},
      {"C:\\.", kAbsent},
      {"D:\\Windows\\System32\\present.dll", kCannotTell},
      {"\\\\server\\share\\present.dll", kCannotTell},
      {"\\\\?\\C:\\Windows\\System32\\present.dll", kCannotTell},
      {"present.dll", kCannotTell},
      {"Windows\\System32\\present.dll", kCannotTell},
      {"C:present.dll", kCannotTell},
      {"C:", kCannotTell},
      {"C:\\Linked\\passwd", kCannotTell},  // a link may lead off the volume
      // Short 8.3 aliases are not on the mounted volume, but Windows finds them.
      {"C:\\WINDOW~1\\System32\\present.dll", kCannotTell},
      {"C:\\Windows\\System32\\PRESEN~1.DLL", kCannotTell},
      {"C:\\Windows\\System32\\PRESENTLY~1.DLL", kAbsent},
      {"C:\\Windows\\System32\\GONE~.DLL", kAbsent},
      // Letters beyond A to Z are folded by Windows, not here.
      {"C:\\Windows\\System32\\\xc3\xa4rger.dll", kPresent},
      {"C:\\Windows\\System32\\\xc3\x84RGER.DLL", kCannotTell},
      {"C:\\Windows\\System32\\" + std::string(260, 'x'), kCannotTell},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(files->FilePresent(c.name), c.presence) << c.name;
  }
}

TEST_F(MountedVolumeTest, RefusesARootThatCannotBeUsed) {
  std::string error;
  EXPECT_EQ(MakeMountedVolumeFileTest((root_ / "missing").string(), &error), nullptr);
  EXPECT_EQ(error, "No such file or directory");
  EXPECT_EQ(MakeMountedVolumeFileTest((root_ / "Data" / "file").string(), &error), nullptr);
  EXPECT_EQ(error, "Not a directory");
  fs::create_directories(root_ / "empty");
  EXPECT_EQ(MakeMountedVolumeFileTest((root_ / "empty").string(), &error), nullptr);
  EXPECT_EQ(error, "the folder is empty; is the volume mounted?");
}

}  // namespace
