#include "count_report/listing_pass.h"

#include <string_view>

#include "count_report/ansi_lower_case.h"
#include "count_report/cleaning.h"
#include "run_control/failure.h"
#include "run_control/standard_output.h"
#include "shared_dll_key/shared_dll_key.h"

namespace {

constexpr std::size_t kFileNameLimit = 255;
constexpr std::size_t kNameField = 60;

// Index just past the directory part: after the last "\" or ":", 0 if none.
std::size_t FileNameStart(std::string_view text) {
  std::size_t i = text.size();
  while (i > 0 && text[i - 1] != '\\' && text[i - 1] != ':') --i;
  return i;
}

std::string_view FileNamePart(std::string_view text) {
  return text.substr(FileNameStart(text), kFileNameLimit);
}

// An operand as a pass compares it with every value name: lower-cased once.
struct OperandKey {
  bool whole_name;  // the operand has a directory part
  std::string lowered;
};

OperandKey KeyOf(const std::string& operand) {
  if (FileNameStart(operand) != 0) return {true, LowerCaseAnsi(operand)};
  return {false, LowerCaseAnsi(std::string(FileNamePart(operand)))};
}

bool Matches(const OperandKey& key, const std::string& valueName) {
  std::string_view compared = valueName;
  if (!key.whole_name) compared = FileNamePart(compared);
  // Lower-casing keeps the length, so most names are told apart by it alone.
  if (compared.size() != key.lowered.size()) return false;
  return LowerCaseAnsi(std::string(compared)) == key.lowered;
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

// Appends the row text: the name padded to 60, the count in decimal padded
// to 2, then in hexadecimal with at least 4 digits (a negative count as its
// 32-bit pattern). Written out by hand: a listing has a row per value.
void AppendRow(const std::string& name, std::int32_t count, std::string* row) {
  char tail[32];  // at most " -2147483648 (0xFFFFFFFF)"
  char* end = tail;
  *end++ = ' ';
  std::uint32_t bits = static_cast<std::uint32_t>(count);
  std::uint32_t magnitude = count < 0 ? 0u - bits : bits;
  char digits[10];
  int used = 0;
  do {
    digits[used++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (count < 0) *end++ = '-';
  bool one_wide = used == 1 && count >= 0;
  while (used > 0) *end++ = digits[--used];
  if (one_wide) *end++ = ' ';
  for (char c : {' ', '(', '0', 'x'}) *end++ = c;
  int hex_digits = 4;
  while (hex_digits < 8 && (bits >> (4 * hex_digits)) != 0) ++hex_digits;
  for (int k = hex_digits - 1; k >= 0; --k) *end++ = "0123456789ABCDEF"[(bits >> (4 * k)) & 0xF];
  *end++ = ')';

  row->append(name);
  if (name.size() < kNameField) row->append(kNameField - name.size(), ' ');
  row->append(tail, static_cast<std::size_t>(end - tail));
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
  return Matches(KeyOf(operand), valueName);
}

std::string FormatRow(const std::string& name, std::int32_t count) {
  std::string row;
  AppendRow(name, count, &row);
  CheckFormatResultLength(row);
  return row;
}

void RunListingPass(const std::string& operand, const ListingRun& run) {
  const OperandKey key = KeyOf(operand);
  std::string row;  // one buffer for every row of the pass
  for (std::size_t i = 0; i < run.ValueNames->size(); ++i) {
    bool RowPrinted = false;
    const std::string& name = (*run.ValueNames)[i];
    std::int32_t LastCount = ReadCount(*run.key, name);
    if (run.ShowAll || Matches(key, name)) {
      row.clear();
      AppendRow(name, LastCount, &row);
      CheckFormatResultLength(row);
      run.output->Write(row);
      RowPrinted = true;
    }
    if (RowPrinted) {
      if (run.CleanUp) CleanCountEntry(name, *run.key, *run.files, *run.output);
      run.output->Write("\r\n");
    }
  }
}
