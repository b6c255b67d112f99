#include "tests/hive/hive_fixture.h"

#include <hivex.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

namespace {

constexpr std::size_t kBaseBlock = 0x1000;
constexpr std::size_t kBin = 0x1000;
constexpr std::uint32_t kRootCell = 0x20;  // offsets count from the first bin
constexpr std::uint64_t kFileTime = 0x01DA000000000000ULL;  // some day in 2023

void Put16(std::string& bytes, std::size_t at, std::uint16_t v) {
  for (int i = 0; i < 2; ++i) bytes[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
void Put32(std::string& bytes, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
void Put64(std::string& bytes, std::size_t at, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) bytes[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
std::uint32_t Get32(const std::string& bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i)
    v |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  return v;
}

// XOR of the base block's first 127 dwords, the checksum at 0x1FC.
std::uint32_t BaseBlockChecksum(const std::string& bytes) {
  std::uint32_t sum = 0;
  for (std::size_t at = 0; at < 0x1FC; at += 4) sum ^= Get32(bytes, at);
  return sum;
}

// Sets the checksum, moving the timestamp until the sum is neither 0 nor
// 0xFFFFFFFF: Windows stores those two as other numbers, so other readers
// could disagree about them.
void SealBaseBlock(std::string& bytes) {
  std::uint64_t time = kFileTime;
  for (;;) {
    Put64(bytes, 0x0C, time);
    std::uint32_t sum = BaseBlockChecksum(bytes);
    if (sum != 0 && sum != 0xFFFFFFFF) {
      Put32(bytes, 0x1FC, sum);
      return;
    }
    ++time;
  }
}

// A self-relative security descriptor: owner Administrators, group SYSTEM,
// a DACL granting Administrators full access to the key.
std::string SecurityDescriptor() {
  const unsigned char kAdministrators[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
  const unsigned char kSystem[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  std::string sd(20, '\0');
  sd[0] = 1;                 // revision
  Put16(sd, 2, 0x8004);      // self-relative, DACL present
  Put32(sd, 4, 20);          // owner
  Put32(sd, 8, 20 + 16);     // group
  Put32(sd, 12, 0);          // no SACL
  Put32(sd, 16, 20 + 16 + 12);  // DACL
  sd.append(reinterpret_cast<const char*>(kAdministrators), sizeof kAdministrators);
  sd.append(reinterpret_cast<const char*>(kSystem), sizeof kSystem);
  std::string acl(8, '\0');
  acl[0] = 2;  // ACL revision
  Put16(acl, 2, 8 + 24);
  Put16(acl, 4, 1);  // one ACE
  std::string ace(8, '\0');
  ace[0] = 0;     // access allowed
  ace[1] = 0x02;  // inherited by subkeys
  Put16(ace, 2, 24);
  Put32(ace, 4, 0xF003F);  // KEY_ALL_ACCESS
  ace.append(reinterpret_cast<const char*>(kAdministrators), sizeof kAdministrators);
  return sd + acl + ace;
}

// The smallest hive the readers accept: a base block, one bin with the root
// key, its security cell and one free cell.
std::string EmptyHive() {
  std::string bytes(kBaseBlock + kBin, '\0');
  std::memcpy(&bytes[0], "regf", 4);
  Put32(bytes, 0x04, 1);
  Put32(bytes, 0x08, 1);
  Put32(bytes, 0x14, 1);  // version 1.5
  Put32(bytes, 0x18, 5);
  Put32(bytes, 0x1C, 0);  // primary file
  Put32(bytes, 0x20, 1);  // direct memory load
  Put32(bytes, 0x24, kRootCell);
  Put32(bytes, 0x28, kBin);
  Put32(bytes, 0x2C, 1);
  const char kFileName[] = "SOFTWARE";
  for (std::size_t i = 0; i + 1 < sizeof kFileName; ++i) bytes[0x30 + 2 * i] = kFileName[i];

  std::size_t bin = kBaseBlock;
  std::memcpy(&bytes[bin], "hbin", 4);
  Put32(bytes, bin + 0x04, 0);
  Put32(bytes, bin + 0x08, kBin);
  Put64(bytes, bin + 0x14, kFileTime);

  const std::string kRootName = "ROOT";
  std::uint32_t nk_size = (4 + 0x4C + static_cast<std::uint32_t>(kRootName.size()) + 7) & ~7u;
  std::uint32_t sk_offset = kRootCell + nk_size;
  std::size_t nk = bin + kRootCell;
  Put32(bytes, nk, static_cast<std::uint32_t>(-static_cast<std::int32_t>(nk_size)));
  std::memcpy(&bytes[nk + 4], "nk", 2);
  Put16(bytes, nk + 0x06, 0x2C);  // hive entry, no delete, ASCII name
  Put64(bytes, nk + 0x08, kFileTime);
  Put32(bytes, nk + 0x14, 0xFFFFFFFF);  // no parent
  Put32(bytes, nk + 0x20, 0xFFFFFFFF);  // no subkey list
  Put32(bytes, nk + 0x24, 0xFFFFFFFF);
  Put32(bytes, nk + 0x2C, 0xFFFFFFFF);  // no value list
  Put32(bytes, nk + 0x30, sk_offset);
  Put32(bytes, nk + 0x34, 0xFFFFFFFF);  // no class
  Put16(bytes, nk + 0x4C, static_cast<std::uint16_t>(kRootName.size()));
  std::memcpy(&bytes[nk + 0x50], kRootName.data(), kRootName.size());

  std::string sd = SecurityDescriptor();
  std::uint32_t sk_size = (0x18 + static_cast<std::uint32_t>(sd.size()) + 7) & ~7u;
  std::size_t sk = bin + sk_offset;
  Put32(bytes, sk, static_cast<std::uint32_t>(-static_cast<std::int32_t>(sk_size)));
  std::memcpy(&bytes[sk + 4], "sk", 2);
  Put32(bytes, sk + 0x08, sk_offset);  // the only one: its own neighbour
  Put32(bytes, sk + 0x0C, sk_offset);
  Put32(bytes, sk + 0x10, 1);
  Put32(bytes, sk + 0x14, static_cast<std::uint32_t>(sd.size()));
  std::memcpy(&bytes[sk + 0x18], sd.data(), sd.size());

  std::uint32_t free_offset = sk_offset + sk_size;
  Put32(bytes, bin + free_offset, kBin - free_offset);
  SealBaseBlock(bytes);
  return bytes;
}

bool WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

bool ReadBytes(const std::string& path, std::string* bytes) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  *bytes = all.str();
  return static_cast<bool>(in);
}

std::string Reason(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Adds the path's keys below the root, reusing those already there.
hive_node_h AddKeyPath(hive_h* h, const std::string& path) {
  hive_node_h node = hivex_root(h);
  std::size_t start = 0;
  while (node && start <= path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    hive_node_h child = hivex_node_get_child(h, node, part.c_str());
    node = child ? child : hivex_node_add_child(h, node, part.c_str());
    start = end + 1;
  }
  return node;
}

// Offsets in the file of the key's cell and of each value's cell, by name.
std::string FindCells(const std::string& path, const std::string& key_path, std::size_t* key,
                      std::vector<std::pair<std::string, std::size_t>>* values) {
  hive_h* h = hivex_open(path.c_str(), 0);
  if (!h) return Reason("hivex_open");
  hive_node_h node = hivex_root(h);
  std::size_t start = 0;
  while (node && start <= key_path.size()) {
    std::size_t end = key_path.find('\\', start);
    if (end == std::string::npos) end = key_path.size();
    node = hivex_node_get_child(h, node, key_path.substr(start, end - start).c_str());
    start = end + 1;
  }
  hive_value_h* handles = node ? hivex_node_values(h, node) : nullptr;
  *key = node;
  for (std::size_t i = 0; handles && handles[i]; ++i) {
    char* name = hivex_value_key(h, handles[i]);
    values->emplace_back(name ? name : "", handles[i]);
    std::free(name);
  }
  std::free(handles);
  hivex_close(h);
  return node ? "" : "no key to damage";
}

// Handles of hivex are offsets of cells in the file; offsets inside the
// hive count from the first bin.
std::string Damage(const std::string& path, const FixtureHive& hive) {
  std::size_t key = 0;
  std::vector<std::pair<std::string, std::size_t>> values;
  std::string failure = FindCells(path, hive.key_path, &key, &values);
  if (!failure.empty()) return failure;
  std::string bytes;
  if (!ReadBytes(path, &bytes)) return "cannot reread " + path;
  constexpr std::uint32_t kOutside = 0x7FFFFFF0;
  if (hive.damage_value_list) {
    std::size_t list = kBaseBlock + Get32(bytes, key + 0x2C);
    Put32(bytes, list + 4, kOutside);
  }
  for (const auto& [name, cell] : values) {
    if (name == hive.damage_value_data) Put32(bytes, cell + 0x0C, kOutside);
    if (name == hive.damage_value_name) {
      // Two halves of no UTF-16 pair: no reader can convert the name.
      Put16(bytes, cell + 0x06, 4);
      Put16(bytes, cell + 0x14, static_cast<std::uint16_t>(Get32(bytes, cell + 0x14) & ~1u));
      Put32(bytes, cell + 0x18, 0xD800D800);
    }
  }
  return WriteBytes(path, bytes) ? "" : Reason("write");
}

}  // namespace

std::string TextData(const std::string& utf8) {
  std::string data;
  auto unit = [&](std::uint32_t u) {
    data += static_cast<char>(u & 0xFF);
    data += static_cast<char>(u >> 8);
  };
  for (std::size_t i = 0; i < utf8.size();) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    std::uint32_t code = c;
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    if (extra) code = c & (0x3F >> extra);
    for (int k = 1; k <= extra && i + k < utf8.size(); ++k)
      code = (code << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += 1 + extra;
    if (code >= 0x10000) {
      code -= 0x10000;
      unit(0xD800 | (code >> 10));
      unit(0xDC00 | (code & 0x3FF));
    } else {
      unit(code);
    }
  }
  unit(0);
  return data;
}

std::string DwordBytes(std::uint32_t count) {
  std::string data(4, '\0');
  Put32(data, 0, count);
  return data;
}

std::string WriteFixtureHive(const std::string& path, const FixtureHive& hive) {
  if (!WriteBytes(path, EmptyHive())) return Reason("write");
  hive_h* h = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
  if (!h) return Reason("hivex_open");
  std::string failure;
  // Some other key and value, so a test can see that they survive a clean.
  hive_node_h current_version = AddKeyPath(h, "Microsoft\\Windows\\CurrentVersion");
  std::string program_files = TextData("C:\\Program Files");
  hive_set_value other = {const_cast<char*>("ProgramFilesDir"), hive_t_REG_SZ,
                          program_files.size(), program_files.data()};
  if (!current_version || hivex_node_set_value(h, current_version, &other, 0) != 0)
    failure = Reason("other value");
  if (failure.empty() && !hive.key_path.empty()) {
    hive_node_h key = AddKeyPath(h, hive.key_path);
    std::vector<hive_set_value> values;
    for (const FixtureValue& v : hive.values) {
      hive_set_value value{const_cast<char*>(v.name.c_str()), hive_t_REG_NONE, v.data.size(),
                           const_cast<char*>(v.data.data())};
      std::memcpy(&value.t, &v.type, sizeof value.t);  // types beyond hive_type's names too
      values.push_back(value);
    }
    if (!key) {
      failure = Reason("add key");
    } else if (hivex_node_set_values(h, key, values.size(), values.data(), 0) != 0) {
      failure = Reason("hivex_node_set_values");
    }
  }
  if (failure.empty() && hivex_commit(h, nullptr, 0) != 0) failure = Reason("hivex_commit");
  hivex_close(h);
  if (!failure.empty()) return failure;
  if (hive.sequence1 != 1 || hive.sequence2 != 1) {
    std::string bytes;
    if (!ReadBytes(path, &bytes) || bytes.size() < kBaseBlock) return "cannot reread " + path;
    Put32(bytes, 0x04, hive.sequence1);
    Put32(bytes, 0x08, hive.sequence2);
    SealBaseBlock(bytes);
    if (!WriteBytes(path, bytes)) return Reason("write");
  }
  if (hive.damage_value_list || !hive.damage_value_data.empty() ||
      !hive.damage_value_name.empty()) {
    return Damage(path, hive);
  }
  return "";
}
