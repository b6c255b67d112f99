#ifndef DLLTALLY_COUNT_REPORT_CLEANING_H_
#define DLLTALLY_COUNT_REPORT_CLEANING_H_

#include <string>

class FileTest;
class SharedDllKey;
class StandardOutput;

// The cleaning step for a row just printed: when the value's file is
// certainly absent, deletes the value and writes " Deleted" after the row
// text. A file that is there, or that cannot be checked, keeps its count.
void CleanCountEntry(const std::string& name, SharedDllKey& key, FileTest& files,
                     StandardOutput& output);

#endif  // DLLTALLY_COUNT_REPORT_CLEANING_H_
