#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <unordered_map>
#include <utility>
#include <vector>

#include "count_report/file_test.h"
#include "count_report/mounted_file_test.h"

namespace {

class PosixFileTest : public FileTest {
 public:
  FilePresence FilePresent(const std::string& name) override {
    struct stat info;
    if (stat(name.c_str(), &info) == 0) {
      return S_ISDIR(info.st_mode) ? FilePresence::kAbsent : FilePresence::kPresent;
    }
    switch (errno) {
      case ENOENT:
      case ENOTDIR:
      case ENAMETOOLONG:
        return FilePresence::kAbsent;
      default:  // access denied, I/O error, a dead mount: we cannot know
        return FilePresence::kCannotTell;
    }
  }
};

// Windows finds no file by a name this long through the 8-bit calls, and
// says so with an error that is not "not found".
constexpr std::size_t kWindowsLongestPath = 259;

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string UpperCase(std::string text) {
  for (char& c : text) c = Upper(c);
  return text;
}

// An alias such as PROGRA~1 or MICROS~2.DLL: at most 8 characters, a "~"
// and a digit among them, then at most a dot and 3 more.
bool LooksLikeShortName(const std::string& part) {
  std::size_t dot = part.find('.');
  std::string base = part.substr(0, dot);
  if (base.size() > 8 || (dot != std::string::npos && part.size() - dot - 1 > 3)) return false;
  std::size_t tilde = base.find('~');
  if (tilde == std::string::npos || tilde + 1 == base.size()) return false;
  return std::isdigit(static_cast<unsigned char>(base[tilde + 1])) != 0;
}

bool HasWildcard(const std::string& text) { return text.find_first_of("*?") != std::string::npos; }

bool Match(const char* p, const char* n) {
  for (;;) {
    if (!*p) return !*n;
    if (*p == '*') {
      for (const char* rest = n;; ++rest) {
        if (Match(p + 1, rest)) return true;
        if (!*rest) return false;
      }
    }
    if (*p == '?') {
      // Matches one character, but none at a dot or the end of the name.
      if (*n && *n != '.') ++n;
      ++p;
      continue;
    }
    if (*p == '.' && !*n && std::strspn(p + 1, "*?") == std::strlen(p + 1)) {
      ++p;  // "foo.*" also finds "foo"
      continue;
    }
    if (!*n || Upper(*p) != Upper(*n)) return false;
    ++p;
    ++n;
  }
}

// Combines the answers for several candidates: any present file counts.
FilePresence Either(FilePresence a, FilePresence b) {
  if (a == FilePresence::kPresent || b == FilePresence::kPresent) return FilePresence::kPresent;
  if (a == FilePresence::kCannotTell || b == FilePresence::kCannotTell)
    return FilePresence::kCannotTell;
  return FilePresence::kAbsent;
}

// The folder's entries, "." and ".." excluded, with their kinds as the
// folder reports them (DT_UNKNOWN where it does not); false when it cannot
// be read.
bool ListFolder(int folder, std::vector<std::string>* names,
                std::vector<unsigned char>* kinds = nullptr) {
  int fd = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* dir = fdopendir(fd);
  if (!dir) {
    close(fd);
    return false;
  }
  errno = 0;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    names->push_back(name);
    if (kinds) kinds->push_back(entry->d_type);
  }
  bool ok = errno == 0;
  closedir(dir);
  return ok;
}

class MountedVolumeFileTest : public FileTest {
 public:
  explicit MountedVolumeFileTest(int root) : root_(root) {}
  ~MountedVolumeFileTest() override { close(root_); }

  FilePresence FilePresent(const std::string& name) override {
    std::string path = name;
    std::replace(path.begin(), path.end(), '/', '\\');
    if (path.empty()) return FilePresence::kAbsent;
    if (path.size() > kWindowsLongestPath) return FilePresence::kCannotTell;
    std::string rest;
    if (path.rfind("\\\\", 0) == 0) {
      return FilePresence::kCannotTell;  // a server's share or a device
    } else if (path[0] == '\\') {
      rest = path.substr(1);
    } else if (path.size() >= 2 && path[1] == ':' && Upper(path[0]) >= 'A' &&
               Upper(path[0]) <= 'Z') {
      if (Upper(path[0]) != 'C' || path.size() == 2 || path[2] != '\\')
        return FilePresence::kCannotTell;  // another drive, or C:'s current folder
      rest = path.substr(3);
    } else {
      return FilePresence::kCannotTell;  // relative to a folder we do not know
    }
    if (rest.empty() || rest.back() == '\\') return FilePresence::kAbsent;

    // The parts, as Windows reads the path: repeated "\" count once, "."
    // stays and ".." goes up; trailing dots and spaces of the file name go.
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= rest.size()) {
      std::size_t end = rest.find('\\', start);
      if (end == std::string::npos) end = rest.size();
      std::string part = rest.substr(start, end - start);
      if (part == "..") {
        if (!parts.empty()) parts.pop_back();
      } else if (!part.empty() && part != ".") {
        parts.push_back(part);
      }
      start = end + 1;
    }
    if (parts.empty()) return FilePresence::kAbsent;
    std::string& last = parts.back();
    while (!last.empty() && (last.back() == '.' || last.back() == ' ')) last.pop_back();
    if (last.empty()) return FilePresence::kAbsent;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
      if (HasWildcard(parts[i])) return FilePresence::kAbsent;  // Windows: invalid name
    }
    return Find(root_folder_, parts, 0);
  }

 private:
  // A folder of the volume as first read in this run: a clean of many
  // values looks into the same few folders again and again, so each is
  // read once and every later lookup in it makes no system call.
  struct Folder {
    std::string path;  // from the root, "" for the root itself
    bool listed = false;
    bool readable = false;
    std::vector<std::string> names;
    std::vector<unsigned char> kinds;  // DT_* of each name
    std::unordered_map<std::string, std::vector<std::size_t>> by_upper_name;
    std::unordered_map<std::size_t, std::unique_ptr<Folder>> subfolders;  // by name index
  };

  enum class EntryKind { kFile, kDirectory, kUnknowable };

  // False when the folder cannot be read: nothing in it can be told.
  bool List(Folder& folder) {
    if (folder.listed) return folder.readable;
    folder.listed = true;
    int fd = folder.path.empty() ? dup(root_)
                                 : openat(root_, folder.path.c_str(),
                                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    folder.readable = ListFolder(fd, &folder.names, &folder.kinds);
    close(fd);
    for (std::size_t i = 0; i < folder.names.size(); ++i)
      folder.by_upper_name[UpperCase(folder.names[i])].push_back(i);
    return folder.readable;
  }

  // A link could lead outside the volume, so what it names cannot be told.
  EntryKind KindOf(const Folder& folder, std::size_t index) {
    unsigned char kind = folder.kinds[index];
    if (kind == DT_UNKNOWN) {
      std::string path = folder.path.empty() ? folder.names[index]
                                             : folder.path + "/" + folder.names[index];
      struct stat info;
      if (fstatat(root_, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return EntryKind::kUnknowable;
      kind = S_ISLNK(info.st_mode) ? DT_LNK : S_ISDIR(info.st_mode) ? DT_DIR : DT_REG;
    }
    if (kind == DT_LNK) return EntryKind::kUnknowable;
    return kind == DT_DIR ? EntryKind::kDirectory : EntryKind::kFile;
  }

  // What the entry says as the file looked for: a folder is no file.
  FilePresence EntryPresence(const Folder& folder, std::size_t index) {
    switch (KindOf(folder, index)) {
      case EntryKind::kFile: return FilePresence::kPresent;
      case EntryKind::kDirectory: return FilePresence::kAbsent;
      case EntryKind::kUnknowable: break;
    }
    return FilePresence::kCannotTell;
  }

  Folder& Subfolder(Folder& folder, std::size_t index) {
    std::unique_ptr<Folder>& sub = folder.subfolders[index];
    if (!sub) {
      sub = std::make_unique<Folder>();
      sub->path = folder.path.empty() ? folder.names[index]
                                      : folder.path + "/" + folder.names[index];
    }
    return *sub;
  }

  // Looks for parts[i..] in folder.
  FilePresence Find(Folder& folder, const std::vector<std::string>& parts, std::size_t i) {
    const std::string& part = parts[i];
    bool last = i + 1 == parts.size();
    if (!List(folder)) return FilePresence::kCannotTell;
    if (last && HasWildcard(part)) return FindFirst(folder, part);
    auto same = folder.by_upper_name.find(UpperCase(part));
    if (same == folder.by_upper_name.end()) {
      // Windows also finds an entry by its short 8.3 alias, which a mounted
      // volume does not show, and folds the case of every letter, not only
      // A to Z: such a name may well be there.
      bool beyond_ascii = std::any_of(part.begin(), part.end(), [](char c) { return c & 0x80; });
      return LooksLikeShortName(part) || beyond_ascii ? FilePresence::kCannotTell
                                                      : FilePresence::kAbsent;
    }

    FilePresence answer = FilePresence::kAbsent;
    for (std::size_t index : same->second) {
      if (last) {
        answer = Either(answer, EntryPresence(folder, index));
        continue;
      }
      switch (KindOf(folder, index)) {
        case EntryKind::kUnknowable:
          answer = Either(answer, FilePresence::kCannotTell);
          break;
        case EntryKind::kFile:
          break;  // a file where a folder should be
        case EntryKind::kDirectory:
          answer = Either(answer, Find(Subfolder(folder, index), parts, i + 1));
          break;
      }
    }
    return answer;
  }

  // A search with wildcards looks at the first entry it finds alone. On the
  // volume that is "." or ".." (in any folder but the root) when they match,
  // then the names in their order of upper-cased letters.
  FilePresence FindFirst(const Folder& folder, const std::string& pattern) {
    if (!folder.path.empty() &&
        (WildcardMatches(pattern, ".") || WildcardMatches(pattern, "..")))
      return FilePresence::kAbsent;
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < folder.names.size(); ++i) {
      if (WildcardMatches(pattern, folder.names[i])) found.push_back(i);
    }
    if (found.empty()) return FilePresence::kAbsent;
    auto first = std::min_element(found.begin(), found.end(), [&](std::size_t a, std::size_t b) {
      std::string ua = UpperCase(folder.names[a]), ub = UpperCase(folder.names[b]);
      return ua != ub ? ua < ub : folder.names[a] < folder.names[b];
    });
    return EntryPresence(folder, *first);
  }

  int root_;
  Folder root_folder_;
};

}  // namespace

bool WildcardMatches(const std::string& pattern, const std::string& name) {
  return Match(pattern.c_str(), name.c_str());
}

std::unique_ptr<FileTest> MakeSystemFileTest() { return std::make_unique<PosixFileTest>(); }

std::unique_ptr<FileTest> MakeMountedVolumeFileTest(const std::string& root,
                                                    std::string* error) {
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *error = std::strerror(errno);
    return nullptr;
  }
  // An empty folder is most likely a mount point with nothing mounted on
  // it: every file would look deleted.
  std::vector<std::string> entries;
  if (!ListFolder(fd, &entries)) {
    *error = std::strerror(errno ? errno : EIO);
    close(fd);
    return nullptr;
  }
  if (entries.empty()) {
    *error = "the folder is empty; is the volume mounted?";
    close(fd);
    return nullptr;
  }
  return std::make_unique<MountedVolumeFileTest>(fd);
}
