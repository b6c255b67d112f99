#include "tests/fakes.h"

#include <regex>

std::string FakeConsole::OpenOutput(bool* is_character_device) {
  ++open_calls;
  *is_character_device = character_device;
  return open_failure;
}

std::string FakeConsole::WriteOutput(const char* data, std::size_t size) {
  int number = static_cast<int>(writes.size()) + 1;
  if (on_write) on_write(std::string(data, size));
  writes.emplace_back(data, size);
  if (fail_all_writes || fail_writes.count(number)) {
    writes.back() = "<failed>";
    return failure_message;
  }
  written.append(data, size);
  return "";
}

FilePresence FakeFileTest::FilePresent(const std::string& name) {
  asked.push_back(name);
  auto it = answers.find(name);
  return it == answers.end() ? FilePresence::kAbsent : it->second;
}

std::string MaskReportAddress(const std::string& output) {
  static const std::regex address(" at [0-9A-F]{8}\\.\n");
  return std::regex_replace(output, address, " at @ADDRESS@.\n");
}
