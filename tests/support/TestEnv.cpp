#include "tests/support/TestEnv.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/FormatSettings.h"

namespace tallowmer::testing {

namespace {
void Advance(platform::LocalTime& time, int milliseconds) {
  time.millisecond += milliseconds;
  time.second += time.millisecond / 1000;
  time.millisecond %= 1000;
  time.minute += time.second / 60;
  time.second %= 60;
  time.hour += time.minute / 60;
  time.minute %= 60;
}
}  // namespace

TestEnv::TestEnv() : EnvWrapper(platform::DefaultEnv()) {
  std::string pattern = (std::filesystem::temp_directory_path() / "ls_tallowmer_test_XXXXXX").string();
  root_ = std::string(mkdtemp(pattern.data())) + "/";
  formats.decimalSeparator = ".";
  formats.dateSeparator = ".";
  formats.timeSeparator = ":";
  formats.shortDateFormat = "dd/mm/yyyy";
  formats.longTimeFormat = "hh:nn:ss";
  platform::Env::SetForTesting(this);
  ResetDefaultFormatSettings();
}

TestEnv::~TestEnv() {
  platform::Env::SetForTesting(nullptr);
  ResetDefaultFormatSettings();
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

platform::LocalTime TestEnv::Now() {
  if (!fixedClock) return EnvWrapper::Now();
  const std::lock_guard lock(guard_);
  const platform::LocalTime reading = clock;
  Advance(clock, tickMilliseconds);
  return reading;
}

std::string TestEnv::SpecialFolderPath(int folderId) {
  const std::string folder = root_ + (folderId == platform::kFolderCommonAppData ? "common" : "user");
  std::filesystem::create_directories(folder);
  return folder;
}

void TestEnv::ShowInformation(const std::string& caption, const std::string& text) {
  const std::lock_guard lock(guard_);
  notices.push_back(caption + ": " + text);
}

std::string TestEnv::ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

}  // namespace tallowmer::testing
