#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "run_control/console.h"

namespace {

// Errors of write(2) in the terms of the system's failure messages.
std::string WriteErrorMessage(int error) {
  switch (error) {
    case ENOSPC:
    case EDQUOT:
      return InOutErrorMessage(101);
    case EACCES:
    case EPERM:
      return InOutErrorMessage(5);
    case ENOENT:
      return InOutErrorMessage(2);
    case EMFILE:
    case ENFILE:
      return InOutErrorMessage(4);
    default:
      return "I/O error " + std::to_string(error);
  }
}

class PosixConsole : public Console {
 public:
  std::string OpenOutput(bool* character_device) override {
    // A closed pipe is a failed write like any other, not a silent death.
    signal(SIGPIPE, SIG_IGN);
    struct stat info;
    if (fstat(STDOUT_FILENO, &info) != 0) return WriteErrorMessage(errno);
    *character_device = S_ISCHR(info.st_mode);
    return "";
  }

  std::string WriteOutput(const char* data, std::size_t size) override {
    while (size > 0) {
      ssize_t written = write(STDOUT_FILENO, data, size);
      if (written < 0) {
        if (errno == EINTR) continue;
        return WriteErrorMessage(errno);
      }
      data += written;
      size -= static_cast<std::size_t>(written);
    }
    return "";
  }

  std::string ProgramFileName() override {
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0) return "dlltally";
    return std::string(path, static_cast<std::size_t>(length));
  }
};

}  // namespace

std::unique_ptr<Console> MakeSystemConsole() { return std::make_unique<PosixConsole>(); }

std::uint32_t ImageRelativeAddress(const void* code_address) {
  Dl_info info;
  std::uintptr_t address = reinterpret_cast<std::uintptr_t>(code_address);
  if (dladdr(code_address, &info) && info.dli_fbase)
    address -= reinterpret_cast<std::uintptr_t>(info.dli_fbase);
  return static_cast<std::uint32_t>(address);
}
