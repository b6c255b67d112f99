// Fuzzes the row layout: name field, decimal count, hexadecimal count.
//
// Properties: a row of at most 4096 characters is laid out field by field
// (name padded to 60 and never cut, decimal padded to 2, at least four
// upper-case hex digits) and both numbers parse back to the count; a longer
// row raises EConvertError "Format result longer than 4096 characters".

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "count_report/listing_pass.h"
#include "fuzz/fuzz_check.h"
#include "run_control/failure.h"

namespace {

constexpr std::size_t kNameField = 60;
constexpr std::size_t kFormatLimit = 4096;

std::size_t DecimalLength(std::int32_t count) { return std::to_string(count).size(); }

std::size_t HexLength(std::int32_t count) {
  std::size_t digits = 1;
  for (std::uint32_t pattern = static_cast<std::uint32_t>(count); pattern >= 16; pattern >>= 4) {
    ++digits;
  }
  return digits;
}

bool IsUpperHex(const std::string& text) {
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return !text.empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  std::int32_t count = provider.ConsumeIntegral<std::int32_t>();
  // A run of one byte lengthens the name, so short inputs reach the limit.
  std::size_t filler = provider.ConsumeIntegralInRange<std::size_t>(0, 4200);
  char filler_byte = provider.ConsumeIntegral<char>();
  std::string name = provider.ConsumeRemainingBytesAsString() + std::string(filler, filler_byte);

  std::size_t expected_size = std::max(name.size(), kNameField) + 1 +
                              std::max<std::size_t>(DecimalLength(count), 2) + 4 +
                              std::max<std::size_t>(HexLength(count), 4) + 1;
  std::string row;
  try {
    row = FormatRow(name, count);
  } catch (const Failure& failure) {
    FUZZ_CHECK(expected_size > kFormatLimit);
    FUZZ_CHECK(failure.type_name == "EConvertError");
    FUZZ_CHECK(failure.message == "Format result longer than 4096 characters");
    return 0;
  }
  FUZZ_CHECK(expected_size <= kFormatLimit);
  FUZZ_CHECK(row.size() == expected_size);

  // Name field: the name whole, then spaces up to 60 characters.
  std::size_t field = std::max(name.size(), kNameField);
  FUZZ_CHECK(row.compare(0, name.size(), name) == 0);
  FUZZ_CHECK(row.find_first_not_of(' ', name.size()) >= field);
  FUZZ_CHECK(row[field] == ' ');

  // Decimal field, padded on the right to two characters, then " (0x".
  std::string tail = row.substr(field + 1);
  std::size_t opening = tail.find(" (0x");
  FUZZ_CHECK(opening != std::string::npos);
  std::string decimal = tail.substr(0, opening);
  FUZZ_CHECK(decimal.size() >= 2);
  if (DecimalLength(count) == 1) FUZZ_CHECK(decimal.back() == ' ');
  FUZZ_CHECK(std::strtol(decimal.c_str(), nullptr, 10) == count);
  FUZZ_CHECK(decimal.substr(0, DecimalLength(count)) == std::to_string(count));

  // Hexadecimal field: at least four upper-case digits, then ")".
  FUZZ_CHECK(tail.back() == ')');
  std::string hex = tail.substr(opening + 4, tail.size() - opening - 5);
  FUZZ_CHECK(hex.size() >= 4 && IsUpperHex(hex));
  FUZZ_CHECK(static_cast<std::uint32_t>(std::strtoul(hex.c_str(), nullptr, 16)) ==
             static_cast<std::uint32_t>(count));
  if (count < 0) FUZZ_CHECK(hex.size() == 8);
  return 0;
}
