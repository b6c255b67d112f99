#include "count_report/file_test.h"
#include "run_control/console.h"
#include "run_control/run_control.h"
#include "shared_dll_key/shared_dll_key.h"

namespace {

// This system has no registry of its own: the key never opens.
class NoRegistryKey : public SharedDllKey {
 public:
  bool OpenSharedDllKey(bool) override { return false; }
  void SnapshotValueNames(std::vector<std::string>* names) override { names->clear(); }
  ValueKind QueryValueKind(const std::string&) override { return ValueKind::vkOther; }
  std::string ReadTextValue(const std::string&) override { return ""; }
  std::int32_t ReadDwordValue(const std::string& name) override { RaiseFailedToGetData(name); }
  std::size_t ReadBinaryValue(const std::string&, std::uint8_t*, std::size_t) override {
    return 0;
  }
  bool RemoveCountEntry(const std::string&) override { return false; }
  void CloseSharedDllKey() override {}
};

// Large writes to files and pipes; a terminal still gets every statement.
constexpr std::size_t kNativeOutputBuffer = 64 * 1024;

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  NoRegistryKey key;
  std::unique_ptr<FileTest> files = MakeSystemFileTest();
  std::unique_ptr<Console> console = MakeSystemConsole();
  return RunControl(arguments, {&key, files.get(), console.get(), kNativeOutputBuffer});
}
