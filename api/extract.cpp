// dapExtract: one line, or one blank-separated field of a line, out of a text of CR LF lines
// such as a directory listing. Pure text: no channel, no state, any thread.
#include <cstddef>

#include "dap32.h"
#include "frame/text.h"

namespace {
const char* findCarriageReturn(const char* text) {
  while (*text != '\0' && *text != '\r') ++text;
  return *text == '\r' ? text : nullptr;
}

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

// Steps over the line end: the CR, and the LF only if one follows, so that a lone CR or a CR
// at the end of the text never carries the scan past the terminating NUL.
const char* nextLineStart(const char* carriageReturn) {
  return carriageReturn[1] == '\n' ? carriageReturn + 2 : carriageReturn + 1;
}
}  // namespace

// Lines count from 0, but line 0 (or a negative line) cannot be selected; a line counts only if
// a CR ends it.
int32_t DAP_CALL dapExtract(const char* text, int32_t line, int32_t field, char* buffer,
                            int32_t size) {
  if (line <= 0 || text == nullptr || text[0] == '\0' || size < 0) return 0;
  const char* start = text;
  const char* end = findCarriageReturn(start);
  if (end == nullptr) return 0;
  for (int32_t skipped = 0; skipped < line; ++skipped) {
    start = nextLineStart(end);
    end = findCarriageReturn(start);
    if (end == nullptr) return 0;
  }
  const char* piece = start;
  const char* pieceEnd = end;
  if (field < 0) {
    pieceEnd = piece;  // fields count from 1: there is no such field
  } else if (field != 0) {
    // Field 1 is the first word; runs of blanks and tabs of any length separate fields.
    const char* cursor = start;
    for (int32_t found = 0; found < field; ++found) {
      while (cursor < end && isBlank(*cursor)) ++cursor;
      piece = cursor;
      while (cursor < end && !isBlank(*cursor)) ++cursor;
      pieceEnd = cursor;
    }
  }
  // A line of a caller's text may be longer than 32 bits can count on a 64-bit build.
  ptrdiff_t length = pieceEnd - piece;
  return copyText(buffer, piece, length < size ? static_cast<int32_t>(length) : size);
}
