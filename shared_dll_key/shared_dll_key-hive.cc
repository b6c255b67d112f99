#include <fcntl.h>
#include <hivex.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "shared_dll_key/hive_key.h"

namespace {

constexpr std::size_t kBaseBlockSize = 0x1000;

// hivex hands value types over as its enum; they are kept as 32-bit numbers.
static_assert(sizeof(hive_type) == sizeof(std::uint32_t));

// One value of the key as read at open. `raw` is the data exactly as the
// hive stores it, kept for rewriting the key; `stored` is what the reads
// answer from, with texts decoded.
struct HiveValue {
  std::string name;
  bool named = false;      // hivex could read the name
  bool queryable = false;  // type and size known
  bool readable = false;   // data known
  std::string raw;
  StoredValue stored;
  bool deleted = false;
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
std::string DecodeText(const std::string& raw) {
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

// Reads every value of the node. Fails only when the node's list of values
// cannot be read; a value that cannot be read is kept, marked as such.
std::string ReadValues(hive_h* h, hive_node_h node, std::vector<HiveValue>* values) {
  hive_value_h* handles = hivex_node_values(h, node);
  if (!handles) return ErrnoText(errno);
  for (std::size_t i = 0; handles[i]; ++i) {
    HiveValue value;
    char* name = hivex_value_key(h, handles[i]);
    if (name) {
      value.named = true;
      value.name = name;
      std::free(name);
    }
    // A value's type can be any 32-bit number, most of them outside
    // hive_type's range: it is kept as a number, never read as the enum.
    std::uint32_t type = kRegNone;
    hive_type* type_out = reinterpret_cast<hive_type*>(&type);
    std::size_t size = 0;
    char* data = hivex_value_value(h, handles[i], type_out, &size);
    if (data) {
      value.queryable = value.readable = true;
      value.raw.assign(data, size);
      std::free(data);
    } else if (hivex_value_type(h, handles[i], type_out, &size) == 0) {
      value.queryable = true;
    }
    value.stored.type = value.queryable ? type : kRegNone;
    if (value.readable) {
      bool text = type == kRegSz || type == kRegExpandSz;
      value.stored.data = text ? DecodeText(value.raw) : value.raw;
      if (text && !value.raw.empty()) value.stored.data += '\0';
    } else {
      value.stored.data.assign(size, '\0');  // only its size is known
    }
    if (!name) value.queryable = value.readable = false;
    values->push_back(std::move(value));
  }
  std::free(handles);
  return "";
}

class HiveKey : public SharedDllKey {
 public:
  HiveKey(std::string path, int fd, hive_h* h, hive_node_h node, std::vector<HiveValue> values,
          std::string* save_error_line, const HiveSaveSteps& steps)
      : path_(std::move(path)), fd_(fd), h_(h), node_(node), values_(std::move(values)),
        save_error_line_(save_error_line), steps_(steps) {
    for (std::size_t i = 0; i < values_.size(); ++i) {
      if (values_[i].named) index_[values_[i].name].push_back(i);
    }
  }

  ~HiveKey() override { CloseSharedDllKey(); }

  bool OpenSharedDllKey(bool) override { return node_ != 0; }

  void SnapshotValueNames(std::vector<std::string>* names) override {
    names->clear();
    // A value whose name cannot be read cannot be asked for: it adds nothing.
    for (const HiveValue& value : values_) {
      if (value.named) names->push_back(value.name);
    }
  }

  ValueKind QueryValueKind(const std::string& name) override {
    return StoredValueKind(Lookup(name));
  }

  std::string ReadTextValue(const std::string& name) override {
    const HiveValue* value = Find(name);
    if (value && !value->readable && !value->stored.data.empty()) RaiseFailedToGetData(name);
    return ReadStoredText(name, Lookup(name));
  }

  std::int32_t ReadDwordValue(const std::string& name) override {
    const HiveValue* value = Find(name);
    if (value && !value->readable) RaiseFailedToGetData(name);
    return ReadStoredDword(name, Lookup(name));
  }

  std::size_t ReadBinaryValue(const std::string& name, std::uint8_t* buffer,
                              std::size_t capacity) override {
    const HiveValue* value = Find(name);
    if (value && !value->readable && value->stored.type == kRegBinary &&
        value->stored.data.size() <= capacity) {
      RaiseFailedToGetData(name);
    }
    return ReadStoredBinary(name, Lookup(name), buffer, capacity);
  }

  bool RemoveCountEntry(const std::string& name) override {
    HiveValue* value = Find(name);
    if (!value || !h_) return false;
    value->deleted = true;
    changed_ = true;
    return true;
  }

  void CloseSharedDllKey() override {
    if (!h_) return;
    if (changed_) Save();
    if (h_) hivex_close(h_);
    h_ = nullptr;
    close(fd_);  // releases the lock
  }

 private:
  // The first value of exactly this name that is not deleted.
  HiveValue* Find(const std::string& name) {
    auto it = index_.find(name);
    if (it == index_.end()) return nullptr;
    for (std::size_t i : it->second) {
      if (!values_[i].deleted) return &values_[i];
    }
    return nullptr;
  }

  const StoredValue* Lookup(const std::string& name) {
    const HiveValue* value = Find(name);
    return value && value->queryable ? &value->stored : nullptr;
  }

  void Save();
  std::string WriteAndReplace();

  std::string path_;
  int fd_;
  hive_h* h_;
  hive_node_h node_;
  std::vector<HiveValue> values_;
  std::unordered_map<std::string, std::vector<std::size_t>> index_;
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
  std::vector<HiveValue> values;
  if (failure.empty() && !node) failure = "the key is missing";
  if (failure.empty()) failure = ReadValues(h, node, &values);
  hivex_close(h);
  if (!failure.empty()) return failure;
  if (values.size() != expected.size()) return "it holds another number of values";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!values[i].readable || values[i].name != expected[i]->name ||
        values[i].stored.type != expected[i]->stored.type || values[i].raw != expected[i]->raw) {
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
  for (const HiveValue& value : values_) {
    if (value.deleted) continue;
    kept.push_back(&value);
    hive_set_value entry{const_cast<char*>(value.name.c_str()), hive_t_REG_NONE,
                         value.raw.size(), const_cast<char*>(value.raw.data())};
    std::memcpy(&entry.t, &value.stored.type, sizeof entry.t);  // any number, as stored
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
  std::vector<HiveValue> values;
  if (node) {
    failure = ReadValues(h, node, &values);
    if (!failure.empty())
      return fail(read_error + "cannot list the values of " + kHiveKeyPath + ": " + failure);
  }
  if (for_cleaning) {
    // Cleaning rewrites the whole list of values: each one must be carried
    // over exactly, and hivex must not store any in a form Windows rejects.
    for (std::size_t i = 0; i < values.size(); ++i) {
      const HiveValue& value = values[i];
      if (!value.named || !value.readable) {
        return fail(refusal + "value " + std::to_string(i) + " of " + kHiveKeyPath +
                    " cannot be read" + (value.named ? " ('" + value.name + "')" : ""));
      }
      if (value.raw.size() > kLongestRewritableData) {
        return fail(refusal + "value '" + value.name + "' holds " +
                    std::to_string(value.raw.size()) + " bytes of data, more than the " +
                    std::to_string(kLongestRewritableData) + " that can be rewritten safely");
      }
    }
  }
  opening.key = std::make_unique<HiveKey>(path, fd, h, node, std::move(values), save_error_line,
                                          steps);
  return opening;
}
