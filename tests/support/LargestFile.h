#pragma once

// Files grown to the largest size their file system allows, as `truncate -s` by another user who
// may write to them does: no line can be appended to them after that.

#include <cstdint>
#include <string>

namespace tallowmer::testing {

// The largest size that a file in `folder` may be given, found by growing a scratch file there.
int64_t LargestFileSize(const std::string& folder);

// Grows the file at `path` to that size; false when it cannot be opened or grown.
bool GrowToTheLargestSize(const std::string& path);

}  // namespace tallowmer::testing
