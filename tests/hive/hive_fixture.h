#ifndef DLLTALLY_TESTS_HIVE_HIVE_FIXTURE_H_
#define DLLTALLY_TESTS_HIVE_HIVE_FIXTURE_H_

#include <cstdint>
#include <string>
#include <vector>

// One value to put into a fixture hive: its name (UTF-8), registry type and
// raw data bytes as they are to be stored.
struct FixtureValue {
  std::string name;
  std::uint32_t type;
  std::string data;
};

struct FixtureHive {
  // Where the values go, below the hive's root; "" puts no key at all.
  std::string key_path = "Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
  std::vector<FixtureValue> values;
  // The base block's two sequence numbers; they differ in a hive whose
  // transaction logs were not yet applied.
  std::uint32_t sequence1 = 1;
  std::uint32_t sequence2 = 1;
  // Damage done after writing, for the tests of hives that cannot be read
  // whole: the key's list of values points outside the file; the data or
  // the name of the value named here cannot be read.
  bool damage_value_list = false;
  std::string damage_value_data;
  std::string damage_value_name;
};

// Writes a real hive file: a minimal empty hive built byte by byte, then the
// key path and values added through hivex itself. Returns "" or the reason
// it failed.
std::string WriteFixtureHive(const std::string& path, const FixtureHive& hive);

// Data as the registry stores it: a REG_SZ text in UTF-16LE with its
// terminating NUL, a DWORD as 4 little-endian bytes.
std::string TextData(const std::string& utf8);
std::string DwordBytes(std::uint32_t count);

#endif  // DLLTALLY_TESTS_HIVE_HIVE_FIXTURE_H_
