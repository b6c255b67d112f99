#include <windows.h>

#include "count_report/file_test.h"
#include "run_control/command_line.h"
#include "run_control/console.h"
#include "run_control/run_control.h"
#include "shared_dll_key/shared_dll_key.h"

int main() {
  std::vector<std::string> arguments = SplitCommandLine(GetCommandLineA());
  std::unique_ptr<SharedDllKey> key = MakeRegistrySharedDllKey();
  std::unique_ptr<FileTest> files = MakeSystemFileTest();
  std::unique_ptr<Console> console = MakeSystemConsole();
  int exit_code = RunControl(arguments, {key.get(), files.get(), console.get(),
                                         kWindowsOutputBuffer});
  ExitProcess(static_cast<UINT>(exit_code));
}
