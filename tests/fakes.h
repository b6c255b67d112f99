#ifndef DLLTALLY_TESTS_FAKES_H_
#define DLLTALLY_TESTS_FAKES_H_

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "count_report/file_test.h"
#include "run_control/console.h"

// Standard output that records the bytes of every successful write-out and
// can fail chosen ones.
class FakeConsole : public Console {
 public:
  bool character_device = false;
  std::string open_failure;     // returned by OpenOutput when not ""
  std::set<int> fail_writes;    // numbers (from 1) of write-outs that fail
  bool fail_all_writes = false;
  std::string failure_message = "I/O error 112";
  std::string program_file = "C:\\Tools\\dlltally.exe";

  std::string written;               // all bytes written, in order
  std::vector<std::string> writes;   // each write-out's bytes
  int open_calls = 0;

  // Runs before each write-out with its bytes, to look at the world then.
  std::function<void(const std::string&)> on_write;

  std::string OpenOutput(bool* is_character_device) override;
  std::string WriteOutput(const char* data, std::size_t size) override;
  std::string ProgramFileName() override { return program_file; }
};

// Answers the file test from a table; names not in it are absent.
class FakeFileTest : public FileTest {
 public:
  std::map<std::string, FilePresence> answers;
  std::vector<std::string> asked;

  FilePresence FilePresent(const std::string& name) override;
};

// Replaces the 8-digit address of a failure report with "@ADDRESS@", so that
// whole outputs can be compared; an address of another form is left as it is
// and so fails the comparison.
std::string MaskReportAddress(const std::string& output);

#endif  // DLLTALLY_TESTS_FAKES_H_
