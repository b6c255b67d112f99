#ifndef DLLTALLY_COUNT_REPORT_MOUNTED_FILE_TEST_H_
#define DLLTALLY_COUNT_REPORT_MOUNTED_FILE_TEST_H_

#include <memory>
#include <string>

#include "count_report/file_test.h"

// The file test for a Windows volume mounted at root, standing for drive C:
// (POSIX builds). C:\dir\file.dll, in any letter case, or \dir\file.dll is
// looked up as root/dir/file.dll, each component matched without regard to
// ASCII letter case, "*" and "?" in the last component acting as wildcards.
// Other drives, UNC names and relative names cannot be told; names that can
// name no file (empty, a bare drive root, ending in "\") are absent.
// Returns nullptr and sets *error when root is not a folder that can be read.
std::unique_ptr<FileTest> MakeMountedVolumeFileTest(const std::string& root,
                                                    std::string* error);

// True when the Windows wildcard pattern matches the file name, ASCII
// letters compared without regard to case.
bool WildcardMatches(const std::string& pattern, const std::string& name);

#endif  // DLLTALLY_COUNT_REPORT_MOUNTED_FILE_TEST_H_
