// Fuzzes the text of the top-level failure report.
//
// Properties: the report reads "Exception <type> in module <file> at
// <8 hex digits>.\n<message>" plus a "." when the message is not empty and
// does not already end in one; <file> is the program's file name without its
// folder, cut to 63 characters; the address parses back.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_check.h"
#include "run_control/run_control.h"

namespace {

bool IsUpperHex(const std::string& text) {
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  std::uint32_t address = provider.ConsumeIntegral<std::uint32_t>();
  std::string type_name = provider.ConsumeRandomLengthString(64);
  std::string program_file = provider.ConsumeRandomLengthString(512);
  std::string message = provider.ConsumeRemainingBytesAsString();

  std::string report = FailureReportText(type_name, program_file, address, message);

  std::string head = "Exception " + type_name + " in module ";
  FUZZ_CHECK(report.compare(0, head.size(), head) == 0);

  // The message and its closing full stop end the report.
  std::string ending = message;
  if (!message.empty() && message.back() != '.') ending += '.';
  FUZZ_CHECK(report.size() >= head.size() + ending.size());
  FUZZ_CHECK(report.compare(report.size() - ending.size(), ending.size(), ending) == 0);
  std::string middle = report.substr(head.size(), report.size() - head.size() - ending.size());

  // Between them: "<module> at XXXXXXXX.\n".
  const std::string kAt = " at ";
  FUZZ_CHECK(middle.size() >= kAt.size() + 10);
  std::string address_text = middle.substr(middle.size() - 10, 8);
  FUZZ_CHECK(middle.compare(middle.size() - 2, 2, ".\n") == 0);
  FUZZ_CHECK(IsUpperHex(address_text));
  FUZZ_CHECK(std::strtoul(address_text.c_str(), nullptr, 16) == address);
  FUZZ_CHECK(middle.compare(middle.size() - 10 - kAt.size(), kAt.size(), kAt) == 0);
  std::string module = middle.substr(0, middle.size() - 10 - kAt.size());

  // The module is the start of the last path component, at most 63 long.
  std::size_t folder_end = program_file.find_last_of("\\/:");
  std::string file_name =
      folder_end == std::string::npos ? program_file : program_file.substr(folder_end + 1);
  FUZZ_CHECK(module.size() <= 63);
  FUZZ_CHECK(module == file_name.substr(0, 63));
  return 0;
}
