#include <gtest/gtest.h>

#include "run_control/failure.h"
#include "shared_dll_key/memory_key.h"
#include "shared_dll_key/shared_dll_key.h"

namespace {

std::string FailureMessage(void (*action)()) {
  try {
    action();
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.type_name, "ERegistryException");
    return failure.message;
  }
  return "no failure";
}

TEST(StoredValue, KindByType) {
  const struct {
    std::uint32_t type;
    ValueKind kind;
  } kCases[] = {
      {kRegNone, ValueKind::vkOther},   {kRegSz, ValueKind::vkText},
      {kRegExpandSz, ValueKind::vkExpandText}, {kRegBinary, ValueKind::vkBinary},
      {kRegDword, ValueKind::vkDword},  {5, ValueKind::vkOther},  // big-endian DWORD
      {6, ValueKind::vkOther},          {kRegMultiSz, ValueKind::vkOther},
      {11, ValueKind::vkOther},         {0xFFFF0001, ValueKind::vkOther},
  };
  for (const auto& c : kCases) {
    StoredValue value{c.type, "x"};
    EXPECT_EQ(StoredValueKind(&value), c.kind) << c.type;
  }
  EXPECT_EQ(StoredValueKind(nullptr), ValueKind::vkOther);
}

TEST(StoredValue, Text) {
  StoredValue with_nul{kRegSz, std::string("12\0junk", 7)};
  EXPECT_EQ(ReadStoredText("v", &with_nul), "12");
  StoredValue empty{kRegSz, ""};
  EXPECT_EQ(ReadStoredText("v", &empty), "");
  StoredValue expand{kRegExpandSz, "%x%"};
  EXPECT_EQ(ReadStoredText("v", &expand), "%x%");
  EXPECT_EQ(ReadStoredText("v", nullptr), "");
  EXPECT_EQ(FailureMessage([] {
              StoredValue dword{kRegDword, DwordData(1)};
              ReadStoredText("v", &dword);
            }),
            "Invalid data type for 'v'");
}

TEST(StoredValue, Dword) {
  StoredValue full{kRegDword, DwordData(0xFFFFFFFE)};
  EXPECT_EQ(ReadStoredDword("v", &full), -2);
  StoredValue short_value{kRegDword, "\x2C\x01"};
  EXPECT_EQ(ReadStoredDword("v", &short_value), 300);
  StoredValue none{kRegDword, ""};
  EXPECT_EQ(ReadStoredDword("v", &none), 0);
  EXPECT_EQ(FailureMessage([] {
              StoredValue long_value{kRegDword, "12345"};
              ReadStoredDword("v", &long_value);
            }),
            "Failed to get data for 'v'");
  EXPECT_EQ(FailureMessage([] { ReadStoredDword("v", nullptr); }),
            "Failed to get data for 'v'");
  EXPECT_EQ(FailureMessage([] {
              StoredValue text{kRegSz, "1"};
              ReadStoredDword("v", &text);
            }),
            "Invalid data type for 'v'");
}

TEST(StoredValue, BinaryLeavesTheRestOfTheBufferAlone) {
  std::uint8_t buffer[4] = {9, 9, 9, 9};
  StoredValue two{kRegBinary, "\x2C\x01"};
  EXPECT_EQ(ReadStoredBinary("v", &two, buffer, 4), 2u);
  EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 4),
            (std::vector<std::uint8_t>{0x2C, 0x01, 9, 9}));
  StoredValue empty{kRegBinary, ""};
  EXPECT_EQ(ReadStoredBinary("v", &empty, buffer, 4), 0u);
  EXPECT_EQ(ReadStoredBinary("v", nullptr, buffer, 4), 0u);
  EXPECT_EQ(buffer[0], 0x2C);
  EXPECT_EQ(FailureMessage([] {
              std::uint8_t b[4];
              StoredValue five{kRegBinary, "12345"};
              ReadStoredBinary("v", &five, b, 4);
            }),
            "Invalid data type for 'v'");
  EXPECT_EQ(FailureMessage([] {
              std::uint8_t b[4];
              StoredValue text{kRegSz, "1"};
              ReadStoredBinary("v", &text, b, 4);
            }),
            "Invalid data type for 'v'");
}

TEST(StoredValue, LongNamesInMessagesHitTheFormatLimit) {
  // "Failed to get data for ''" is 25 characters.
  static std::string name;
  name.assign(4071, 'n');
  EXPECT_EQ(FailureMessage([] { ReadStoredDword(name, nullptr); }).size(), 4096u);
  name.assign(4072, 'n');
  try {
    ReadStoredDword(name, nullptr);
    FAIL();
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.type_name, "EConvertError");
    EXPECT_EQ(failure.message, "Format result longer than 4096 characters");
  }
}

}  // namespace
