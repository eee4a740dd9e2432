#include "platform/format.h"

#include <cstring>
#include <string>

#include "gtest/gtest.h"

namespace {

struct BoundedCase {
  const char* text;
  size_t capacity;
  int result;
  const char* stored;  // the bytes written, without any terminator
  bool terminated;
};

// The helper's three outcomes, and that nothing past the capacity is touched.
TEST(FormatBounded, StoresAsMuchAsTheCapacityAllows) {
  const BoundedCase cases[] = {
      {"", 1, 0, "", true},
      {"abc", 4, 3, "abc", true},         // shorter than the capacity
      {"abcd", 4, 4, "abcd", false},      // exactly the capacity: no terminator
      {"abcde", 4, -1, "abcd", false},    // longer: cut, no terminator
      {"a", 1, 1, "a", false},
      {"ab", 1, -1, "a", false},
  };
  for (const BoundedCase& c : cases) {
    char buffer[16];
    memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(formatBounded(buffer, c.capacity, "%s", c.text), c.result) << c.text;
    size_t n = strlen(c.stored);
    EXPECT_EQ(std::string(buffer, n), c.stored) << c.text;
    if (c.terminated) {
      EXPECT_EQ(buffer[n], '\0') << c.text;
    }
    EXPECT_EQ(buffer[c.capacity], '#') << "wrote past the capacity for " << c.text;
  }
}

TEST(FormatBounded, ZeroCapacityWritesNothing) {
  char buffer[2] = {'#', '#'};
  EXPECT_EQ(formatBounded(buffer, 0, "%s", "x"), -1);
  EXPECT_EQ(formatBounded(buffer, 0, "%s", ""), 0) << "an empty text fills a capacity of 0 exactly";
  EXPECT_EQ(buffer[0], '#');
}

TEST(FormatBounded, ExpandsArgumentsLikePrintf) {
  char buffer[64];
  EXPECT_EQ(formatBounded(buffer, sizeof buffer, "%s\\logs\\%d", "C:\\a", -7), 12);
  EXPECT_STREQ(buffer, "C:\\a\\logs\\-7");
}

TEST(FormatBounded, KeepsTheLastCharacterOfALongTextThatFillsTheCapacity) {
  std::string text(5000, 'a');
  text.back() = 'z';
  std::string buffer(5000, '#');
  EXPECT_EQ(formatBounded(&buffer[0], 5000, "%s", text.c_str()), 5000);
  EXPECT_EQ(buffer, text);
}

// snprintf's contract, on the host's own formatter (msvcrt's on Windows,
// which by itself neither terminates a text that fills the buffer nor says
// how long a cut one was): the whole length returned, the text cut to the
// buffer and always terminated.
TEST(FormatText, ReturnsTheWholeLengthAndAlwaysTerminates) {
  const struct {
    size_t size;
    const char* stored;
  } cases[] = {{8, "pid=-42"}, {7, "pid=-4"}, {3, "pi"}, {1, ""}};
  for (const auto& c : cases) {
    char buffer[16];
    memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(formatText(buffer, c.size, "%s=%d", "pid", -42), 7) << c.size;
    EXPECT_STREQ(buffer, c.stored) << c.size;
    EXPECT_EQ(buffer[c.size], '#') << "nothing written past the size " << c.size;
  }
  EXPECT_EQ(formatText(nullptr, 0, "%u%c", 4000000000u, 'x'), 11) << "the length alone";
}

}  // namespace
