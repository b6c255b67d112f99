#include "run_control/command_line.h"

#include <gtest/gtest.h>

namespace {

TEST(SplitCommandLine, Rule) {
  using Args = std::vector<std::string>;
  const struct {
    std::string line;
    Args arguments;
  } kCases[] = {
      {"dlltally.exe", {}},
      {"dlltally.exe /ALL", {"/ALL"}},
      {"\"C:\\Program Files\\dlltally.exe\" /all foo.dll", {"/all", "foo.dll"}},
      {"dlltally.exe   a\t\tb \x01\x1f c  ", {"a", "b", "c"}},
      // Quotes open a stretch in which separators belong to the argument.
      {"p \"C:\\Program Files\\x.dll\"", {"C:\\Program Files\\x.dll"}},
      {"p a\"b c\"d", {"ab cd"}},
      {"p \"unterminated stretch", {"unterminated stretch"}},
      // No escape: a backslash stays and the quote still opens a stretch.
      {"p a\\\"b c\\\" d", {"a\\b c\\", "d"}},
      // An empty pair where an argument would begin is skipped...
      {"p \"\" x", {"x"}},
      {"p \"\"\"\" x", {"x"}},
      // ... but inside an argument it is just an empty stretch.
      {"p a\"\"b", {"ab"}},
      // The arguments end at the first empty piece.
      {"p a \"", {"a"}},
      {"p a \"\"", {"a"}},
      // Bytes above 127 are argument characters.
      {"p \xC9t\xE9.dll", {"\xC9t\xE9.dll"}},
      // The program's name is split by the same rule.
      {"\"my prog\"x y", {"y"}},
      {"", {}},
  };
  for (const auto& c : kCases) EXPECT_EQ(SplitCommandLine(c.line), c.arguments) << c.line;
}

TEST(SplitCommandLine, LongArgumentsAreTakenWhole) {
  std::string operand(5000, 'x');
  EXPECT_EQ(SplitCommandLine("p " + operand + " /ALL"),
            (std::vector<std::string>{operand, "/ALL"}));
}

}  // namespace
