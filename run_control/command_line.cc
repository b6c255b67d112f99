#include "run_control/command_line.h"

namespace {

bool IsSeparator(char c) {
  unsigned char code = static_cast<unsigned char>(c);
  return code >= 1 && code <= 32;
}

// Reads the piece that starts at *at and moves *at past it.
std::string NextPiece(const std::string& line, std::size_t* at) {
  std::size_t i = *at;
  for (;;) {
    while (i < line.size() && IsSeparator(line[i])) ++i;
    if (i + 1 < line.size() && line[i] == '"' && line[i + 1] == '"') {
      i += 2;
    } else {
      break;
    }
  }
  std::string piece;
  while (i < line.size() && line[i] != '\0' && !IsSeparator(line[i])) {
    if (line[i] == '"') {
      ++i;
      while (i < line.size() && line[i] != '\0' && line[i] != '"') piece += line[i++];
      if (i < line.size() && line[i] == '"') ++i;
    } else {
      piece += line[i++];
    }
  }
  *at = i;
  return piece;
}

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& command_line) {
  // Text after a NUL is not part of the line.
  std::string line = command_line.substr(0, command_line.find('\0'));
  std::size_t at = 0;
  NextPiece(line, &at);  // the program's own name
  std::vector<std::string> arguments;
  for (;;) {
    std::string piece = NextPiece(line, &at);
    if (piece.empty()) break;
    arguments.push_back(std::move(piece));
  }
  return arguments;
}
