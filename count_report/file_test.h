#ifndef DLLTALLY_COUNT_REPORT_FILE_TEST_H_
#define DLLTALLY_COUNT_REPORT_FILE_TEST_H_

#include <memory>
#include <string>

// The three answers to "is this file there?". A value is deleted only on
// kAbsent: "could not check" must never be taken for "missing".
enum class FilePresence { kPresent, kAbsent, kCannotTell };

// The file-existence test that cleaning asks. Abstract so tests can answer
// for any name, including the answers a test machine cannot produce.
class FileTest {
 public:
  virtual ~FileTest() = default;

  // kPresent when the name finds an entry that is not a directory; kAbsent
  // when the system says there is no such file (or the entry is a
  // directory, or the name cannot name a file); kCannotTell otherwise.
  virtual FilePresence FilePresent(const std::string& name) = 0;
};

// The running system's file test: FindFirstFileA on Windows, stat elsewhere.
std::unique_ptr<FileTest> MakeSystemFileTest();

#endif  // DLLTALLY_COUNT_REPORT_FILE_TEST_H_
