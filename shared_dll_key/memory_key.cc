#include "shared_dll_key/memory_key.h"

#include <algorithm>

void MemoryKey::Add(std::string name, std::uint32_t type, std::string data) {
  values.push_back({std::move(name), StoredValue{type, std::move(data)}});
}

bool MemoryKey::OpenSharedDllKey(bool for_cleaning) {
  log.push_back(for_cleaning ? "Open clean" : "Open read");
  open = key_exists;
  return open;
}

void MemoryKey::SnapshotValueNames(std::vector<std::string>* names) {
  log.push_back("Snapshot");
  names->clear();
  if (fail_info_query) return;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!fail_enum.count(i)) names->push_back(values[i].name);
  }
}

const StoredValue* MemoryKey::Lookup(const std::string& operation, const std::string& name) {
  if (before_call) before_call(operation, name);
  if (fail_query.count(name)) return nullptr;
  // The registry finds the first value of a name.
  auto it = std::find_if(values.begin(), values.end(),
                         [&](const Value& v) { return v.name == name; });
  return it == values.end() ? nullptr : &it->stored;
}

ValueKind MemoryKey::QueryValueKind(const std::string& name) {
  return StoredValueKind(Lookup("Kind", name));
}

std::string MemoryKey::ReadTextValue(const std::string& name) {
  const StoredValue* value = Lookup("Text", name);
  if (value && !value->data.empty() && fail_read.count(name)) RaiseFailedToGetData(name);
  return ReadStoredText(name, value);
}

std::int32_t MemoryKey::ReadDwordValue(const std::string& name) {
  const StoredValue* value = Lookup("Dword", name);
  if (fail_read.count(name)) RaiseFailedToGetData(name);
  return ReadStoredDword(name, value);
}

std::size_t MemoryKey::ReadBinaryValue(const std::string& name, std::uint8_t* buffer,
                                       std::size_t capacity) {
  const StoredValue* value = Lookup("Binary", name);
  if (value && value->type == kRegBinary && value->data.size() <= capacity &&
      fail_read.count(name)) {
    RaiseFailedToGetData(name);
  }
  return ReadStoredBinary(name, value, buffer, capacity);
}

bool MemoryKey::RemoveCountEntry(const std::string& name) {
  if (before_call) before_call("Remove", name);
  log.push_back("Remove " + name);
  if (refuse_remove.count(name)) return false;
  auto it = std::find_if(values.begin(), values.end(),
                         [&](const Value& v) { return v.name == name; });
  if (it == values.end()) return false;
  values.erase(it);
  return true;
}

void MemoryKey::CloseSharedDllKey() {
  log.push_back("Close");
  open = false;
}

std::string DwordData(std::uint32_t count) {
  std::string data(4, '\0');
  for (int i = 0; i < 4; ++i) data[i] = static_cast<char>((count >> (8 * i)) & 0xFF);
  return data;
}
