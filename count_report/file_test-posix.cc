#include <sys/stat.h>

#include <cerrno>

#include "count_report/file_test.h"

namespace {

class PosixFileTest : public FileTest {
 public:
  FilePresence FilePresent(const std::string& name) override {
    struct stat info;
    if (stat(name.c_str(), &info) == 0) {
      return S_ISDIR(info.st_mode) ? FilePresence::kAbsent : FilePresence::kPresent;
    }
    switch (errno) {
      case ENOENT:
      case ENOTDIR:
      case ENAMETOOLONG:
        return FilePresence::kAbsent;
      default:  // access denied, I/O error, a dead mount: we cannot know
        return FilePresence::kCannotTell;
    }
  }
};

}  // namespace

std::unique_ptr<FileTest> MakeSystemFileTest() { return std::make_unique<PosixFileTest>(); }
