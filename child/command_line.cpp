// Joins a command's words into the one command line a child is created from.
#include "child/command_line.h"

#include <cstring>

#include "log/log.h"
#include "platform/format.h"

namespace {

// The quoting scan stops at the first space, line feed or terminator; only
// a space found before the others asks for quotes.
int needsQuotes(const char* word) {
  const char* p = word;
  while (*p != '\0' && *p != ' ' && *p != '\n') p++;
  return *p == ' ';
}

// Appends one piece when it and the terminator fit; returns 0 otherwise.
int appendPiece(char* buffer, size_t size, size_t* length, size_t pieceLength, const char* format, const char* text) {
  if (!(*length + pieceLength < size)) return 0;
  formatBounded(buffer + *length, size - *length, format, text);
  *length += strlen(buffer + *length);
  return 1;
}

// Inside quotes a run of backslashes right before the closing quote would
// escape it: the C runtime reads 2n backslashes before a quote as n, 2n+1 as
// n and a literal quote. A word the launcher quotes therefore gets its
// trailing backslashes twice; inner ones stand before no quote and stay.
int appendQuoted(char* buffer, size_t size, size_t* length, const char* word, size_t n) {
  size_t trailing = 0;
  while (trailing < n && word[n - 1 - trailing] == '\\') trailing++;
  if (!(*length + n + trailing + 2 < size)) return 0;
  formatBounded(buffer + *length, size - *length, "\"%s%s\"", word, word + n - trailing);
  *length += strlen(buffer + *length);
  return 1;
}

int appendWord(char* buffer, size_t size, size_t* length, const char* word) {
  size_t n = strlen(word);
  if (n == 0) return appendPiece(buffer, size, length, 2, "%s", "\"\"");
  if (word[0] == '"') return appendPiece(buffer, size, length, n, "%s", word);
  if (needsQuotes(word)) return appendQuoted(buffer, size, length, word, n);
  return appendPiece(buffer, size, length, n, "%s", word);
}

int composeCommandLine(const char* const* arguments, char* buffer, size_t size) {
  if (size == 0) return 0;
  buffer[0] = '\0';
  size_t length = 0;
  for (int i = 0; arguments[i] != nullptr; i++) {
    if (i > 0 && !appendPiece(buffer, size, &length, 1, "%s", " ")) return 0;
    if (!appendWord(buffer, size, &length, arguments[i])) return 0;
  }
  return 1;
}

}  // namespace

int buildCommandLine(const char* const* arguments, char* buffer, size_t size) {
  logMessage("Constructing full command line from arguments:");
  for (int i = 0; arguments[i] != nullptr; i++) logMessage(" argv[%d]: %s", i, arguments[i]);
  if (!composeCommandLine(arguments, buffer, size)) {
    logError("Failed to construct the full commandline because the buffer wasn't big enough.");
    return 0;
  }
  logMessage("The full commandline is '%s'.", buffer);
  return 1;
}
