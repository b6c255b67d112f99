#ifndef DLLTALLY_SHARED_DLL_KEY_HIVE_KEY_H_
#define DLLTALLY_SHARED_DLL_KEY_HIVE_KEY_H_

#include <functional>
#include <memory>
#include <string>

#include "shared_dll_key/shared_dll_key.h"

struct hive_h;

// The steps of a save that can fail for reasons a test cannot easily bring
// about (a full disk, a failing device); tests replace them.
struct HiveSaveSteps {
  std::function<int(hive_h* hive, const char* path)> commit;  // hivex_commit
  std::function<int(int fd)> sync_file;                       // fsync
  std::function<int(const char* from, const char* to)> rename_file;
};

HiveSaveSteps SystemSaveSteps();

// The shared-DLL key of an offline Windows SOFTWARE hive file, or the one
// "Error: ..." line that says why the hive cannot be used.
struct HiveOpening {
  std::unique_ptr<SharedDllKey> key;
  std::string error_line;
};

// Opens the hive, locks it (shared for a listing, exclusive for cleaning)
// and reads the values of Microsoft\Windows\CurrentVersion\SharedDLLs below
// its root into memory. Everything that would make the run unsafe or its
// listing incomplete is found here, before the run writes anything. The
// key's OpenSharedDllKey then only says whether the hive has the key.
//
// Deletions are kept in memory and written, all at once, when the key is
// closed: into a copy beside the hive that replaces it only once it has
// been synced and read back. When that fails the hive is left as it was
// and *save_error_line, which must outlive the key, receives the line
// "Error: Could not save hive FILE: REASON".
HiveOpening OpenHiveKey(const std::string& path, bool for_cleaning,
                        std::string* save_error_line,
                        const HiveSaveSteps& steps = SystemSaveSteps());

// Windows cannot read data over this size back from a single data cell,
// which is how hivex writes every value it rewrites.
inline constexpr std::size_t kLongestRewritableData = 16344;

// The key's path below the hive's root.
inline constexpr const char* kHiveKeyPath = "Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

#endif  // DLLTALLY_SHARED_DLL_KEY_HIVE_KEY_H_
