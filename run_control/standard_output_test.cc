#include "run_control/standard_output.h"

#include <gtest/gtest.h>

#include "run_control/console.h"
#include "run_control/failure.h"
#include "tests/fakes.h"

namespace {

std::string Bytes(std::size_t count, char c) { return std::string(count, c); }

TEST(StandardOutput, FileOrPipeGoesOutIn128ByteBlocksAndOnceAtTheEnd) {
  FakeConsole console;
  StandardOutput output(&console, 128);
  output.Write(Bytes(100, 'a'));
  EXPECT_TRUE(console.writes.empty());
  output.Write(Bytes(200, 'b'));  // fills the buffer twice
  EXPECT_EQ(console.writes, (std::vector<std::string>{Bytes(100, 'a') + Bytes(28, 'b'),
                                                      Bytes(128, 'b')}));
  output.Write(Bytes(84, 'c'));  // exactly fills it again
  EXPECT_EQ(console.writes.size(), 3u);
  output.Write("tail");
  EXPECT_TRUE(output.WriteRemainder());
  EXPECT_EQ(console.writes.back(), "tail");
  EXPECT_EQ(console.written, Bytes(100, 'a') + Bytes(200, 'b') + Bytes(84, 'c') + "tail");
  EXPECT_EQ(console.open_calls, 1);
}

TEST(StandardOutput, ConsoleGetsEveryStatement) {
  FakeConsole console;
  console.character_device = true;
  StandardOutput output(&console, 128);
  output.Write("row");
  output.Write(" Deleted");
  output.Write("\r\n");
  output.Write(Bytes(130, 'x'));
  EXPECT_EQ(console.writes, (std::vector<std::string>{"row", " Deleted", "\r\n",
                                                      Bytes(128, 'x'), "xx"}));
  EXPECT_TRUE(output.WriteRemainder());
  EXPECT_EQ(console.writes.size(), 5u);
}

TEST(StandardOutput, FailedWriteDropsBufferAndRestOfStatementThenRaises) {
  FakeConsole console;
  console.fail_writes = {2};
  console.failure_message = InOutErrorMessage(112);
  StandardOutput output(&console, 128);
  output.Write(Bytes(100, 'a'));
  try {
    // Write-out 1 succeeds, write-out 2 fails: the rest is dropped, not sent.
    output.Write(Bytes(400, 'b'));
    FAIL() << "no failure raised";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.type_name, "EInOutError");
    EXPECT_EQ(failure.message, "I/O error 112");
  }
  EXPECT_EQ(console.writes.size(), 2u);
  // Later statements are written again.
  output.Write("next");
  EXPECT_TRUE(output.WriteRemainder());
  EXPECT_EQ(console.written, Bytes(100, 'a') + Bytes(28, 'b') + "next");
}

TEST(StandardOutput, ConsoleFailureRaisesAtTheStatementThatFailed) {
  FakeConsole console;
  console.character_device = true;
  console.fail_writes = {1};
  StandardOutput output(&console, 128);
  EXPECT_THROW(output.Write("row"), Failure);
  output.Write("\r\n");
  EXPECT_EQ(console.written, "\r\n");
}

TEST(StandardOutput, UnusableHandleFailsEveryWrite) {
  FakeConsole console;
  console.open_failure = InOutErrorMessage(6);
  StandardOutput output(&console, 128);
  EXPECT_THROW(output.Write("a"), Failure);
  EXPECT_THROW(output.Write("b"), Failure);
  EXPECT_TRUE(console.writes.empty());
  EXPECT_TRUE(output.WriteRemainder());  // nothing was held back
}

TEST(StandardOutput, FailedFinalWriteIsReported) {
  FakeConsole console;
  console.fail_all_writes = true;
  StandardOutput output(&console, 128);
  output.Write("rows still in the buffer");
  EXPECT_FALSE(output.WriteRemainder());
}

TEST(StandardOutput, NothingWrittenNeedsNoFinalWrite) {
  FakeConsole console;
  console.fail_all_writes = true;
  StandardOutput output(&console, 128);
  EXPECT_TRUE(output.WriteRemainder());
  EXPECT_EQ(console.open_calls, 0);
}

TEST(InOutErrorMessage, Table) {
  const struct {
    unsigned code;
    const char* message;
  } kCases[] = {
      {2, "File not found"},        {3, "Invalid filename"},
      {4, "Too many open files"},   {5, "File access denied"},
      {100, "Read beyond end of file"}, {101, "Disk full"},
      {106, "Invalid numeric input"}, {6, "I/O error 6"},
      {112, "I/O error 112"},       {232, "I/O error 232"},
  };
  for (const auto& c : kCases) EXPECT_EQ(InOutErrorMessage(c.code), c.message);
}

}  // namespace
