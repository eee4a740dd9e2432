#include "child/command_line.h"

#include <string>
#include <vector>

#include "testing/test_support.h"

namespace {

class CommandLineTest : public LogFixture {
 protected:
  // Composes words into a buffer of size bytes (plus guard bytes behind it).
  int compose(std::vector<std::string> words, size_t size) {
    std::vector<const char*> list;
    for (const std::string& word : words) list.push_back(word.c_str());
    list.push_back(nullptr);
    buffer_.assign(size + 8, '#');
    int result = buildCommandLine(list.data(), &buffer_[0], size);
    EXPECT_EQ(buffer_.substr(size), std::string(8, '#')) << "wrote past the buffer";
    return result;
  }
  std::string text() const { return std::string(buffer_.c_str()); }
  std::string buffer_;
};

struct Composition {
  const char* name;
  std::vector<std::string> words;
  const char* expected;
};

TEST_F(CommandLineTest, JoinsQuotesAndCopiesWords) {
  const Composition cases[] = {
      {"empty list", {}, ""},
      {"one empty word", {""}, "\"\""},
      {"two empty words", {"", ""}, "\"\" \"\""},
      {"plain words", {"prog", "a", "b"}, "prog a b"},
      {"space quotes the word", {"C:\\Program Files\\x.exe", "a b"}, "\"C:\\Program Files\\x.exe\" \"a b\""},
      {"leading and trailing space", {" a", "b "}, "\" a\" \"b \""},
      {"leading quote copied unchanged", {"\"a b", "\"x\""}, "\"a b \"x\""},
      {"inner quotes not escaped; a quoted word's trailing backslash doubled", {"a\"b", "c d\\"},
       "a\"b \"c d\\\\\""},
      // 2n backslashes before the closing quote give the child n.
      {"quoted path ending in a backslash", {"C:\\dir with space\\", "next"}, "\"C:\\dir with space\\\\\" next"},
      {"every trailing backslash doubled", {"a b\\\\"}, "\"a b\\\\\\\\\""},
      {"backslashes not at the end stay single", {"C:\\a b\\c", "a\\ b"}, "\"C:\\a b\\c\" \"a\\ b\""},
      {"unquoted word ending in backslashes copied", {"C:\\dir\\\\", "x\n y\\"}, "C:\\dir\\\\ x\n y\\"},
      {"leading-quote word ending in a backslash copied", {"\"a b\\"}, "\"a b\\"},
      {"tab and carriage return do not quote", {"a\tb", "a\rb"}, "a\tb a\rb"},
      {"carriage return then space quotes", {"a\r b"}, "\"a\r b\""},
      {"space after the line feed: copied", {"word\nx y"}, "word\nx y"},
      {"space before the line feed: quoted", {"x y\nword"}, "\"x y\nword\""},
  };
  for (const Composition& c : cases) {
    EXPECT_EQ(compose(c.words, 2100), 1) << c.name;
    EXPECT_EQ(text(), c.expected) << c.name;
  }
}

struct Limit {
  const char* name;
  std::vector<std::string> words;
  int result;
};

TEST_F(CommandLineTest, FailsExactlyWhenTheLineAndItsTerminatorDoNotFit) {
  const size_t kSize = 2100;
  const Limit cases[] = {
      {"size-1 without a space", {std::string(kSize - 1, 'a')}, 1},
      {"size without a space", {std::string(kSize, 'a')}, 0},
      {"size-3 with a space", {"a" + std::string(kSize - 6, 'b') + " c"}, 1},
      {"size-2 with a space", {"a" + std::string(kSize - 5, 'b') + " c"}, 0},
      // The doubled trailing backslashes count: size-4 characters become
      // size-1 with the quotes and the added backslash.
      {"size-4 with a space and a trailing backslash", {"a " + std::string(kSize - 7, 'b') + "\\"}, 1},
      {"size-3 with a space and a trailing backslash", {"a " + std::string(kSize - 6, 'b') + "\\"}, 0},
      {"first word fills the buffer, no room for the separator", {std::string(kSize - 1, 'a'), "b"}, 0},
      {"first word fills the buffer, empty second word", {std::string(kSize - 1, 'a'), ""}, 0},
      {"separator fits but not the second word", {std::string(kSize - 2, 'a'), "b"}, 0},
      {"separator and one-letter word fit exactly", {std::string(kSize - 3, 'a'), "b"}, 1},
      {"empty word needs two bytes", {std::string(kSize - 3, 'a'), ""}, 0},
      {"leading-quote word counts its own length", {"\"" + std::string(kSize - 2, 'a')}, 1},
  };
  for (const Limit& c : cases) {
    EXPECT_EQ(compose(c.words, kSize), c.result) << c.name;
    if (c.result == 1) {
      EXPECT_EQ(text().size(), kSize - 1) << c.name;
    }
  }
}

TEST_F(CommandLineTest, TracesEveryWordThenTheOutcome) {
  compose({"prog", "a b"}, 2100);
  EXPECT_EQ(logText(),
            "Constructing full command line from arguments:\n"
            " argv[0]: prog\n"
            " argv[1]: a b\n"
            "The full commandline is 'prog \"a b\"'.\n");
}

TEST_F(CommandLineTest, TracesAllWordsEvenWhenTheFirstDoesNotFit) {
  EXPECT_EQ(compose({"abcdef", "x"}, 4), 0);
  EXPECT_EQ(logText(),
            "Constructing full command line from arguments:\n"
            " argv[0]: abcdef\n"
            " argv[1]: x\n"
            "ERROR:  Failed to construct the full commandline because the buffer wasn't big enough.\n");
}

TEST_F(CommandLineTest, EmptyListLogsAnEmptyLine) {
  EXPECT_EQ(compose({}, 2100), 1);
  EXPECT_EQ(logText(), "Constructing full command line from arguments:\nThe full commandline is ''.\n");
}

TEST_F(CommandLineTest, ZeroSizeFitsNothing) { EXPECT_EQ(compose({}, 0), 0); }

}  // namespace
