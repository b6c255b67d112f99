// Fuzzes the rule by which an operand selects a value name.
//
// Properties: ASCII letter case never matters on either side; an operand
// with a folder or drive part selects exactly the names equal to it after
// folding; a bare file name selects a name that ends in "\" or ":" and that
// file name, whatever the folder, and agrees with a literal reading of the
// rule; a name always selects itself.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "count_report/listing_pass.h"
#include "fuzz/fuzz_check.h"

namespace {

std::string AsciiUpper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::string AsciiLower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool HasFolderPart(const std::string& text) {
  return text.find_first_of("\\:") != std::string::npos;
}

// Everything after the last "\" or ":", at most 255 characters of it.
std::string FileNamePart(const std::string& text) {
  std::size_t last = text.find_last_of("\\:");
  std::string part = last == std::string::npos ? text : text.substr(last + 1);
  return part.substr(0, 255);
}

bool ReferenceMatches(const std::string& operand, const std::string& name) {
  if (HasFolderPart(operand)) return AsciiLower(operand) == AsciiLower(name);
  return AsciiLower(FileNamePart(name)) == AsciiLower(FileNamePart(operand));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  std::string operand = provider.ConsumeRandomLengthString(1024);
  std::string folder = provider.ConsumeRandomLengthString(1024);
  std::string name = provider.ConsumeRemainingBytesAsString();

  bool matches = OperandMatches(operand, name);
  FUZZ_CHECK(matches == ReferenceMatches(operand, name));
  FUZZ_CHECK(OperandMatches(AsciiUpper(operand), name) == matches);
  FUZZ_CHECK(OperandMatches(operand, AsciiUpper(name)) == matches);
  FUZZ_CHECK(OperandMatches(AsciiLower(operand), AsciiUpper(name)) == matches);

  FUZZ_CHECK(OperandMatches(name, name));
  FUZZ_CHECK(OperandMatches(AsciiUpper(name), AsciiLower(name)));
  if (HasFolderPart(operand)) {
    FUZZ_CHECK(matches == (AsciiLower(operand) == AsciiLower(name)));
  } else {
    FUZZ_CHECK(OperandMatches(operand, folder + "\\" + operand));
    FUZZ_CHECK(OperandMatches(operand, AsciiUpper(folder + ":" + operand)));
    // A name whose file-name part differs only in an added letter is not
    // selected (the part stays within 255 characters).
    if (operand.size() < 255) FUZZ_CHECK(!OperandMatches(operand, folder + "\\" + operand + "x"));
  }
  return 0;
}
