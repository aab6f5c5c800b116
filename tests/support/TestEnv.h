#pragma once

// A test environment: a private data folder that is removed afterwards, a clock the test sets,
// fixed regional formats, and notices collected instead of shown.

#include <mutex>
#include <string>
#include <vector>

#include "platform/Env.h"

namespace tallowmer::testing {

class TestEnv : public platform::EnvWrapper {
 public:
  TestEnv();
  ~TestEnv() override;

  platform::LocalTime Now() override;
  std::string SpecialFolderPath(int folderId) override;
  platform::RegionalFormats UserRegionalFormats() override { return formats; }
  void ShowInformation(const std::string& caption, const std::string& text) override;

  // Root of this test's private files, with a trailing delimiter.
  const std::string& Root() const { return root_; }
  // Reads a whole file; empty when it does not exist.
  static std::string ReadFile(const std::string& path);

  // The clock: fixed at `clock` when set, else the real one. Each reading advances it by `tick` ms.
  // The fields are set before the code under test runs and read after it: meanwhile the readings
  // and the notices are taken under a lock, as any thread may take them.
  bool fixedClock = false;
  platform::LocalTime clock{2024, 1, 31, 10, 20, 30, 0};
  int tickMilliseconds = 0;
  platform::RegionalFormats formats;
  std::vector<std::string> notices;

 private:
  std::string root_;
  std::mutex guard_;
};

}  // namespace tallowmer::testing
