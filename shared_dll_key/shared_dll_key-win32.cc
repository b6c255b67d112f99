#include <windows.h>

#include <cstring>
#include <vector>

#include "shared_dll_key/shared_dll_key.h"

namespace {

// Registry value names are at most 16,383 characters.
constexpr DWORD kLongestName = 16384;

class RegistrySharedDllKey : public SharedDllKey {
 public:
  ~RegistrySharedDllKey() override { CloseSharedDllKey(); }

  bool OpenSharedDllKey(bool for_cleaning) override {
    // Least access: a listing only reads; cleaning also deletes values.
    REGSAM access = KEY_READ | (for_cleaning ? KEY_SET_VALUE : 0);
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSharedDllKeyPath, 0, access, &key_) ==
           ERROR_SUCCESS;
  }

  void SnapshotValueNames(std::vector<std::string>* names) override {
    names->clear();
    DWORD count = 0;
    DWORD longest = 0;
    if (!QueryInfo(&count, &longest)) return;
    std::vector<char> buffer(longest + 1);
    for (DWORD i = 0; i < count;) {
      DWORD length = static_cast<DWORD>(buffer.size());
      LONG result = RegEnumValueA(key_, i, buffer.data(), &length, nullptr, nullptr, nullptr,
                                  nullptr);
      if (result == ERROR_MORE_DATA && buffer.size() < kLongestName + 1) {
        // A longer name was added meanwhile: grow the buffer, read i again.
        DWORD now_count = 0;
        DWORD now_longest = 0;
        std::size_t size = buffer.size() * 2;
        if (QueryInfo(&now_count, &now_longest) && now_longest + 1 > size) size = now_longest + 1;
        buffer.resize(size < kLongestName + 1 ? size : kLongestName + 1);
        continue;
      }
      if (result == ERROR_SUCCESS) names->push_back(std::string(buffer.data(), strnlen(buffer.data(), length)));
      ++i;
    }
  }

  ValueKind QueryValueKind(const std::string& name) override {
    DWORD type = 0;
    if (RegQueryValueExA(key_, name.c_str(), nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS)
      return ValueKind::vkOther;
    return KindOfType(type);
  }

  std::string ReadTextValue(const std::string& name) override {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key_, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        size == 0) {
      return "";
    }
    std::vector<char> data(size);
    DWORD length = size;
    if (RegQueryValueExA(key_, name.c_str(), nullptr, &type,
                         reinterpret_cast<BYTE*>(data.data()), &length) != ERROR_SUCCESS) {
      RaiseFailedToGetData(name);
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) RaiseInvalidDataType(name);
    if (length > size) length = size;
    return std::string(data.data(), strnlen(data.data(), length));
  }

  std::int32_t ReadDwordValue(const std::string& name) override {
    // Zeroed first: data shorter than 4 bytes leaves its upper bytes 0.
    BYTE data[4] = {0, 0, 0, 0};
    DWORD type = 0;
    DWORD length = sizeof data;
    if (RegQueryValueExA(key_, name.c_str(), nullptr, &type, data, &length) != ERROR_SUCCESS)
      RaiseFailedToGetData(name);
    if (type != REG_DWORD) RaiseInvalidDataType(name);
    std::uint32_t count = data[0] | (data[1] << 8) | (data[2] << 16) |
                          (static_cast<std::uint32_t>(data[3]) << 24);
    return static_cast<std::int32_t>(count);
  }

  std::size_t ReadBinaryValue(const std::string& name, std::uint8_t* buffer,
                              std::size_t capacity) override {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key_, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
      return 0;
    if (type != REG_BINARY || size > capacity) RaiseInvalidDataType(name);
    DWORD length = size;
    if (RegQueryValueExA(key_, name.c_str(), nullptr, &type, buffer, &length) != ERROR_SUCCESS)
      RaiseFailedToGetData(name);
    return length;
  }

  bool RemoveCountEntry(const std::string& name) override {
    return RegDeleteValueA(key_, name.c_str()) == ERROR_SUCCESS;
  }

  void CloseSharedDllKey() override {
    if (key_) RegCloseKey(key_);
    key_ = nullptr;
  }

 private:
  bool QueryInfo(DWORD* count, DWORD* longest) {
    return RegQueryInfoKeyA(key_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, count,
                            longest, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  }

  HKEY key_ = nullptr;
};

}  // namespace

std::unique_ptr<SharedDllKey> MakeRegistrySharedDllKey() {
  return std::make_unique<RegistrySharedDllKey>();
}
