#include "tests/fakes.h"

std::string FakeConsole::OpenOutput(bool* is_character_device) {
  ++open_calls;
  *is_character_device = character_device;
  return open_failure;
}

std::string FakeConsole::WriteOutput(const char* data, std::size_t size) {
  int number = static_cast<int>(writes.size()) + 1;
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
