// Fuzzes the splitting of a Windows command line into arguments.
//
// Properties, for any bytes: no crash; no argument is empty or holds a NUL
// or a double quote (quotes are always dropped); the arguments, joined back
// into a line with a quoted stretch around each one that holds a separator,
// split into the same arguments. The same holds for arguments made up from
// the input directly, and also when the joined line puts a run of control
// characters and an empty pair of quotes before each argument and an empty
// pair of quotes inside it, which the rule skips.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "run_control/command_line.h"

namespace {

bool HoldsSeparator(const std::string& piece) {
  for (char c : piece) {
    unsigned char code = static_cast<unsigned char>(c);
    if (code >= 1 && code <= 32) return true;
  }
  return false;
}

// A command line that the rule splits into exactly `arguments`.
std::string JoinCommandLine(const std::string& program, const std::vector<std::string>& arguments) {
  std::string line = "\"" + program + "\"";
  for (const std::string& argument : arguments) {
    line += ' ';
    line += HoldsSeparator(argument) ? "\"" + argument + "\"" : argument;
  }
  return line;
}

// The same arguments in a line that uses every way the rule has of saying
// nothing: runs of separators, a skipped "" where an argument begins, and
// an empty quoted stretch inside an argument.
std::string JoinWithEmptyQuotes(const std::vector<std::string>& arguments) {
  std::string line = "\"\"dlltally";
  for (const std::string& argument : arguments) {
    line += " \t\"\"\x01\"\"\"\" \x1f\"\"";
    std::string quoted = HoldsSeparator(argument) ? "\"" + argument + "\"" : argument;
    line += quoted.substr(0, 1) + "\"\"" + quoted.substr(1);
  }
  return line + " \"\"";
}

void CheckArguments(const std::vector<std::string>& arguments) {
  for (const std::string& argument : arguments) {
    FUZZ_CHECK(!argument.empty());
    FUZZ_CHECK(argument.find('\0') == std::string::npos);
    FUZZ_CHECK(argument.find('"') == std::string::npos);
  }
}

// Arguments taken from the input: pieces between NUL bytes, quotes removed.
std::vector<std::string> ArgumentsFromBytes(const std::string& bytes) {
  std::vector<std::string> arguments;
  std::string piece;
  for (char c : bytes + '\0') {
    if (c == '\0') {
      if (!piece.empty()) arguments.push_back(piece);
      piece.clear();
    } else if (c != '"') {
      piece += c;
    }
  }
  return arguments;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);

  std::vector<std::string> split = SplitCommandLine(bytes);
  CheckArguments(split);
  FUZZ_CHECK(SplitCommandLine(JoinCommandLine("C:\\Program Files\\dlltally.exe", split)) == split);
  // Splitting is a pure function of the line: a second fetch agrees.
  FUZZ_CHECK(SplitCommandLine(bytes) == split);

  std::vector<std::string> made = ArgumentsFromBytes(bytes);
  std::vector<std::string> round_trip = SplitCommandLine(JoinCommandLine("dlltally", made));
  CheckArguments(round_trip);
  FUZZ_CHECK(round_trip == made);
  FUZZ_CHECK(SplitCommandLine(JoinWithEmptyQuotes(made)) == made);
  return 0;
}
