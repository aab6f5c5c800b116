#include "tests/support/LargestFile.h"

#include <fcntl.h>
#include <unistd.h>

namespace tallowmer::testing {
namespace {

// The largest length that ftruncate gives the open file: file systems differ by orders of magnitude.
int64_t LargestLength(int fd) {
  int64_t fits = 0;
  int64_t tooLarge = INT64_MAX;
  while (tooLarge - fits > 1) {
    const int64_t middle = fits + (tooLarge - fits) / 2;
    (::ftruncate(fd, middle) == 0 ? fits : tooLarge) = middle;
  }
  return fits;
}

}  // namespace

int64_t LargestFileSize(const std::string& folder) {
  const std::string probe = folder + "/largest-file-probe";
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  const int64_t largest = LargestLength(fd);
  ::close(fd);
  ::unlink(probe.c_str());
  return largest;
}

bool GrowToTheLargestSize(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool grown = ::ftruncate(fd, LargestLength(fd)) == 0;
  ::close(fd);
  return grown;
}

}  // namespace tallowmer::testing
