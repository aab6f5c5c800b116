#pragma once

// How many times a piece occurs in a text, counted without overlaps: the lines and notes of a log
// that a test expects once, or once per call.

#include <cstddef>
#include <string_view>

namespace tallowmer::testing {

inline size_t CountOccurrences(std::string_view text, std::string_view piece) {
  if (piece.empty()) return 0;
  size_t count = 0;
  for (size_t at = text.find(piece); at != std::string_view::npos; at = text.find(piece, at + piece.size()))
    ++count;
  return count;
}

}  // namespace tallowmer::testing
