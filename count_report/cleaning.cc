#include "count_report/cleaning.h"

#include "count_report/file_test.h"
#include "run_control/standard_output.h"
#include "shared_dll_key/shared_dll_key.h"

void CleanCountEntry(const std::string& name, SharedDllKey& key, FileTest& files,
                     StandardOutput& output) {
  if (files.FilePresent(name) != FilePresence::kAbsent) return;
  // A refused deletion, or a value already deleted by an earlier pass,
  // is still reported as deleted: the file is gone either way.
  key.RemoveCountEntry(name);
  output.Write(" Deleted");
}
