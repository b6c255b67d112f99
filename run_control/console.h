#ifndef DLLTALLY_RUN_CONTROL_CONSOLE_H_
#define DLLTALLY_RUN_CONTROL_CONSOLE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// The process's console: its standard output and its own file name.
// Abstract so tests can record the bytes and fail chosen writes; the real
// implementation is made by MakeSystemConsole() in console-posix.cc or
// console-win32.cc.
class Console {
 public:
  virtual ~Console() = default;

  // Takes standard output for writing; called once, at the first write.
  // Returns "" or, when there is no handle or its kind cannot be told, the
  // message of the failed write. Sets *character_device for a console.
  virtual std::string OpenOutput(bool* character_device) = 0;

  // Writes bytes as they are. Returns "" or the failed write's message.
  virtual std::string WriteOutput(const char* data, std::size_t size) = 0;

  // The program's file name as the system reports it, folder included.
  virtual std::string ProgramFileName() = 0;
};

std::unique_ptr<Console> MakeSystemConsole();

// The message of a failed write for a system error code: "Disk full" for
// 101, "I/O error 112" for a code without a text of its own, and so on.
std::string InOutErrorMessage(unsigned code);

// A code address as an offset into the program's image, so that the
// address in a failure report is the same from run to run.
std::uint32_t ImageRelativeAddress(const void* code_address);

#endif  // DLLTALLY_RUN_CONTROL_CONSOLE_H_
