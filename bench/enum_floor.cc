// The least any tool can do to list the shared-DLL key: open it and
// enumerate the value names, reading no data. The benchmark's floor.
#include <windows.h>

#include <cstdio>
#include <vector>

int main() {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs",
                    0, KEY_READ, &key) != ERROR_SUCCESS) {
    return 1;
  }
  DWORD count = 0;
  DWORD longest = 0;
  RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &longest,
                   nullptr, nullptr, nullptr);
  std::vector<char> name(longest + 1);
  DWORD found = 0;
  for (DWORD i = 0; i < count; ++i) {
    DWORD length = static_cast<DWORD>(name.size());
    if (RegEnumValueA(key, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr) ==
        ERROR_SUCCESS) {
      ++found;
    }
  }
  RegCloseKey(key);
  std::printf("%lu\n", static_cast<unsigned long>(found));
  return 0;
}
