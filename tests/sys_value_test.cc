#include "inputs/sys_value.h"

#include <string>

#include "test_support.h"

namespace {

TEST(SysValueTest, ReadsTheFirstLine) {
  TempDir dir;
  struct Case {
    std::string content;
    const char* expected;
  } cases[] = {
      {"123456\n", "123456"},
      {"1:23\n", "123"},
      {"42", "42"},
      {"7\n8\n", "7"},
      {"\n", ""},
      {"", ""},
      {"12345678901234567890123\n", "1234567890123456789"},
      {"::1::2::\n", "12"},
  };
  for (const auto& c : cases) {
    std::string path = dir.write("counter", c.content);
    CounterText text{};
    read_sys_value(path.c_str(), text);
    EXPECT_EQ(std::string(text.data()), c.expected) << c.content;
    EXPECT_EQ(text.back(), '\0');
  }
}

TEST(SysValueTest, ParsesCountersAsSigned64Bit) {
  TempDir dir;
  struct Case {
    std::string content;
    std::optional<uint64_t> expected;
  } cases[] = {
      {"123456\n", 123456},
      {"9223372036854775807\n", 9223372036854775807ull},
      {"99999999999999999999\n", 9223372036854775807ull},  // past the range: the largest
      {"12abc\n", 12},
      {"abc\n", std::nullopt},  // no number: unreadable, never 0
      {"", std::nullopt},
      {"-1\n", UINT64_MAX},
  };
  for (const auto& c : cases) {
    std::string path = dir.write("counter", c.content);
    EXPECT_EQ(read_counter(path.c_str()), c.expected) << c.content;
  }
  EXPECT_EQ(read_counter("/nonexistent/rx_bytes"), std::nullopt);
}

TEST(SysValueTest, UnreadableFileLeavesTheBufferEmpty) {
  CounterText text{};
  read_sys_value("/nonexistent/tx_bytes", text);
  EXPECT_EQ(std::string(text.data()), "");
}

}  // namespace
