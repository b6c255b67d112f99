#include <windows.h>

#include <vector>

#include "run_control/console.h"

namespace {

class Win32Console : public Console {
 public:
  std::string OpenOutput(bool* character_device) override {
    output_ = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output_ == nullptr || output_ == INVALID_HANDLE_VALUE)
      return InOutErrorMessage(ERROR_INVALID_HANDLE);
    DWORD type = GetFileType(output_);
    if (type == FILE_TYPE_UNKNOWN) {
      DWORD error = GetLastError();
      return InOutErrorMessage(error != NO_ERROR ? error : ERROR_INVALID_HANDLE);
    }
    *character_device = type == FILE_TYPE_CHAR;
    return "";
  }

  std::string WriteOutput(const char* data, std::size_t size) override {
    // The count written is not looked at: a short write is not a failure.
    DWORD written = 0;
    if (!WriteFile(output_, data, static_cast<DWORD>(size), &written, nullptr))
      return InOutErrorMessage(GetLastError());
    return "";
  }

  std::string ProgramFileName() override {
    std::vector<char> path(MAX_PATH);
    for (;;) {
      DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
      if (length == 0) return "dlltally.exe";
      if (length < path.size()) return std::string(path.data(), length);
      path.resize(path.size() * 2);
    }
  }

 private:
  HANDLE output_ = nullptr;
};

}  // namespace

std::unique_ptr<Console> MakeSystemConsole() { return std::make_unique<Win32Console>(); }

std::uint32_t ImageRelativeAddress(const void* code_address) {
  std::uintptr_t base = reinterpret_cast<std::uintptr_t>(GetModuleHandleA(nullptr));
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(code_address) - base);
}
