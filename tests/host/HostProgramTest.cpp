// ls_tallowmer_host as integrators run it: JSON call lines in, one JSON answer line each out.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "tests/support/TestEnv.h"
#include "tools/host/VariantJson.h"

namespace tallowmer::host {
namespace {

struct HostRun {
  int status = -1;
  std::string out;
  std::string err;
};

class HostProgramTest : public ::testing::Test {
 protected:
  HostRun Host(const std::string& arguments, const std::string& script) {
    const std::string scriptFile = env.Root() + "script.jsonl";
    const std::string errFile = env.Root() + "stderr.txt";
    std::ofstream(scriptFile) << script;
    const std::string command = "LS_TALLOWMER_DATA_DIR='" + env.Root() + "data' " + LS_HOST_PATH + " " +
                                arguments + " < '" + scriptFile + "' 2> '" + errFile + "'";
    HostRun run;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    size_t read = 0;
    while ((read = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, read);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.err = testing::TestEnv::ReadFile(errFile);
    return run;
  }

  static std::vector<Json> Lines(const std::string& out) {
    std::vector<Json> lines;
    size_t start = 0;
    for (size_t end = out.find('\n'); end != std::string::npos;
         start = end + 1, end = out.find('\n', start)) {
      lines.push_back(Json::parse(out.substr(start, end - start)));
    }
    return lines;
  }

  testing::TestEnv env;
};

TEST_F(HostProgramTest, WritesEveryArgumentBackAfterTheCall) {
  const HostRun run =
      Host("--raw -", R"({"call":"Init","args":[5,"before"]})"
                      "\n"
                      R"({"call":"GetDeviceInfo","args":[null,"x",{"$i2":0},{"$byref":{"$i2":7}},{"$i2":8}]})"
                      "\n");
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<Json> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["hresult"], 0);
  EXPECT_EQ(lines[0]["result"], false);
  EXPECT_EQ(lines[0]["args"][1], "Ошибка входных параметров команды");
  EXPECT_EQ(lines[1]["result"], true);
  EXPECT_EQ(lines[1]["args"][1].size(), 15u);
  EXPECT_EQ(lines[1]["args"][3], Json::parse(R"({"$byref":{"$i2":7}})"));
  // A 16-bit integer passed in a variant comes back as a 32-bit one.
  EXPECT_EQ(lines[1]["args"][4], 8);
}

TEST_F(HostProgramTest, ReportsDispatchExceptionsInTheAnswerLine) {
  const HostRun run = Host("--raw -", R"({"call":"Open","args":["1",""]})"
                                      "\n"
                                      R"({"call":"NoSuchMethod","in":1})"
                                      "\n");
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<Json> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["hresult"], static_cast<int32_t>(0x80020009));
  EXPECT_EQ(lines[0]["exception"]["scode"], 1001);
  EXPECT_EQ(lines[0]["exception"]["description"], "Менеджер оборудования недоступен");
  EXPECT_FALSE(lines[0].contains("result"));
  EXPECT_EQ(lines[1]["hresult"], static_cast<int32_t>(0x80004001));
}

TEST_F(HostProgramTest, AMalformedLineStopsTheScriptWithItsLineNumber) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"call":"GetDeviceInfo","in":null)", "line 2: malformed JSON"},
      {R"({"call":"GetDeviceInfo","in":{"$bogus":1}})", "line 2: unknown tag $bogus"},
      {R"({"in":1})", "line 2: a call line needs"},
      {R"({"call":"GetDeviceInfo","args":[{"$currency":"x"}]})",
       "line 2: $currency expects a decimal number"},
  };
  for (const auto& [badLine, message] : cases) {
    const HostRun run = Host("--raw -", std::string(R"({"call":"GetDeviceInfo","in":null})") + "\n" +
                                            badLine + "\n" + R"({"call":"GetDeviceInfo","in":null})" + "\n");
    EXPECT_EQ(run.status, 2) << badLine;
    EXPECT_EQ(Lines(run.out).size(), 1u) << badLine;
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
  }
}

TEST_F(HostProgramTest, BadCommandLinesAreRefused) {
  const std::pair<const char*, const char*> cases[] = {
      {"/no/such/script.jsonl", "cannot read the script"},
      {"--settings /no/such.json -", "cannot read the settings file"},
      {"--set NoEquals -", "--set expects ID=VALUE"},
      {"--frobnicate -", "unknown option --frobnicate"},
      {"call GetDeviceInfo '{not json'", "INDATA: malformed JSON"},
  };
  for (const auto& [arguments, message] : cases) {
    const HostRun run = Host(arguments, "");
    EXPECT_EQ(run.status, 2) << arguments;
    EXPECT_NE(run.err.find(message), std::string::npos) << arguments << ": " << run.err;
  }
}

TEST_F(HostProgramTest, UsualSequenceAppliesSettingsByTheirDeclaredType) {
  const std::string settingsFile = env.Root() + "settings.json";
  std::ofstream(settingsFile) << R"({"Host":"http://127.0.0.1:1/api/v2"})";
  const HostRun run =
      Host("--settings '" + settingsFile + "' --set DefaultTimeOut=45 --set DebugLogEnabled=TRUE -",
           R"({"call":"GetSettings","in":null})"
           "\n");
  ASSERT_EQ(run.status, 0) << run.err;
  const Json table = Lines(run.out)[0]["args"][1][0]["$matrix"];
  EXPECT_EQ(table[1][0], 45.0);
  EXPECT_EQ(table[1][2], true);
  EXPECT_EQ(table[1][4], "http://127.0.0.1:1/api/v2");
  for (const char* step : {"[host] Init: True", "[host] Open 1: True", "[host] SetSettings: True",
                           "[host] Enable: True", "[host] Disable: True", "[host] Close: True"}) {
    EXPECT_NE(run.err.find(step), std::string::npos) << step << "\n" << run.err;
  }
}

}  // namespace
}  // namespace tallowmer::host
