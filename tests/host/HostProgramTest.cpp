// ls_tallowmer_host as integrators run it: JSON call lines in, one JSON answer line each out.

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/support/ShellCommand.h"
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
    const std::string command = "LS_TALLOWMER_DATA_DIR='" + env.Root() + "data' " + launcher + LS_HOST_PATH +
                                " " + arguments + " < '" + scriptFile + "' 2> '" + errFile + "'";
    testing::CommandRun run = testing::RunShellCommand(command);
    return {run.status, std::move(run.out), testing::TestEnv::ReadFile(errFile)};
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
  // Put before the program, e.g. "setsid -w " to run it without a controlling terminal.
  std::string launcher;
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

TEST_F(HostProgramTest, BadCommandLinesAreRefusedBeforeAnythingRuns) {
  const std::string unknownInFile = env.Root() + "unknown.json";
  std::ofstream(unknownInFile) << R"({"Hots":"x"})";
  const std::pair<std::string, std::string> cases[] = {
      {"/no/such/script.jsonl", "cannot read the script"},
      {"--settings /no/such.json -", "cannot read the settings file"},
      {"--set NoEquals -", "--set expects ID=VALUE"},
      {"--frobnicate -",
       "unknown option --frobnicate; the options are --set ID=VALUE, --settings FILE, --ca FILE"},
      {"-x -", "unknown option -x"},
      {"--raw=1 -", "--raw takes no value"},
      {"call GetDeviceInfo '{not json'", "INDATA: malformed JSON"},
      {"call GetDeviceInfo null extra", "usage: call METHOD [INDATA-JSON]"},
      {"call", "usage: call METHOD [INDATA-JSON]"},
      {"settings now", "settings takes no arguments"},
      {"- extra", "a script takes no further arguments: extra"},
      {"", "name a script file"},
      {"--set Hots=x -",
       "--set Hots=x: unknown setting Hots; the settings are DefaultTimeOut, EventLogEnabled, "
       "DebugLogEnabled, "
       "Token, Host"},
      {"--settings '" + unknownInFile + "' -", "unknown.json: unknown setting Hots; the settings are"},
      {"--set DebugLogEnabled=yes -", "--set DebugLogEnabled=yes: Boolean expects true or false"},
      {"--set defaulttimeout=soon -", "--set defaulttimeout=soon: Number expected"},
      {"--raw --set Host=x -", "--raw makes no SetSettings"},
      {"--raw --settings '" + unknownInFile + "' -", "--raw makes no SetSettings"},
      {"--output f.json -", "--output belongs to settings"},
      {"--ca /no/such/ca.pem -", "cannot read the CA file /no/such/ca.pem"},
      {"--device-id", "--device-id needs a value"},
  };
  for (const auto& [arguments, message] : cases) {
    const HostRun run = Host(arguments, R"({"call":"GetDeviceInfo","in":null})"
                                        "\n");
    EXPECT_EQ(run.status, 2) << arguments;
    EXPECT_NE(run.err.find(message), std::string::npos) << arguments << ": " << run.err;
    EXPECT_EQ(run.err.find("[host]"), std::string::npos) << arguments << ": " << run.err;
    EXPECT_EQ(run.out, "") << arguments;
  }
}

TEST_F(HostProgramTest, HelpListsTheDriversSettingsWithTypesAndDefaults) {
  const HostRun help = Host("--help", "");
  ASSERT_EQ(help.status, 0) << help.err;
  EXPECT_EQ(Host("-h", "").out, help.out);
  // Each setting's row: ID, type and default as the driver's registry declares them.
  for (const char* row : {"DefaultTimeOut   Number   120 ", "EventLogEnabled  Boolean  false ",
                          "DebugLogEnabled  Boolean  false ", "Token            String   \"\" ",
                          "Host             String   \"https://"}) {
    EXPECT_NE(help.out.find(row), std::string::npos) << row;
  }
  for (const char* section : {"usage: ls_tallowmer_host", "Subcommands:", "Options:", "--ca FILE", "--raw",
                              "--device-id ID", "--devices-folder DIR", "--models-folder DIR", "TimeOut",
                              "Exit statuses:", "Logs:", "CloseOrder: registers the sale"}) {
    EXPECT_NE(help.out.find(section), std::string::npos) << section;
  }
  // The log folders are those of this run.
  EXPECT_NE(help.out.find(env.Root() + "data/Quorvane/ls_tallowmer/devices/1/http_"), std::string::npos);
  EXPECT_NE(Host("--device-id 7 --devices-folder /srv/dev --help", "").out.find("/srv/dev/7/Debug_"),
            std::string::npos);
}

TEST_F(HostProgramTest, WithoutATerminalTheDialogSaysSoAndLeavesTheOutputFileAlone) {
  const std::string output = env.Root() + "my.json";
  std::ofstream(output) << "old";
  launcher = "setsid -w ";
  const HostRun run = Host("--set Token=secret-token-1 settings --output '" + output + "'", "");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("ShowSettingsDlg: 201 Операция отменена пользователем: no terminal is available"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(testing::TestEnv::ReadFile(output), "old") << "a cancelled dialog leaves the file alone";
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
