#include "count_report/listing_pass.h"

#include <cstdio>

#include "count_report/ansi_lower_case.h"
#include "count_report/cleaning.h"
#include "run_control/failure.h"
#include "run_control/standard_output.h"
#include "shared_dll_key/shared_dll_key.h"

namespace {

constexpr std::size_t kFileNameLimit = 255;
constexpr std::size_t kNameField = 60;

// Index just past the directory part: after the last "\" or ":", 0 if none.
std::size_t FileNameStart(const std::string& text) {
  std::size_t last = text.find_last_of("\\:");
  return last == std::string::npos ? 0 : last + 1;
}

std::string FileNamePart(const std::string& text) {
  return text.substr(FileNameStart(text), kFileNameLimit);
}

[[noreturn]] void RaiseNotAnInteger(const std::string& text) {
  RaiseFailure("EConvertError", FormatText("'%s' is not a valid integer value", text));
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads the value's count by its kind. A value whose count is not read
// (another kind, or gone since the snapshot) counts 0, so that a row never
// shows another value's count.
std::int32_t ReadCount(SharedDllKey& key, const std::string& name) {
  switch (key.QueryValueKind(name)) {
    case ValueKind::vkText:
      return TextToCount(key.ReadTextValue(name));
    case ValueKind::vkDword:
      return key.ReadDwordValue(name);
    case ValueKind::vkBinary: {
      // One to four bytes form a little-endian number, zero-extended.
      std::uint8_t CountBuffer[4] = {0, 0, 0, 0};
      key.ReadBinaryValue(name, CountBuffer, sizeof CountBuffer);
      std::uint32_t count = CountBuffer[0] | (CountBuffer[1] << 8) | (CountBuffer[2] << 16) |
                            (static_cast<std::uint32_t>(CountBuffer[3]) << 24);
      return static_cast<std::int32_t>(count);
    }
    case ValueKind::vkExpandText:
    case ValueKind::vkOther:
      break;
  }
  return 0;
}

}  // namespace

std::int32_t TextToCount(const std::string& text) {
  std::size_t i = text.find_first_not_of(' ');
  if (i == std::string::npos) RaiseNotAnInteger(text);
  if (text[i] == '$') {
    ++i;
    if (i == text.size()) RaiseNotAnInteger(text);
    std::uint32_t value = 0;
    int significant = 0;
    for (; i < text.size(); ++i) {
      int digit = HexDigit(text[i]);
      if (digit < 0) RaiseNotAnInteger(text);
      if (significant > 0 || digit != 0) ++significant;
      if (significant > 8) RaiseNotAnInteger(text);
      value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
    return static_cast<std::int32_t>(value);
  }
  bool negative = false;
  if (text[i] == '+' || text[i] == '-') negative = text[i++] == '-';
  if (i == text.size()) RaiseNotAnInteger(text);
  std::int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') RaiseNotAnInteger(text);
    value = value * 10 + (text[i] - '0');
    if (value > 2147483647) RaiseNotAnInteger(text);  // also -2147483648
  }
  return static_cast<std::int32_t>(negative ? -value : value);
}

bool OperandMatches(const std::string& operand, const std::string& valueName) {
  if (FileNameStart(operand) == 0) {
    return LowerCaseAnsi(FileNamePart(valueName)) == LowerCaseAnsi(FileNamePart(operand));
  }
  return LowerCaseAnsi(valueName) == LowerCaseAnsi(operand);
}

std::string FormatRow(const std::string& name, std::int32_t count) {
  std::string row = name;
  if (row.size() < kNameField) row.append(kNameField - row.size(), ' ');
  std::string decimal = std::to_string(count);
  if (decimal.size() < 2) decimal += ' ';
  char hex[16];
  std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(count));
  row += ' ';
  row += decimal;
  row += " (0x";
  row += hex;
  row += ')';
  CheckFormatResultLength(row);
  return row;
}

void RunListingPass(const std::string& operand, const ListingRun& run) {
  for (std::size_t i = 0; i < run.ValueNames->size(); ++i) {
    bool RowPrinted = false;
    const std::string& name = (*run.ValueNames)[i];
    std::int32_t LastCount = ReadCount(*run.key, name);
    if (run.ShowAll || OperandMatches(operand, name)) {
      run.output->Write(FormatRow(name, LastCount));
      RowPrinted = true;
    }
    if (RowPrinted) {
      if (run.CleanUp) CleanCountEntry(name, *run.key, *run.files, *run.output);
      run.output->Write("\r\n");
    }
  }
}
