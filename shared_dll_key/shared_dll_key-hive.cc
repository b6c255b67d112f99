#include <dirent.h>
#include <fcntl.h>
#include <hivex.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "shared_dll_key/hive_key.h"

namespace {

constexpr std::size_t kBaseBlockSize = 0x1000;

// hivex hands value types over as its enum; they are kept as 32-bit numbers.
static_assert(sizeof(hive_type) == sizeof(std::uint32_t));

// Flags of a value as read at open.
enum : std::uint8_t {
  kNamed = 1,      // its name could be read
  kQueryable = 2,  // type and size known
  kReadable = 4,   // data known
  kDeleted = 8,
  kTwin = 16,  // an earlier value has exactly the same name
};

// One value of the key as read at open. Its name, a NUL and (when readable)
// its data exactly as the hive stores them lie together in a ValueBytes
// block; the data is kept for rewriting the key, the reads decode it.
struct HiveValue {
  const char* name;
  std::uint32_t name_size;
  std::uint32_t data_size;  // when not readable, only the size is known
  std::uint32_t type;       // kRegNone when not queryable
  std::uint8_t flags;

  bool Has(std::uint8_t flag) const { return (flags & flag) != 0; }
  std::string_view Name() const { return {name, name_size}; }
  std::string_view Raw() const { return {name + name_size + 1, Has(kReadable) ? data_size : 0}; }
};

// Holds the names and data of a key's values in a few large blocks: a key
// can have 100,000 values, and a string each costs time and memory.
class ValueBytes {
 public:
  // Room for `size` bytes that stays where it is.
  char* Reserve(std::size_t size) {
    if (size > kBlockSize) {  // a block of its own, full at once
      blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
      used_ = kBlockSize;
      return blocks_.back().get();
    }
    if (blocks_.empty() || size > kBlockSize - used_) {
      blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlockSize));
      used_ = 0;
    }
    char* at = blocks_.back().get() + used_;
    used_ += size;
    return at;
  }

 private:
  static constexpr std::size_t kBlockSize = 1 << 20;
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t used_ = 0;
};

// The values of a key, in the key's order.
struct HiveValues {
  std::vector<HiveValue> list;
  ValueBytes bytes;
};

std::string ErrnoText(int error) { return std::strerror(error); }

std::uint32_t Little32(const unsigned char* bytes) {
  return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) |
         (static_cast<std::uint32_t>(bytes[3]) << 24);
}

void AppendUtf8(std::string* out, std::uint32_t code) {
  if (code < 0x80) {
    *out += static_cast<char>(code);
  } else if (code < 0x800) {
    *out += static_cast<char>(0xC0 | (code >> 6));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    *out += static_cast<char>(0xE0 | (code >> 12));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (code >> 18));
    *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// A stored text is UTF-16LE; it ends at its first NUL, and a last odd byte
// is no character. A unit that is half of no pair becomes "?", as in the
// system's own conversion to an 8-bit code page.
std::string DecodeText(std::string_view raw) {
  std::string text;
  std::size_t units = raw.size() / 2;
  auto unit = [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(raw[2 * i])) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(raw[2 * i + 1])) << 8);
  };
  for (std::size_t i = 0; i < units; ++i) {
    std::uint32_t u = unit(i);
    if (u == 0) break;
    if (u >= 0xD800 && u < 0xDC00 && i + 1 < units && unit(i + 1) >= 0xDC00 &&
        unit(i + 1) < 0xE000) {
      AppendUtf8(&text, 0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u < 0xE000) {
      text += '?';
    } else {
      AppendUtf8(&text, u);
    }
  }
  return text;
}

// Finds the key below the root, each name matched as the registry does,
// without regard to letter case. *node is 0 when the hive has no such key;
// the result is "" or why the walk failed.
std::string FindKey(hive_h* h, hive_node_h* node) {
  *node = hivex_root(h);
  if (!*node) return ErrnoText(errno);
  std::string path = kHiveKeyPath;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    errno = 0;
    hive_node_h child = hivex_node_get_child(h, *node, path.substr(start, end - start).c_str());
    if (!child && errno) return ErrnoText(errno);
    *node = child;
    if (!child) return "";
    start = end + 1;
  }
  return "";
}

// The file's bytes, read through one window. Cells are asked for in
// rising order, so each part of the file is read once.
struct FileWindow {
  int fd;
  std::vector<unsigned char> bytes = std::vector<unsigned char>(256 * 1024);
  std::uint64_t start = 0;
  std::size_t filled = 0;
};

// The bytes [offset, offset + size), or nullptr when the file ends before;
// size is at most the window's.
const unsigned char* BytesAt(FileWindow* window, std::uint64_t offset, std::size_t size) {
  if (offset < window->start || offset + size > window->start + window->filled) {
    ssize_t got = pread(window->fd, window->bytes.data(), window->bytes.size(),
                        static_cast<off_t>(offset));
    window->start = offset;
    window->filled = got > 0 ? static_cast<std::size_t>(got) : 0;
    if (size > window->filled) return nullptr;
  }
  return window->bytes.data() + (offset - window->start);
}

// The parts of a value's cell ("vk") that a listing reads.
constexpr std::size_t kValueCellHeader = 0x18;  // the name follows
struct ValueCell {
  const unsigned char* name;
  std::size_t name_size;
  bool latin1;  // else UTF-16LE
  std::uint32_t data_size;  // the top bit set: the data is inline
  const unsigned char* inline_data;
  std::uint32_t type;
};

// Reads the cell of the value whose hivex handle (the cell's offset in the
// file) is given; false when anything about it is unusual, which hivex
// then judges. The cell is in use, says "vk" and holds its name whole.
bool ReadValueCell(FileWindow* window, std::uint64_t handle, ValueCell* cell) {
  const unsigned char* head = BytesAt(window, handle, kValueCellHeader);
  if (!head) return false;
  std::int32_t cell_size = static_cast<std::int32_t>(Little32(head));
  if (cell_size >= 0 || cell_size == INT32_MIN || head[4] != 'v' || head[5] != 'k') return false;
  std::size_t name_size = head[6] | (head[7] << 8);
  if (kValueCellHeader + name_size > static_cast<std::size_t>(-cell_size)) return false;
  const unsigned char* bytes = BytesAt(window, handle, kValueCellHeader + name_size);
  if (!bytes) return false;
  cell->name = bytes + kValueCellHeader;
  cell->name_size = name_size;
  cell->latin1 = (bytes[0x14] & 1) != 0;
  cell->data_size = Little32(bytes + 0x08);
  cell->inline_data = bytes + 0x0C;
  cell->type = Little32(bytes + 0x10);
  return true;
}

// The longest name a cell can hold, in UTF-8: 65535 bytes of Latin-1 take
// two bytes each, 32767 units of UTF-16 at most three.
constexpr std::size_t kLongestName = 2 * 65535;

// Writes the name as hivex gives it, in UTF-8, into out (room for
// kLongestName bytes) when that is plain to tell: no NUL, no half of a
// UTF-16 pair, no byte-order mark or non-character. Returns its size, or
// -1 for anything else, which hivex_value_key converts instead.
std::ptrdiff_t DecodeName(const ValueCell& cell, char* out) {
  char* end = out;
  if (cell.latin1) {
    std::size_t i = 0;
    // Eight bytes at a time while they are plain ASCII, as nearly all are.
    constexpr std::uint64_t kHighBits = 0x8080808080808080u;
    constexpr std::uint64_t kLowBits = 0x0101010101010101u;
    for (; i + 8 <= cell.name_size; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, cell.name + i, 8);
      if ((word & kHighBits) != 0 || ((word - kLowBits) & ~word & kHighBits) != 0) break;
      std::memcpy(end, &word, 8);
      end += 8;
    }
    for (; i < cell.name_size; ++i) {
      unsigned char c = cell.name[i];
      if (c == 0) return -1;
      if (c < 0x80) {
        *end++ = static_cast<char>(c);
      } else {
        *end++ = static_cast<char>(0xC0 | (c >> 6));
        *end++ = static_cast<char>(0x80 | (c & 0x3F));
      }
    }
    return end - out;
  }
  if (cell.name_size % 2 != 0) return -1;
  for (std::size_t i = 0; i < cell.name_size; i += 2) {
    std::uint32_t unit = cell.name[i] | (cell.name[i + 1] << 8);
    if (unit == 0 || (unit >= 0xD800 && unit < 0xE000) || unit == 0xFEFF || unit >= 0xFFFE)
      return -1;
    if (unit < 0x80) {
      *end++ = static_cast<char>(unit);
    } else if (unit < 0x800) {
      *end++ = static_cast<char>(0xC0 | (unit >> 6));
      *end++ = static_cast<char>(0x80 | (unit & 0x3F));
    } else {
      *end++ = static_cast<char>(0xE0 | (unit >> 12));
      *end++ = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      *end++ = static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
  return end - out;
}

// Puts the value's name, a NUL and its data into the key's bytes.
HiveValue StoreValue(ValueBytes* bytes, std::string_view name, std::uint8_t flags,
                     std::uint32_t type, const char* data, std::size_t data_size) {
  std::size_t stored = (flags & kReadable) ? data_size : 0;
  char* at = bytes->Reserve(name.size() + 1 + stored);
  if (!name.empty()) std::memcpy(at, name.data(), name.size());
  at[name.size()] = '\0';
  if (stored) std::memcpy(at + name.size() + 1, data, stored);
  return {at, static_cast<std::uint32_t>(name.size()), static_cast<std::uint32_t>(data_size),
          type, flags};
}

// Reads one value through hivex, all but its name when that was read
// already (name_read).
HiveValue ReadValueThroughHivex(hive_h* h, hive_value_h handle, const std::string_view* name_read,
                                ValueBytes* bytes) {
  std::uint8_t flags = 0;
  char* hivex_name = nullptr;
  std::string_view name;
  if (name_read) {
    name = *name_read;
    flags |= kNamed;
  } else if ((hivex_name = hivex_value_key(h, handle)) != nullptr) {
    name = hivex_name;
    flags |= kNamed;
  }
  // A value's type can be any 32-bit number, most of them outside
  // hive_type's range: it is kept as a number, never read as the enum.
  std::uint32_t type = kRegNone;
  hive_type* type_out = reinterpret_cast<hive_type*>(&type);
  std::size_t size = 0;
  char* data = hivex_value_value(h, handle, type_out, &size);
  if (data) {
    flags |= kQueryable | kReadable;
  } else if (hivex_value_type(h, handle, type_out, &size) == 0) {
    flags |= kQueryable;
  }
  if (!(flags & kQueryable)) type = kRegNone;
  if (!(flags & kNamed)) flags &= ~(kQueryable | kReadable);
  HiveValue value = StoreValue(bytes, name, flags, type, data, size);
  std::free(data);
  std::free(hivex_name);
  return value;
}

// Reads every value of the node. Fails only when the node's list of values
// cannot be read; a value that cannot be read is kept, marked as such.
// Names and small data are taken from the cells in the file (fd) when they
// are plain; hivex reads everything else.
std::string ReadValues(hive_h* h, int fd, hive_node_h node, HiveValues* values) {
  hive_value_h* handles = hivex_node_values(h, node);
  if (!handles) return ErrnoText(errno);
  std::size_t count = 0;
  while (handles[count]) ++count;
  // Visit the cells in the order they lie in the file.
  std::vector<std::uint32_t> order(count);
  for (std::size_t i = 0; i < count; ++i) order[i] = static_cast<std::uint32_t>(i);
  if (!std::is_sorted(handles, handles + count)) {
    std::sort(order.begin(), order.end(),
              [&](std::uint32_t a, std::uint32_t b) { return handles[a] < handles[b]; });
  }
  values->list.assign(count, HiveValue{});
  FileWindow window{fd};
  std::unique_ptr<char[]> name_buffer = std::make_unique_for_overwrite<char[]>(kLongestName);
  for (std::uint32_t i : order) {
    ValueCell cell;
    if (!ReadValueCell(&window, handles[i], &cell)) {
      values->list[i] = ReadValueThroughHivex(h, handles[i], nullptr, &values->bytes);
      continue;
    }
    std::ptrdiff_t name_size = DecodeName(cell, name_buffer.get());
    std::string_view name(name_buffer.get(), name_size < 0 ? 0 : name_size);
    bool inline_data = (cell.data_size & 0x80000000u) && (cell.data_size & 0x7FFFFFFFu) <= 4;
    if (name_size < 0 || !inline_data) {
      values->list[i] = ReadValueThroughHivex(h, handles[i], name_size < 0 ? nullptr : &name,
                                              &values->bytes);
      continue;
    }
    values->list[i] = StoreValue(&values->bytes, name, kNamed | kQueryable | kReadable, cell.type,
                                 reinterpret_cast<const char*>(cell.inline_data),
                                 cell.data_size & 0x7FFFFFFFu);
  }
  std::free(handles);
  return "";
}

// A hash of a value name, for the key's index.
std::uint64_t NameHash(std::string_view name) {
  std::uint64_t hash = 0x9E3779B97F4A7C15u ^ name.size();
  auto mix = [&](std::uint64_t word) {
    hash = (hash ^ word) * 0xFF51AFD7ED558CCDu;
    hash ^= hash >> 32;
  };
  std::size_t i = 0;
  for (; i + 8 <= name.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, name.data() + i, 8);
    mix(word);
  }
  std::uint64_t last = 0;
  if (i < name.size() && name.size() >= 8) {
    std::memcpy(&last, name.data() + name.size() - 8, 8);  // overlaps the words before
  } else {
    for (std::size_t k = 0; i + k < name.size(); ++k)
      last |= static_cast<std::uint64_t>(static_cast<unsigned char>(name[i + k])) << (8 * k);
  }
  mix(last);
  return hash;
}

class HiveKey : public SharedDllKey {
 public:
  // h is nullptr when the key only lists: everything is read already.
  HiveKey(std::string path, int fd, hive_h* h, hive_node_h node, HiveValues values,
          std::string* save_error_line, const HiveSaveSteps& steps)
      : path_(std::move(path)), fd_(fd), h_(h), node_(node), values_(std::move(values)),
        save_error_line_(save_error_line), steps_(steps) {
    BuildIndex();
  }

  ~HiveKey() override { CloseSharedDllKey(); }

  bool OpenSharedDllKey(bool) override { return node_ != 0; }

  void SnapshotValueNames(std::vector<std::string>* names) override {
    names->clear();
    names->reserve(named_);
    // A value whose name cannot be read cannot be asked for: it adds nothing.
    for (const HiveValue& value : values_.list) {
      if (value.Has(kNamed)) names->emplace_back(value.name, value.name_size);
    }
  }

  ValueKind QueryValueKind(const std::string& name) override {
    const HiveValue* value = Find(name);
    return value && value->Has(kQueryable) ? KindOfType(value->type) : ValueKind::vkOther;
  }

  std::string ReadTextValue(const std::string& name) override {
    const HiveValue* value = Find(name);
    if (value && !value->Has(kReadable) && value->data_size > 0) RaiseFailedToGetData(name);
    StoredValue stored;
    return ReadStoredText(name, Stored(value, &stored));
  }

  std::int32_t ReadDwordValue(const std::string& name) override {
    const HiveValue* value = Find(name);
    if (value && !value->Has(kReadable)) RaiseFailedToGetData(name);
    if (value && value->type == kRegDword && value->data_size <= 4) {
      // The common case, read as ReadStoredDword would, without a copy.
      std::uint32_t count = 0;
      std::string_view raw = value->Raw();
      for (std::size_t i = 0; i < raw.size(); ++i)
        count |= static_cast<std::uint32_t>(static_cast<unsigned char>(raw[i])) << (8 * i);
      return static_cast<std::int32_t>(count);
    }
    StoredValue stored;
    return ReadStoredDword(name, Stored(value, &stored));
  }

  std::size_t ReadBinaryValue(const std::string& name, std::uint8_t* buffer,
                              std::size_t capacity) override {
    const HiveValue* value = Find(name);
    if (value && value->Has(kQueryable) && !value->Has(kReadable)) {
      if (value->type == kRegBinary && value->data_size <= capacity) RaiseFailedToGetData(name);
      // Too long or of another type: the data is not needed to say so, and
      // a damaged cell can claim gigabytes of it.
      RaiseInvalidDataType(name);
    }
    StoredValue stored;
    return ReadStoredBinary(name, Stored(value, &stored), buffer, capacity);
  }

  bool RemoveCountEntry(const std::string& name) override {
    HiveValue* value = Find(name);
    if (!value || !h_) return false;
    value->flags |= kDeleted;
    changed_ = true;
    return true;
  }

  void CloseSharedDllKey() override {
    if (fd_ < 0) return;
    if (changed_) Save();
    if (h_) hivex_close(h_);
    h_ = nullptr;
    close(fd_);  // releases the lock
    fd_ = -1;
  }

 private:
  // Indexes the named values by name; of several with one name, all but
  // the first are marked as twins.
  void BuildIndex() {
    std::size_t slots = 16;
    while (slots < 2 * values_.list.size()) slots *= 2;
    slots_.assign(slots, 0);
    for (std::size_t i = 0; i < values_.list.size(); ++i) {
      HiveValue& value = values_.list[i];
      if (!value.Has(kNamed)) continue;
      ++named_;
      std::size_t slot = NameHash(value.Name()) & (slots - 1);
      for (; slots_[slot]; slot = (slot + 1) & (slots - 1)) {
        if (values_.list[slots_[slot] - 1].Name() == value.Name()) value.flags |= kTwin;
      }
      slots_[slot] = static_cast<std::uint32_t>(i + 1);
    }
  }

  // The first value of exactly this name that is not deleted. A listing
  // asks for the values in their order, each a few times in a row, so the
  // value asked for last and the one after it are tried first: either is
  // the answer when it is the first of its name and not deleted.
  HiveValue* Find(const std::string& name) {
    std::string_view wanted = name;
    for (std::size_t i : {last_found_, last_found_ + 1}) {
      if (i >= values_.list.size()) continue;
      HiveValue& value = values_.list[i];
      if ((value.flags & (kNamed | kTwin | kDeleted)) == kNamed && value.Name() == wanted) {
        last_found_ = i;
        return &value;
      }
    }
    // Values of one name lie along the probe sequence in the key's order.
    std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = NameHash(wanted) & mask; slots_[slot]; slot = (slot + 1) & mask) {
      std::size_t i = slots_[slot] - 1;
      HiveValue& value = values_.list[i];
      if (!value.Has(kDeleted) && value.Name() == wanted) {
        last_found_ = i;
        return &value;
      }
    }
    return nullptr;
  }

  // What the reads answer from: the type and the data, texts decoded; a
  // value's data that could not be read stands as that many zero bytes.
  static const StoredValue* Stored(const HiveValue* value, StoredValue* stored) {
    if (!value || !value->Has(kQueryable)) return nullptr;
    stored->type = value->type;
    if (!value->Has(kReadable)) {
      stored->data.assign(value->data_size, '\0');
    } else if (value->type == kRegSz || value->type == kRegExpandSz) {
      stored->data = DecodeText(value->Raw());
      if (value->data_size) stored->data += '\0';
    } else {
      stored->data = value->Raw();
    }
    return stored;
  }

  void Save();
  std::string WriteAndReplace();

  std::string path_;
  int fd_;
  hive_h* h_;
  hive_node_h node_;
  HiveValues values_;
  std::vector<std::uint32_t> slots_;  // value index + 1; 0 is free
  std::size_t named_ = 0;
  std::size_t last_found_ = 0;
  bool changed_ = false;
  std::string* save_error_line_;
  HiveSaveSteps steps_;
};

std::string FolderOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// "" when the file is as long as its header says, else what is wrong.
// hivex accepts a hive cut short at a page boundary and then silently
// misses keys or values.
std::string LengthProblem(int fd) {
  unsigned char header[kBaseBlockSize];
  struct stat info;
  if (pread(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) ||
      fstat(fd, &info) != 0) {
    return "the file is cut short: it has no whole header";
  }
  std::uint64_t needed = kBaseBlockSize + static_cast<std::uint64_t>(Little32(header + 0x28));
  if (static_cast<std::uint64_t>(info.st_size) >= needed) return "";
  return "the file is cut short: it holds " + std::to_string(info.st_size) +
         " bytes, its header says " + std::to_string(needed);
}

// Rereads a written hive and says whether the key holds exactly `expected`,
// in order, and the file is as long as its header says.
std::string CheckWrittenHive(const std::string& path, int fd,
                             const std::vector<const HiveValue*>& expected) {
  std::string short_file = LengthProblem(fd);
  if (!short_file.empty()) return short_file;
  hive_h* h = hivex_open(path.c_str(), 0);
  if (!h) return "it cannot be opened again: " + ErrnoText(errno);
  hive_node_h node = 0;
  std::string failure = FindKey(h, &node);
  HiveValues values;
  if (failure.empty() && !node) failure = "the key is missing";
  if (failure.empty()) failure = ReadValues(h, fd, node, &values);
  hivex_close(h);
  if (!failure.empty()) return failure;
  if (values.list.size() != expected.size()) return "it holds another number of values";
  for (std::size_t i = 0; i < values.list.size(); ++i) {
    const HiveValue& value = values.list[i];
    if (!value.Has(kReadable) || value.Name() != expected[i]->Name() ||
        value.type != expected[i]->type || value.Raw() != expected[i]->Raw()) {
      return "value " + std::to_string(i) + " did not read back as written";
    }
  }
  return "";
}

void HiveKey::Save() {
  std::string failure = WriteAndReplace();
  if (!failure.empty() && save_error_line_)
    *save_error_line_ = "Error: Could not save hive " + path_ + ": " + failure;
}

// Writes the kept values into a copy of the hive beside it and puts the copy
// in its place. hivex would rewrite the hive in place, where a crash or a
// full disk leaves a cut-off file; a rename replaces it whole or not at all.
std::string HiveKey::WriteAndReplace() {
  std::vector<const HiveValue*> kept;
  std::vector<hive_set_value> set;
  for (const HiveValue& value : values_.list) {
    if (value.Has(kDeleted)) continue;
    kept.push_back(&value);
    std::string_view raw = value.Raw();
    hive_set_value entry{const_cast<char*>(value.name), hive_t_REG_NONE, raw.size(),
                         const_cast<char*>(raw.data())};
    std::memcpy(&entry.t, &value.type, sizeof entry.t);  // any number, as stored
    set.push_back(entry);
  }
  if (hivex_node_set_values(h_, node_, set.size(), set.data(), 0) != 0) {
    // The handle is unusable now; it must not be committed.
    std::string failure = ErrnoText(errno);
    hivex_close(h_);
    h_ = nullptr;
    return failure;
  }

  // A hive given through a symbolic link is replaced where it really is.
  char real[PATH_MAX];
  if (!realpath(path_.c_str(), real)) return ErrnoText(errno);
  std::string target = real;
  struct stat original;
  if (fstat(fd_, &original) != 0) return ErrnoText(errno);

  std::string temp = target + ".dlltally-XXXXXX";
  int temp_fd = mkstemp(temp.data());
  if (temp_fd < 0) return ErrnoText(errno);
  std::string failure;
  if (steps_.commit(h_, temp.c_str()) != 0) {
    failure = ErrnoText(errno);
  } else if (steps_.sync_file(temp_fd) != 0) {
    failure = ErrnoText(errno);
  } else if (fchmod(temp_fd, original.st_mode & 07777) != 0 ||
             fchown(temp_fd, original.st_uid, original.st_gid) != 0) {
    failure = "cannot give the new copy the hive's mode and owner: " + ErrnoText(errno);
  } else {
    failure = CheckWrittenHive(temp, temp_fd, kept);
    if (!failure.empty()) failure = "the written copy did not read back right: " + failure;
  }
  close(temp_fd);
  if (failure.empty() && steps_.rename_file(temp.c_str(), target.c_str()) != 0)
    failure = ErrnoText(errno);
  if (!failure.empty()) {
    unlink(temp.c_str());
    return failure;
  }
  // The rename is only durable once the folder is synced.
  int folder = open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return "replaced, but the folder cannot be synced: " + ErrnoText(errno);
  int synced = steps_.sync_file(folder);
  int sync_error = errno;
  close(folder);
  if (synced != 0) return "replaced, but the folder cannot be synced: " + ErrnoText(sync_error);
  return "";
}

// "" or why the key's cells cannot be rewritten. Before writing the new list
// of values, hivex frees the old list, each value's cell and each data cell
// that is not inline; a damaged hive that names one cell twice makes it
// stop the process on the second, so such a hive is not changed.
std::string CellNamedTwice(hive_h* h, int fd, hive_node_h node) {
  hive_value_h* handles = hivex_node_values(h, node);
  if (!handles) return ErrnoText(errno);
  std::vector<std::uint64_t> cells;
  bool readable = true;
  for (std::size_t i = 0; handles[i] && readable; ++i) {
    cells.push_back(handles[i]);
    unsigned char head[0x10];
    readable = pread(fd, head, sizeof head, static_cast<off_t>(handles[i])) ==
               static_cast<ssize_t>(sizeof head);
    if (readable && !(Little32(head + 0x08) & 0x80000000u))
      cells.push_back(kBaseBlockSize + static_cast<std::uint64_t>(Little32(head + 0x0C)));
  }
  unsigned char list[4];
  if (!cells.empty()) {
    readable = readable && pread(fd, list, sizeof list, static_cast<off_t>(node + 0x2C)) ==
                               static_cast<ssize_t>(sizeof list);
    if (readable) cells.push_back(kBaseBlockSize + static_cast<std::uint64_t>(Little32(list)));
  }
  std::free(handles);
  if (!readable) return "its value cells cannot be read";
  std::sort(cells.begin(), cells.end());
  if (std::adjacent_find(cells.begin(), cells.end()) != cells.end())
    return std::string("a cell of ") + kHiveKeyPath + " is used twice";
  return "";
}

// A clean killed during its save leaves its copy beside the hive (the hive
// itself is whole either way). Only a clean writes such copies, and the
// caller holds the exclusive lock, so any copy found now is a leftover.
void RemoveLeftoverCopies(const std::string& path) {
  char real[PATH_MAX];
  if (!realpath(path.c_str(), real)) return;
  std::string target = real;
  std::string prefix = target.substr(target.rfind('/') + 1) + ".dlltally-";
  DIR* dir = opendir(FolderOf(target).c_str());
  if (!dir) return;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    // mkstemp puts six letters or digits in place of its XXXXXX.
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0 ||
        !std::all_of(name.begin() + prefix.size(), name.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)); })) {
      continue;
    }
    unlinkat(dirfd(dir), name.c_str(), 0);
  }
  closedir(dir);
}

// Opens and locks the file, making sure the lock is on the file that the
// path names: a cleaner that finished meanwhile has put a new file there.
std::string OpenLocked(const std::string& path, bool exclusive, int* fd) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    *fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (*fd < 0) return ErrnoText(errno);
    struct stat info;
    if (fstat(*fd, &info) != 0) return ErrnoText(errno);
    if (!S_ISREG(info.st_mode)) {
      close(*fd);
      return S_ISDIR(info.st_mode) ? ErrnoText(EISDIR) : "not a regular file";
    }
    if (flock(*fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
      int error = errno;
      close(*fd);
      return error == EWOULDBLOCK ? "it is in use by another run" : ErrnoText(error);
    }
    struct stat now;
    if (stat(path.c_str(), &now) == 0 && now.st_dev == info.st_dev && now.st_ino == info.st_ino)
      return "";
    close(*fd);
  }
  return "it keeps being replaced";
}

}  // namespace

HiveSaveSteps SystemSaveSteps() {
  return {[](hive_h* hive, const char* path) { return hivex_commit(hive, path, 0); },
          [](int fd) { return fsync(fd); },
          [](const char* from, const char* to) { return rename(from, to); }};
}

HiveOpening OpenHiveKey(const std::string& path, bool for_cleaning,
                        std::string* save_error_line, const HiveSaveSteps& steps) {
  HiveOpening opening;
  const std::string open_error = "Error: Could not open hive " + path + ": ";
  const std::string read_error = "Error: Could not read hive " + path + ": ";
  const std::string refusal = "Error: Will not change hive " + path + ": ";

  int fd = -1;
  std::string failure = OpenLocked(path, for_cleaning, &fd);
  if (!failure.empty()) {
    opening.error_line = open_error + failure;
    return opening;
  }
  unsigned char header[kBaseBlockSize];
  ssize_t got = pread(fd, header, sizeof header, 0);
  if (got < 0) {
    opening.error_line = open_error + ErrnoText(errno);
    close(fd);
    return opening;
  }
  if (got < static_cast<ssize_t>(sizeof header) || std::memcmp(header, "regf", 4) != 0) {
    opening.error_line = open_error + "not a registry hive file";
    close(fd);
    return opening;
  }
  // hivex opens the locked file itself, not whatever the path names now.
  std::string locked = "/proc/self/fd/" + std::to_string(fd);
  if (access(locked.c_str(), F_OK) != 0) locked = path;
  hive_h* h = hivex_open(locked.c_str(), for_cleaning ? HIVEX_OPEN_WRITE : 0);
  if (!h) {
    opening.error_line = open_error + ErrnoText(errno);
    close(fd);
    return opening;
  }
  auto fail = [&](std::string line) {
    hivex_close(h);
    close(fd);
    opening.error_line = std::move(line);
    return std::move(opening);
  };

  failure = LengthProblem(fd);
  if (!failure.empty()) return fail(read_error + failure);
  std::uint32_t sequence1 = Little32(header + 4);
  std::uint32_t sequence2 = Little32(header + 8);
  if (for_cleaning && sequence1 != sequence2) {
    // hivex ignores the .LOG1/.LOG2 files and would mark the hive clean,
    // dropping whatever they hold.
    return fail(refusal + "its sequence numbers differ (" + std::to_string(sequence1) + " and " +
                std::to_string(sequence2) +
                "): it has transaction logs not yet written into it; load it in Windows first");
  }

  hive_node_h node = 0;
  failure = FindKey(h, &node);
  if (!failure.empty()) return fail(read_error + failure);
  HiveValues values;
  if (node) {
    failure = ReadValues(h, fd, node, &values);
    if (!failure.empty())
      return fail(read_error + "cannot list the values of " + kHiveKeyPath + ": " + failure);
  }
  if (for_cleaning) {
    // Cleaning rewrites the whole list of values: each one must be carried
    // over exactly, and hivex must not store any in a form Windows rejects.
    for (std::size_t i = 0; i < values.list.size(); ++i) {
      const HiveValue& value = values.list[i];
      if (!value.Has(kNamed) || !value.Has(kReadable)) {
        return fail(refusal + "value " + std::to_string(i) + " of " + kHiveKeyPath +
                    " cannot be read" +
                    (value.Has(kNamed) ? " ('" + std::string(value.Name()) + "')" : ""));
      }
      if (value.data_size > kLongestRewritableData) {
        return fail(refusal + "value '" + std::string(value.Name()) + "' holds " +
                    std::to_string(value.data_size) + " bytes of data, more than the " +
                    std::to_string(kLongestRewritableData) + " that can be rewritten safely");
      }
    }
    failure = node ? CellNamedTwice(h, fd, node) : "";
    if (!failure.empty()) return fail(refusal + failure);
    RemoveLeftoverCopies(path);
  } else {
    // A listing needs nothing more of hivex; its copy of the hive goes now.
    // The lock stays until the key is closed.
    hivex_close(h);
    h = nullptr;
  }
  opening.key = std::make_unique<HiveKey>(path, fd, h, node, std::move(values), save_error_line,
                                          steps);
  return opening;
}
