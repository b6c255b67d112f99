#include "count_report/ansi_lower_case.h"

std::string LowerCaseAnsi(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}
