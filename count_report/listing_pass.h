#ifndef DLLTALLY_COUNT_REPORT_LISTING_PASS_H_
#define DLLTALLY_COUNT_REPORT_LISTING_PASS_H_

#include <cstdint>
#include <string>
#include <vector>

class FileTest;
class SharedDllKey;
class StandardOutput;

// What one listing pass works with; run control owns all of it.
struct ListingRun {
  SharedDllKey* key;
  FileTest* files;
  StandardOutput* output;
  const std::vector<std::string>* ValueNames;  // the run's one snapshot
  bool ShowAll;
  bool CleanUp;
};

// Walks the snapshot once for one operand ("" for the extra pass of /ALL)
// and prints a row for each value the operand selects. Every value's count
// is read first, selected or not, so a malformed value ends any pass that
// reaches it.
void RunListingPass(const std::string& operand, const ListingRun& run);

// True when the operand selects the value: a bare file name selects every
// value with that file-name part, an operand with a folder or drive part
// only the value of exactly that name; letter case is folded either way.
bool OperandMatches(const std::string& operand, const std::string& valueName);

// The count written in a text value: optional leading spaces, then a signed
// decimal number or "$" and hexadecimal digits, nothing after. Anything else
// raises EConvertError "'%s' is not a valid integer value".
std::int32_t TextToCount(const std::string& text);

// The row text without its line end: the name padded to 60 characters, the
// count in decimal padded to 2, then the count in hexadecimal.
std::string FormatRow(const std::string& name, std::int32_t count);

#endif  // DLLTALLY_COUNT_REPORT_LISTING_PASS_H_
