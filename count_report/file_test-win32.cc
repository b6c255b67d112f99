#include <windows.h>

#include "count_report/file_test.h"

namespace {

class Win32FileTest : public FileTest {
 public:
  FilePresence FilePresent(const std::string& name) override {
    // The name goes to the search unchanged: wildcards find their first
    // match and a relative name is found from the current folder.
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(name.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
      switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
          return FilePresence::kAbsent;
        default:  // access denied, device not ready, network unreachable...
          return FilePresence::kCannotTell;
      }
    }
    FindClose(search);
    // Only the kind of entry decides; its timestamp does not.
    return (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? FilePresence::kAbsent
                                                               : FilePresence::kPresent;
  }
};

}  // namespace

std::unique_ptr<FileTest> MakeSystemFileTest() { return std::make_unique<Win32FileTest>(); }
