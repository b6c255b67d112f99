#include "run_control/native_options.h"

#include <gtest/gtest.h>

namespace {

TEST(ParseNativeOptions, LeadingOptionsThenTheRest) {
  const struct {
    std::vector<std::string> arguments;
    std::string hive;  // "-" when not given
    std::string root;
    std::vector<std::string> rest;
  } kCases[] = {
      {{}, "-", "-", {}},
      {{"/ALL"}, "-", "-", {"/ALL"}},
      {{"--hive", "s.hiv", "/ALL"}, "s.hiv", "-", {"/ALL"}},
      {{"--hive=s.hiv", "--root=/mnt/c", "/CLEAN", "/ALL"}, "s.hiv", "/mnt/c", {"/CLEAN", "/ALL"}},
      {{"--root", "/mnt", "--hive", "a", "--hive", "b", "x.dll"}, "b", "/mnt", {"x.dll"}},
      // The options end at the first argument that is not one of them...
      {{"/ALL", "--hive", "s.hiv"}, "-", "-", {"/ALL", "--hive", "s.hiv"}},
      {{"--hive", "s.hiv", "--other", "--root", "r"}, "s.hiv", "-", {"--other", "--root", "r"}},
      {{"--hiveX", "s.hiv"}, "-", "-", {"--hiveX", "s.hiv"}},
      // ...or after "--", which lets an operand look like an option.
      {{"--hive", "s.hiv", "--", "--root"}, "s.hiv", "-", {"--root"}},
      {{"--", "--"}, "-", "-", {"--"}},
      // A value may itself start with dashes; an empty one is a value too.
      {{"--hive", "--root", "/ALL"}, "--root", "-", {"/ALL"}},
      {{"--hive=", "/ALL"}, "", "-", {"/ALL"}},
  };
  for (const auto& c : kCases) {
    NativeOptions options = ParseNativeOptions(c.arguments);
    SCOPED_TRACE(testing::PrintToString(c.arguments));
    EXPECT_EQ(options.error_line, "");
    EXPECT_EQ(options.has_hive ? options.hive : "-", c.hive);
    EXPECT_EQ(options.has_root ? options.root : "-", c.root);
    EXPECT_EQ(options.arguments, c.rest);
  }
}

TEST(ParseNativeOptions, HelpAndVersion) {
  NativeOptions help = ParseNativeOptions({"--help", "/ALL"});
  EXPECT_TRUE(help.help);
  EXPECT_FALSE(help.version);
  EXPECT_TRUE(ParseNativeOptions({"--hive", "s", "--version"}).version);
  // After the options they are operands like any other.
  NativeOptions late = ParseNativeOptions({"/ALL", "--help"});
  EXPECT_FALSE(late.help);
  EXPECT_EQ(late.arguments, (std::vector<std::string>{"/ALL", "--help"}));
}

TEST(ParseNativeOptions, OptionWithoutItsValue) {
  EXPECT_EQ(ParseNativeOptions({"--hive"}).error_line, "Error: Option --hive needs a value");
  EXPECT_EQ(ParseNativeOptions({"--hive", "s", "--root"}).error_line,
            "Error: Option --root needs a value");
}

}  // namespace
