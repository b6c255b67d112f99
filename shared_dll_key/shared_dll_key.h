#ifndef DLLTALLY_SHARED_DLL_KEY_SHARED_DLL_KEY_H_
#define DLLTALLY_SHARED_DLL_KEY_SHARED_DLL_KEY_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// What the kind query reports for one value. The numbers are the kinds' own;
// note that registry type 3 (binary) is vkBinary and type 4 (DWORD) vkDword.
enum class ValueKind { vkOther = 0, vkText = 1, vkExpandText = 2, vkDword = 3, vkBinary = 4 };

// Registry value types as the registry numbers them.
enum : std::uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegMultiSz = 7,
};

// The key that holds the shared-DLL counts, and the only way to it. Value
// names are byte strings as the registry enumerates them. The reads raise
// ERegistryException "Failed to get data for '%s'" or "Invalid data type for
// '%s'" with the value's name; open and remove report failure as false.
class SharedDllKey {
 public:
  virtual ~SharedDllKey() = default;

  // Opens the key; never creates it. A listing asks only to read; a run that
  // cleans asks also for the right to delete values.
  virtual bool OpenSharedDllKey(bool for_cleaning) = 0;

  // Replaces *names with the key's value names in enumeration order,
  // duplicates kept. A value whose name cannot be read adds nothing.
  virtual void SnapshotValueNames(std::vector<std::string>* names) = 0;

  // The value's kind; vkOther also when it cannot be queried (gone).
  virtual ValueKind QueryValueKind(const std::string& name) = 0;

  // The text up to its first NUL; "" when the value has no data or cannot
  // be queried.
  virtual std::string ReadTextValue(const std::string& name) = 0;

  // The 4 bytes, little-endian, signed. Data shorter than 4 bytes reads with
  // the missing upper bytes as zero; longer data fails to read.
  virtual std::int32_t ReadDwordValue(const std::string& name) = 0;

  // Reads a REG_BINARY value of at most capacity bytes into the start of
  // buffer and returns its size; bytes beyond it are left as they were. A
  // value that cannot be queried returns 0 and leaves the buffer alone.
  virtual std::size_t ReadBinaryValue(const std::string& name, std::uint8_t* buffer,
                                      std::size_t capacity) = 0;

  // Deletes the value; false when it is already gone or the key refuses.
  virtual bool RemoveCountEntry(const std::string& name) = 0;

  // Closes the key. Safe to call when it is not open.
  virtual void CloseSharedDllKey() = 0;
};

// The registry path of the key below HKEY_LOCAL_MACHINE.
inline constexpr const char* kSharedDllKeyPath =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

// The key in the running system's registry (Windows only).
std::unique_ptr<SharedDllKey> MakeRegistrySharedDllKey();

// A value held in memory: its registry type and raw data bytes. The memory
// key and the offline hive key keep their values in this form and read them
// with the functions below, which follow the registry's own rules.
struct StoredValue {
  std::uint32_t type = kRegNone;
  std::string data;
};

ValueKind KindOfType(std::uint32_t type);

// Each takes nullptr for a value that is not there.
ValueKind StoredValueKind(const StoredValue* value);
std::string ReadStoredText(const std::string& name, const StoredValue* value);
std::int32_t ReadStoredDword(const std::string& name, const StoredValue* value);
std::size_t ReadStoredBinary(const std::string& name, const StoredValue* value,
                             std::uint8_t* buffer, std::size_t capacity);

// Raise ERegistryException with the value's name in the message.
[[noreturn]] void RaiseFailedToGetData(const std::string& name);
[[noreturn]] void RaiseInvalidDataType(const std::string& name);

#endif  // DLLTALLY_SHARED_DLL_KEY_SHARED_DLL_KEY_H_
