// Cost of one log line as the logs write it: the safe opening (the folder walked one name at a time
// through handles, the file's owner and links checked) against a plain open, write and close of the
// same file; a line through a file held open (the HTTP log); a line of the user's own log; and a line
// of a refused shared log, which goes to the user's own log.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "common/SharedLog.h"
#include "platform/Env.h"
#include "tests/support/TestEnv.h"

namespace tallowmer {
namespace {

constexpr std::string_view kLine =
    "2024.01.31 10:20:30.000 Inst.: {11111111-2222-3333-4444-555555555555}\t> GetCustomerData: \t"
    "InData: [('79001234567'; 0; 0)]\r\n";

// A device folder as deep as a host's usually is below the data folder.
std::string DeviceFolder(const testing::TestEnv& env) {
  const std::string folder = env.Root() + "Quorvane/ls_tallowmer/devices/1";
  std::filesystem::create_directories(folder);
  return folder;
}

void BM_LogLine_PlainOpen(benchmark::State& state) {
  testing::TestEnv env;
  const std::string file = DeviceFolder(env) + "/Debug.log";
  for (auto _ : state) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    benchmark::DoNotOptimize(::write(fd, kLine.data(), kLine.size()));
    ::close(fd);
  }
}

void BM_LogLine_SharedLog(benchmark::State& state) {
  testing::TestEnv env;
  const std::string file = DeviceFolder(env) + "/Debug.log";
  for (auto _ : state) {
    benchmark::DoNotOptimize(platform::DefaultEnv().AppendToLogFile(file, kLine, {}));
  }
}

void BM_LogLine_OwnLog(benchmark::State& state) {
  testing::TestEnv env;
  const std::string file = DeviceFolder(env) + "/Debug.log";
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        platform::DefaultEnv().AppendToLogFile(file, kLine, {platform::LogAccess::OwnerOnly, true}));
  }
}

void BM_LogLine_HeldOpen(benchmark::State& state) {
  testing::TestEnv env;
  platform::OsResult failure;
  const auto file = platform::DefaultEnv().OpenLogFile(DeviceFolder(env) + "/http.log", {}, failure);
  for (auto _ : state) benchmark::DoNotOptimize(file->Append(kLine));
}

// A folder where the shared log should be: each line is refused there and goes to the user's own log.
void BM_LogLine_Refused(benchmark::State& state) {
  testing::TestEnv env;
  const std::string file = DeviceFolder(env) + "/Debug.log";
  std::filesystem::create_directories(file);
  const LogNoteRenderer note = [](const std::string& text) { return text + "\r\n"; };
  for (auto _ : state) benchmark::DoNotOptimize(AppendToSharedLog(file, kLine, note));
}

BENCHMARK(BM_LogLine_PlainOpen);
BENCHMARK(BM_LogLine_SharedLog);
BENCHMARK(BM_LogLine_OwnLog);
BENCHMARK(BM_LogLine_HeldOpen);
BENCHMARK(BM_LogLine_Refused);

}  // namespace
}  // namespace tallowmer

BENCHMARK_MAIN();
