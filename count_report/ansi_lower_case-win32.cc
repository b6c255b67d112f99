#include "count_report/ansi_lower_case.h"

#include <windows.h>

std::string LowerCaseAnsi(std::string text) {
  // CharLowerBuffA takes a DWORD length; no argument or value name is near it.
  if (!text.empty()) CharLowerBuffA(text.data(), static_cast<DWORD>(text.size()));
  return text;
}
