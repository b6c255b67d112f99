#include "count_report/ansi_lower_case.h"

#include <windows.h>

namespace {

// In a single-byte code page CharLowerBuffA maps each byte on its own, so
// one call over all 255 bytes gives a table that folds every text exactly
// as a call per text would, without the cost of a call per text (which is
// the larger part of matching an operand against a large key). A multi-byte
// code page has no such table: there each text goes to CharLowerBuffA.
struct LowerCaseTable {
  bool single_byte = false;
  char map[256];
};

LowerCaseTable MakeLowerCaseTable() {
  LowerCaseTable table;
  CPINFO info;
  if (!GetCPInfo(CP_ACP, &info) || info.MaxCharSize != 1) return table;
  for (int i = 0; i < 256; ++i) table.map[i] = static_cast<char>(i);
  CharLowerBuffA(table.map + 1, 255);
  table.single_byte = true;
  return table;
}

}  // namespace

std::string LowerCaseAnsi(std::string text) {
  static const LowerCaseTable table = MakeLowerCaseTable();
  if (table.single_byte) {
    for (char& c : text) c = table.map[static_cast<unsigned char>(c)];
  } else if (!text.empty()) {
    CharLowerBuffA(text.data(), static_cast<DWORD>(text.size()));
  }
  return text;
}
