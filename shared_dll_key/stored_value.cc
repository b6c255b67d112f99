#include <cstring>

#include "run_control/failure.h"
#include "shared_dll_key/shared_dll_key.h"

ValueKind KindOfType(std::uint32_t type) {
  switch (type) {
    case kRegSz: return ValueKind::vkText;
    case kRegExpandSz: return ValueKind::vkExpandText;
    case kRegDword: return ValueKind::vkDword;
    case kRegBinary: return ValueKind::vkBinary;
    default: return ValueKind::vkOther;
  }
}

__attribute__((noinline)) void RaiseFailedToGetData(const std::string& name) {
  RaiseFailure("ERegistryException", FormatText("Failed to get data for '%s'", name));
}

__attribute__((noinline)) void RaiseInvalidDataType(const std::string& name) {
  RaiseFailure("ERegistryException", FormatText("Invalid data type for '%s'", name));
}

ValueKind StoredValueKind(const StoredValue* value) {
  return value ? KindOfType(value->type) : ValueKind::vkOther;
}

std::string ReadStoredText(const std::string& name, const StoredValue* value) {
  if (!value || value->data.empty()) return "";
  if (value->type != kRegSz && value->type != kRegExpandSz) RaiseInvalidDataType(name);
  return value->data.substr(0, value->data.find('\0'));
}

std::int32_t ReadStoredDword(const std::string& name, const StoredValue* value) {
  if (!value || value->data.size() > 4) RaiseFailedToGetData(name);
  if (value->type != kRegDword) RaiseInvalidDataType(name);
  std::uint32_t count = 0;
  for (std::size_t i = 0; i < value->data.size(); ++i)
    count |= static_cast<std::uint32_t>(static_cast<unsigned char>(value->data[i])) << (8 * i);
  return static_cast<std::int32_t>(count);
}

std::size_t ReadStoredBinary(const std::string& name, const StoredValue* value,
                             std::uint8_t* buffer, std::size_t capacity) {
  if (!value) return 0;
  if (value->type != kRegBinary || value->data.size() > capacity) RaiseInvalidDataType(name);
  std::memcpy(buffer, value->data.data(), value->data.size());
  return value->data.size();
}
