// Fuzzes the text-to-integer rule that reads counts stored as text.
//
// Properties: the rule agrees with a second, independently written reading
// of it; every accepted text prints back (in decimal, or "$" and hex) to a
// text that reads as the same number; leading spaces never change the
// outcome; every rejected text fails with EConvertError and the exact message.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "count_report/listing_pass.h"
#include "fuzz/fuzz_check.h"
#include "run_control/failure.h"

namespace {

// The rule read literally: spaces, then [+-]digits or $hexdigits, nothing after.
std::optional<std::int32_t> ReferenceCount(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  std::string rest = text.substr(i);
  if (rest.empty()) return std::nullopt;
  if (rest[0] == '$') {
    std::string digits = rest.substr(1);
    if (digits.empty()) return std::nullopt;
    for (char c : digits) {
      bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
      if (!hex) return std::nullopt;
    }
    std::size_t first = digits.find_first_not_of('0');
    std::string significant = first == std::string::npos ? "" : digits.substr(first);
    if (significant.size() > 8) return std::nullopt;
    std::uint32_t pattern =
        significant.empty() ? 0 : static_cast<std::uint32_t>(std::stoul(significant, nullptr, 16));
    return static_cast<std::int32_t>(pattern);
  }
  bool negative = rest[0] == '-';
  std::string digits = (rest[0] == '-' || rest[0] == '+') ? rest.substr(1) : rest;
  if (digits.empty()) return std::nullopt;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  std::size_t first = digits.find_first_not_of('0');
  std::string significant = first == std::string::npos ? "0" : digits.substr(first);
  if (significant.size() > 10) return std::nullopt;
  long long magnitude = std::stoll(significant);
  if (magnitude > 2147483647LL) return std::nullopt;
  return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

// The outcome of the rule under test: the count, or the failure it raised.
struct Outcome {
  bool accepted = false;
  std::int32_t count = 0;
  Failure failure;
};

Outcome Convert(const std::string& text) {
  Outcome outcome;
  try {
    outcome.count = TextToCount(text);
    outcome.accepted = true;
  } catch (const Failure& failure) {
    outcome.failure = failure;
  }
  return outcome;
}

std::string Hex(std::int32_t count) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "$%X", static_cast<unsigned>(count));
  return hex;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  Outcome outcome = Convert(text);
  std::optional<std::int32_t> expected = ReferenceCount(text);

  FUZZ_CHECK(outcome.accepted == expected.has_value());
  if (outcome.accepted) {
    FUZZ_CHECK(outcome.count == *expected);
    // Printed back in hex it always reads the same; in decimal too, except
    // for the one number whose decimal text the rule refuses.
    Outcome hex = Convert(Hex(outcome.count));
    FUZZ_CHECK(hex.accepted && hex.count == outcome.count);
    Outcome decimal = Convert(std::to_string(outcome.count));
    if (outcome.count == INT32_MIN) {
      FUZZ_CHECK(!decimal.accepted);
    } else {
      FUZZ_CHECK(decimal.accepted && decimal.count == outcome.count);
    }
  } else {
    FUZZ_CHECK(outcome.failure.type_name == "EConvertError");
    std::string message = "'" + text + "' is not a valid integer value";
    if (message.size() > 4096) message = "Format result longer than 4096 characters";
    FUZZ_CHECK(outcome.failure.message == message);
  }

  // Leading spaces are skipped, so one more never changes the count or the
  // verdict (the message quotes the text as given, space included).
  Outcome spaced = Convert(" " + text);
  FUZZ_CHECK(spaced.accepted == outcome.accepted);
  if (spaced.accepted) FUZZ_CHECK(spaced.count == outcome.count);
  return 0;
}
