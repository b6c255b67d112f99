#include <windows.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "shared_dll_key/shared_dll_key.h"

namespace {

// Registry value names are at most 16,383 characters.
constexpr std::size_t kLongestName = 16384;
// How often one index is read again after ERROR_MORE_DATA.
constexpr int kGrowthRetries = 8;

// The key in the running system's registry. Every registry call is a round
// trip to the registry's owner (under Wine, to the wineserver), so the
// snapshot reads each value's type and data in the same call that gives its
// name, and the run's queries are answered from what it read. Deletions
// made by the run show at once: a deleted value reads as gone.
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
    values_.clear();
    DWORD count = 0;
    DWORD longest_name = 0;
    DWORD longest_data = 0;
    if (!QueryInfo(&count, &longest_name, &longest_data)) return;
    std::vector<char> name(longest_name + 1);
    // Never empty: a null data pointer would ask for no data at all.
    std::vector<BYTE> data(std::max<DWORD>(longest_data, 1));
    values_.reserve(count);
    std::unordered_set<std::string> repeated;
    int retries = 0;
    for (DWORD i = 0; i < count;) {
      DWORD name_length = static_cast<DWORD>(name.size());
      DWORD data_length = static_cast<DWORD>(data.size());
      DWORD type = REG_NONE;
      LONG result = RegEnumValueA(key_, i, name.data(), &name_length, nullptr, &type, data.data(),
                                  &data_length);
      if (result == ERROR_MORE_DATA && retries < kGrowthRetries) {
        // A longer name or larger data arrived meanwhile, and the registry
        // need not say which: grow both and read the same index again.
        ++retries;
        DWORD now_count = 0;
        if (QueryInfo(&now_count, &longest_name, &longest_data)) {
          data_length = std::max(data_length, longest_data);
        }
        std::size_t name_size = std::max<std::size_t>(name.size() * 2, longest_name + 1);
        name.resize(std::min(name_size, kLongestName + 1));
        data.resize(std::max<std::size_t>({data.size() * 2, data_length, 1}));
        continue;
      }
      if (result == ERROR_SUCCESS) {
        std::string value_name(name.data(), strnlen(name.data(), name_length));
        data_length = std::min<DWORD>(data_length, static_cast<DWORD>(data.size()));
        std::string value_data(reinterpret_cast<const char*>(data.data()), data_length);
        if (!values_.emplace(value_name, StoredValue{type, std::move(value_data)}).second)
          repeated.insert(value_name);
        names->push_back(std::move(value_name));
      }
      // A value that cannot be read adds nothing.
      retries = 0;
      ++i;
    }
    // Letters that the ANSI code page lacks become "?" or a look-alike, so
    // two values can enumerate under one name, and which data belongs to
    // which row is lost. Such a name reads as the registry reads it by that
    // name (no value at all when it holds a "?"), never as another value.
    for (const std::string& value_name : repeated) {
      StoredValue value;
      if (ReadByName(value_name, &value)) {
        values_[value_name] = std::move(value);
      } else {
        values_.erase(value_name);
      }
    }
  }

  ValueKind QueryValueKind(const std::string& name) override {
    return StoredValueKind(Find(name));
  }

  std::string ReadTextValue(const std::string& name) override {
    return ReadStoredText(name, Find(name));
  }

  std::int32_t ReadDwordValue(const std::string& name) override {
    return ReadStoredDword(name, Find(name));
  }

  std::size_t ReadBinaryValue(const std::string& name, std::uint8_t* buffer,
                              std::size_t capacity) override {
    return ReadStoredBinary(name, Find(name), buffer, capacity);
  }

  bool RemoveCountEntry(const std::string& name) override {
    LONG result = RegDeleteValueA(key_, name.c_str());
    // Gone now, whether this call or another program deleted it.
    if (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) values_.erase(name);
    return result == ERROR_SUCCESS;
  }

  void CloseSharedDllKey() override {
    if (key_) RegCloseKey(key_);
    key_ = nullptr;
  }

 private:
  bool QueryInfo(DWORD* count, DWORD* longest_name, DWORD* longest_data) {
    return RegQueryInfoKeyA(key_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, count,
                            longest_name, longest_data, nullptr, nullptr) == ERROR_SUCCESS;
  }

  // The value's type and data as RegQueryValueExA finds them by name.
  bool ReadByName(const std::string& name, StoredValue* value) {
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (RegQueryValueExA(key_, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
      return false;
    std::vector<BYTE> data(std::max<DWORD>(size, 1));
    DWORD length = static_cast<DWORD>(data.size());
    if (RegQueryValueExA(key_, name.c_str(), nullptr, &type, data.data(), &length) !=
        ERROR_SUCCESS) {
      return false;
    }
    length = std::min<DWORD>(length, static_cast<DWORD>(data.size()));
    *value = StoredValue{type, std::string(reinterpret_cast<const char*>(data.data()), length)};
    return true;
  }

  const StoredValue* Find(const std::string& name) const {
    auto it = values_.find(name);
    return it == values_.end() ? nullptr : &it->second;
  }

  HKEY key_ = nullptr;
  std::unordered_map<std::string, StoredValue> values_;
};

}  // namespace

std::unique_ptr<SharedDllKey> MakeRegistrySharedDllKey() {
  return std::make_unique<RegistrySharedDllKey>();
}
