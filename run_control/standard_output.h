#ifndef DLLTALLY_RUN_CONTROL_STANDARD_OUTPUT_H_
#define DLLTALLY_RUN_CONTROL_STANDARD_OUTPUT_H_

#include <cstddef>
#include <string>
#include <string_view>

class Console;

// Buffered standard output. Every call of Write is one write statement: the
// buffer goes out whenever it fills and, on a character device, at the end
// of every statement. When a write-out fails, the buffer and the rest of the
// statement are dropped and EInOutError is raised at the statement's end.
class StandardOutput {
 public:
  StandardOutput(Console* console, std::size_t buffer_size);

  void Write(std::string_view text);

  // Writes out what the buffer still holds when the program ends. Returns
  // false when that write failed, so the run cannot claim success.
  bool WriteRemainder();

 private:
  // Writes the buffer out and empties it; returns "" or the failure.
  std::string WriteBuffer();

  Console* console_;
  std::size_t buffer_size_;
  std::string buffer_;
  bool opened_ = false;
  bool character_device_ = false;
  std::string open_failure_;
};

#endif  // DLLTALLY_RUN_CONTROL_STANDARD_OUTPUT_H_
