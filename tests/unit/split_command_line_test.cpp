#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/reinstall.h"
#include "cmdline/argument_block.h"
#include "fake_platform.h"

namespace {

using reinstall::testing::FakePlatform;

using reinstall::testing::SplitBlock;

SplitBlock Split(const std::string& line) {
  SplitBlock result = reinstall::testing::SplitWithFake(line);
  EXPECT_TRUE(result.allocated);
  return result;
}

struct SplitCase {
  const char* name;
  std::string line;
  std::vector<std::string> expected;
};

TEST(SplitCommandLine, SplitsByTheLaunchersOwnRules) {
  const SplitCase cases[] = {
      {"empty", "", {}},
      {"only separators", " \t \t ", {}},
      {"padded switch", "  C:\\app\\reinstall.exe   -test  ", {"C:\\app\\reinstall.exe", "-test"}},
      {"unquoted blank splits", "C:\\Program Files\\r.exe", {"C:\\Program", "Files\\r.exe"}},
      {"quoted path", "\"C:\\Program Files\\setup.exe\"", {"C:\\Program Files\\setup.exe"}},
      {"quoted value",
       "-appinstall=\"C:\\Program Files\\setup.exe\"",
       {"-appinstall=C:\\Program Files\\setup.exe"}},
      {"whole argument quoted",
       "\"-appinstall=C:\\Program Files\\setup.exe\"",
       {"-appinstall=C:\\Program Files\\setup.exe"}},
      {"quotes open and close inside", "ab\"c d\"e", {"abc de"}},
      {"lone pair is an empty argument", "a \"\" b", {"a", "", "b"}},
      {"touching pair adds nothing", "a\"\"b", {"ab"}},
      {"unclosed quote runs to the end", "\"a b", {"a b"}},
      {"backslash escapes nothing", "a\\\"b c\"", {"a\\b c"}},
      {"tab, LF, CR separate", "a\tb\nc\rd", {"a", "b", "c", "d"}},
      {"separators copied in quotes", "\"a\tb\nc\rd\"", {"a\tb\nc\rd"}},
      {"vertical tab is ordinary", "a\vb", {"a\vb"}},
      {"form feed is ordinary", "a\fb", {"a\fb"}},
      {"high bytes are ordinary", "\xE4\xF6 \xFF", {"\xE4\xF6", "\xFF"}},
      {"pair then quoted word", "\"\"\"x y\"", {"x y"}},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(c.name);
    const SplitBlock result = Split(c.line);
    EXPECT_EQ(result.arguments, c.expected);
    EXPECT_EQ(result.count, static_cast<std::int32_t>(c.expected.size()));
    EXPECT_TRUE(result.nullSlot);
  }
}

TEST(SplitCommandLine, BlockLayoutFollowsTheLineLengthForBothPointerSizes) {
  struct LayoutCase {
    std::size_t length;
    std::size_t pointerSize;
    std::size_t textOffset;  // where the argument text starts: after (L + 2) / 2 + 1 slots
    std::size_t size;
  };
  const LayoutCase cases[] = {
      {0, 4, 8, 10},
      {1, 4, 8, 11},
      {2, 4, 12, 16},
      {3, 4, 12, 17},
      {10, 4, 28, 40},
      {11, 4, 28, 41},
      {0, 8, 16, 18},
      {1, 8, 16, 19},
      {2, 8, 24, 28},
      {3, 8, 24, 29},
      {10, 8, 56, 68},
      {11, 8, 56, 69},
      {32767, 4, 16385 * 4, 32769 + 16384 * 4 + 4},
      {32767, 8, 16385 * 8, 32769 + 16384 * 8 + 8},
  };
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.length) + "/" + std::to_string(c.pointerSize));
    EXPECT_EQ(reinstall::ArgvTextOffset(c.length, c.pointerSize), c.textOffset);
    EXPECT_EQ(reinstall::ArgvBlockSize(c.length, c.pointerSize), c.size);
  }
  EXPECT_EQ(Split("").blockSize, reinstall::ArgvBlockSize(0, sizeof(LPSTR)));
  EXPECT_EQ(Split("abc de").blockSize, reinstall::ArgvBlockSize(6, sizeof(LPSTR)));
}

TEST(SplitCommandLine, JoinedArgumentsSplitBackTheSameEmptyOnesIncluded) {
  struct JoinCase {
    std::vector<std::string> arguments;
    std::string line;
  };
  const JoinCase cases[] = {
      {{}, ""},
      {{""}, "\"\""},
      {{"a", "", "b"}, "a \"\" b"},
      {{"C:\\Program Files\\r.exe", "-test"}, "\"C:\\Program Files\\r.exe\" -test"},
      {{"a\tb", "c\nd", "e\rf"}, "\"a\tb\" \"c\nd\" \"e\rf\""},
      {{"a\vb", "\\"}, "a\vb \\"},
  };
  for (const JoinCase& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(reinstall::JoinArguments(c.arguments), c.line);
    EXPECT_EQ(reinstall::SplitArguments(c.line), c.arguments);
    EXPECT_EQ(Split(c.line).arguments, c.arguments);
  }
}

TEST(SplitCommandLine, ASizeThatCannotBeRepresentedIsRefused) {
  const std::size_t max = static_cast<std::size_t>(-1);
  EXPECT_EQ(reinstall::ArgvBlockSize(max, 4), 0u);
  EXPECT_EQ(reinstall::ArgvBlockSize(max - 2, 4), 0u);
  EXPECT_EQ(reinstall::ArgvBlockSize(max / 2, 8), 0u);
}

TEST(SplitCommandLine, WritesOnlyTheArgumentBytesAndItsTerminators) {
  // 0xAB is the fake's fill: it marks bytes the splitter left alone.
  struct TailCase {
    std::string line;
    std::vector<unsigned char> area;
  };
  const TailCase cases[] = {
      {"", {0, 0xAB}},
      {"   ", {0, 0xAB, 0xAB, 0xAB, 0xAB}},
      {"ab", {'a', 'b', 0, 0xAB}},
      {"ab  ", {'a', 'b', 0, 0, 0xAB, 0xAB}},
      {"\"a\" b", {'a', 0, 'b', 0, 0xAB, 0xAB, 0xAB}},
  };
  for (const TailCase& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(Split(c.line).characterArea, c.area);
  }
}

TEST(SplitCommandLine, OneByteArgumentsFillEverySlot) {
  for (int k = 1; k <= 9; ++k) {
    std::string line;
    for (int i = 0; i < k; ++i) {
      line += (i == 0 ? "" : " ") + std::string(1, static_cast<char>('a' + i));
    }
    SCOPED_TRACE(line);
    const SplitBlock result = Split(line);
    ASSERT_EQ(result.count, k);
    EXPECT_EQ(reinstall::ArgvSlotCount(line.size()), static_cast<std::size_t>(k + 1));
    EXPECT_TRUE(result.nullSlot);
    EXPECT_EQ(result.arguments.back(), std::string(1, static_cast<char>('a' + k - 1)));
  }
}

TEST(SplitCommandLine, FailedAllocationReturnsNullAndLeavesTheCount) {
  FakePlatform fake;
  fake.failAllocation = true;
  std::int32_t count = 77;
  EXPECT_EQ(TReinstall::SplitCommandLine("a b c", &count), nullptr);
  EXPECT_EQ(count, 77);
  EXPECT_EQ(fake.log, std::vector<std::string>{
                          "GlobalAlloc(0," +
                          std::to_string(reinstall::ArgvBlockSize(5, sizeof(LPSTR))) + ")"});
}

}  // namespace
