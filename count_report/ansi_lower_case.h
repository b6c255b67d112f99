#ifndef DLLTALLY_COUNT_REPORT_ANSI_LOWER_CASE_H_
#define DLLTALLY_COUNT_REPORT_ANSI_LOWER_CASE_H_

#include <string>

// The system's lower-casing of ANSI text: CharLowerBuffA on Windows (which
// also folds the code page's accented capitals), ASCII A-Z elsewhere. Texts
// folded by it are then compared byte for byte.
std::string LowerCaseAnsi(std::string text);

#endif  // DLLTALLY_COUNT_REPORT_ANSI_LOWER_CASE_H_
