// buildCommandLine against a reference join written from the composition
// rules, on a heap buffer of exactly the given size, so that AddressSanitizer
// sees any byte written or read past it.
//
// Input: two bytes choose the size, the rest are the words, separated by NUL
// (no word can hold one). Size word with the top bit clear: that value modulo
// 4201. With the top bit set: the reference line's length plus its terminator
// plus an offset of -8..7, so that the boundary is tried far more often than
// chance would.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "child/command_line.h"
#include "fuzz_check.h"
#include "log_capture.h"

namespace {

const size_t kMaxSize = 4200;

// The composition rules, independently of the product's code.
std::string referenceJoin(const std::vector<std::string>& words) {
  std::string line;
  for (size_t i = 0; i < words.size(); i++) {
    const std::string& word = words[i];
    if (i > 0) line += ' ';
    if (word.empty()) {
      line += "\"\"";
      continue;
    }
    if (word[0] == '"') {
      line += word;
      continue;
    }
    size_t stop = 0;
    while (stop < word.size() && word[stop] != ' ' && word[stop] != '\n') stop++;
    if (stop < word.size() && word[stop] == ' ') {
      // Trailing backslashes doubled, so that the closing quote stays one.
      size_t trailing = 0;
      while (trailing < word.size() && word[word.size() - 1 - trailing] == '\\') trailing++;
      line += '"' + word + std::string(trailing, '\\') + '"';
    } else {
      line += word;
    }
  }
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  capture::install();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  unsigned sizeWord = data[0] | (data[1] << 8);
  std::vector<std::string> words;
  if (size > 2) {
    const char* text = reinterpret_cast<const char*>(data + 2);
    size_t length = size - 2;
    size_t start = 0;
    for (size_t i = 0; i <= length; i++) {
      if (i == length || text[i] == '\0') {
        words.emplace_back(text + start, i - start);
        start = i + 1;
      }
    }
  }
  const std::string expected = referenceJoin(words);

  size_t capacity;
  if (sizeWord & 0x8000) {
    long wanted = static_cast<long>(expected.size()) + 1 + static_cast<long>(sizeWord & 0xF) - 8;
    capacity = wanted < 0 ? 0 : wanted > static_cast<long>(kMaxSize) ? kMaxSize : static_cast<size_t>(wanted);
  } else {
    capacity = sizeWord % (kMaxSize + 1);
  }

  // Every word in a block of its own exact size, so that reading past one
  // is caught too.
  std::vector<std::unique_ptr<char[]>> storage;
  std::vector<const char*> list;
  for (const std::string& word : words) {
    storage.emplace_back(new char[word.size() + 1]);
    memcpy(storage.back().get(), word.c_str(), word.size() + 1);
    list.push_back(storage.back().get());
  }
  list.push_back(nullptr);
  std::unique_ptr<char[]> buffer(new char[capacity]);

  capture::take();
  int result = buildCommandLine(list.data(), buffer.get(), capacity);

  const bool fits = expected.size() + 1 <= capacity;
  FUZZ_CHECK(result == (fits ? 1 : 0));
  if (fits) FUZZ_CHECK(memcmp(buffer.get(), expected.c_str(), expected.size() + 1) == 0);

  // The trace: the heading, every word in order, then the outcome.
  const std::vector<std::string> entries = capture::take();
  FUZZ_CHECK(entries.size() == words.size() + 2);
  FUZZ_CHECK(capture::messageOf(entries[0]) == "Constructing full command line from arguments:");
  for (size_t i = 0; i < words.size(); i++) {
    FUZZ_CHECK(capture::messageOf(entries[1 + i]) == " argv[" + std::to_string(i) + "]: " + words[i]);
  }
  const std::string outcome = capture::messageOf(entries.back());
  if (fits) {
    FUZZ_CHECK(outcome == "The full commandline is '" + expected + "'.");
  } else {
    FUZZ_CHECK(outcome == "ERROR:  Failed to construct the full commandline because the buffer wasn't big enough.");
  }
  return 0;
}
