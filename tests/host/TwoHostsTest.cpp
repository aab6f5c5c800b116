// Two ls_tallowmer_host processes at once on one devices folder, with the debug log on: they write
// the same daily log files, and neither may lose a call or a line to the other.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/Simulator.h"
#include "tests/support/TestEnv.h"
#include "tests/support/TextCount.h"
#include "tools/host/VariantJson.h"

namespace tallowmer::host {
namespace {

using testing::CountOccurrences;

constexpr int kLookups = 1500;

TEST(TwoHostsTest, OnOneDeviceFolderLoseNoCallAndNoLine) {
  testing::TestEnv env;
  testing::Simulator::Options options;
  options.plain = true;
  const testing::Simulator simulator(LS_SIMULATOR_PATH, options);
  const std::string script = env.Root() + "lookups.jsonl";
  {
    std::ofstream lines(script);
    for (int i = 0; i < kLookups; ++i)
      lines << R"({"call":"GetCustomerData","in":["79001234567",0,0]})"
            << "\n";
  }
  const std::string host =
      std::string("LS_TALLOWMER_DATA_DIR='") + env.Root() + "data' " + LS_HOST_PATH + " --devices-folder '" +
      env.Root() + "devices' --device-id 1 --set Host=" + simulator.BaseUrl() +
      " --set Token=" + simulator.Token() + " --set DebugLogEnabled=TRUE '" + script + "'";
  std::string both;
  for (const char* name : {"first", "second"}) {
    const std::string run = env.Root() + name;
    both += "(" + host + " > '" + run + ".out' 2> '" + run + ".err'; echo $? > '" + run + ".status') & ";
  }
  ASSERT_EQ(std::system((both + "wait").c_str()), 0);

  for (const char* name : {"first", "second"}) {
    SCOPED_TRACE(name);
    const std::string run = env.Root() + name;
    EXPECT_EQ(testing::TestEnv::ReadFile(run + ".status"), "0\n") << testing::TestEnv::ReadFile(run + ".err");
    std::istringstream out(testing::TestEnv::ReadFile(run + ".out"));
    int answered = 0;
    for (std::string line; std::getline(out, line); ++answered) {
      const Json answer = Json::parse(line);
      ASSERT_EQ(answer["hresult"], 0) << line;
      ASSERT_EQ(answer["result"], true) << line;
    }
    EXPECT_EQ(answered, kLookups);
  }
  // Until the first request creates the device folder, the debug log goes to the default folder.
  std::string debugLog;
  std::string httpLog;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(env.Root())) {
    const std::string file = entry.path().filename().string();
    if (file.rfind("Debug_", 0) == 0) debugLog += testing::TestEnv::ReadFile(entry.path());
    if (file.rfind("http_", 0) == 0) httpLog += testing::TestEnv::ReadFile(entry.path());
  }
  // Every call's trace and every request's log lines are there, and no line was lost meanwhile.
  EXPECT_EQ(CountOccurrences(debugLog, "\t> GetCustomerData: \t"), 2u * kLookups);
  EXPECT_EQ(CountOccurrences(debugLog, "\t< GetCustomerData: \tResult=True"), 2u * kLookups);
  EXPECT_EQ(CountOccurrences(debugLog, "\tEXCEPTION"), 0u);
  EXPECT_EQ(CountOccurrences(httpLog, "Stat Connected.\r\n"),
            CountOccurrences(httpLog, "Stat Disconnected.\r\n"));
  EXPECT_GE(CountOccurrences(httpLog, "Stat Connected.\r\n"), 2u * kLookups);
}

}  // namespace
}  // namespace tallowmer::host
