#ifndef DLLTALLY_SHARED_DLL_KEY_MEMORY_KEY_H_
#define DLLTALLY_SHARED_DLL_KEY_MEMORY_KEY_H_

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "shared_dll_key/shared_dll_key.h"

// A shared-DLL key held in memory, for tests. Values keep their order, so
// duplicates and any registry type can be set up; each failure the registry
// can give is injected by the fields below.
class MemoryKey : public SharedDllKey {
 public:
  struct Value {
    std::string name;
    StoredValue stored;
  };

  std::vector<Value> values;  // in enumeration order

  bool key_exists = true;
  bool fail_info_query = false;         // the snapshot finds no values
  std::set<std::size_t> fail_enum;      // indexes whose name cannot be read
  std::set<std::string> fail_query;     // names whose kind and size cannot be queried
  std::set<std::string> fail_read;      // names whose data cannot be read
  std::set<std::string> refuse_remove;  // names the key will not delete

  // Runs before every operation with its name ("Kind", "Text", "Dword",
  // "Binary", "Remove") and the value's name: a test can change the key here,
  // as another program might between two calls.
  std::function<void(const std::string& operation, const std::string& name)> before_call;

  // What happened, in order: "Open read", "Open clean", "Snapshot",
  // "Remove <name>", "Close".
  std::vector<std::string> log;
  bool open = false;

  void Add(std::string name, std::uint32_t type, std::string data);

  bool OpenSharedDllKey(bool for_cleaning) override;
  void SnapshotValueNames(std::vector<std::string>* names) override;
  ValueKind QueryValueKind(const std::string& name) override;
  std::string ReadTextValue(const std::string& name) override;
  std::int32_t ReadDwordValue(const std::string& name) override;
  std::size_t ReadBinaryValue(const std::string& name, std::uint8_t* buffer,
                              std::size_t capacity) override;
  bool RemoveCountEntry(const std::string& name) override;
  void CloseSharedDllKey() override;

 private:
  // The value as a query for `operation` sees it, nullptr when it is gone
  // or its query is made to fail.
  const StoredValue* Lookup(const std::string& operation, const std::string& name);
};

// Little-endian bytes of a DWORD, for building values.
std::string DwordData(std::uint32_t count);

#endif  // DLLTALLY_SHARED_DLL_KEY_MEMORY_KEY_H_
