#include "tools/host/HostOptions.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace tallowmer::host {
namespace {

TEST(HostOptionsTest, DefaultsTakeDeviceOneAndTheCommonDevicesFolder) {
  const HostOptions options = ParseOptions({"-"});
  EXPECT_FALSE(options.help);
  EXPECT_FALSE(options.raw);
  EXPECT_EQ(options.setup.deviceId, "1");
  EXPECT_TRUE(options.setup.textSettings.empty());
  EXPECT_EQ(options.properties.language, "ru");
  EXPECT_TRUE(options.properties.modelsFolder.empty());
  const std::string folder = options.properties.devicesFolder;
  const std::string tail = "Quorvane/ls_tallowmer/devices";
  ASSERT_GE(folder.size(), tail.size());
  EXPECT_EQ(folder.substr(folder.size() - tail.size()), tail);
  EXPECT_EQ(options.positional, std::vector<std::string>{"-"});
}

TEST(HostOptionsTest, ReadsEveryOptionWithItsValueAfterIt) {
  const HostOptions options =
      ParseOptions({"--set", "Host=https://a", "--set", "Token=x=y", "--settings", "s.json", "--ca", "ca.pem",
                    "--device-id", "7", "--devices-folder", "/d", "--models-folder", "/m", "--language", "en",
                    "--output", "out.json", "settings"});
  EXPECT_EQ(options.setup.textSettings.at("Host"), "https://a");
  EXPECT_EQ(options.setup.textSettings.at("Token"), "x=y");
  EXPECT_EQ(options.settingsFile, "s.json");
  EXPECT_EQ(options.caFile, "ca.pem");
  EXPECT_EQ(options.setup.deviceId, "7");
  EXPECT_EQ(options.properties.devicesFolder, "/d");
  EXPECT_EQ(options.properties.modelsFolder, "/m");
  EXPECT_EQ(options.properties.language, "en");
  EXPECT_EQ(options.outputFile, "out.json");
  EXPECT_EQ(options.positional, std::vector<std::string>{"settings"});
}

TEST(HostOptionsTest, TakesValuesAfterAnEqualsSignAndFlagsAnywhere) {
  const HostOptions options =
      ParseOptions({"call", "--device-id=2", "GetDeviceInfo", "--set=Id=a=b", "--raw", "-h"});
  EXPECT_EQ(options.setup.deviceId, "2");
  EXPECT_EQ(options.setup.textSettings.at("Id"), "a=b");
  EXPECT_TRUE(options.raw);
  EXPECT_TRUE(options.help);
  EXPECT_EQ(options.positional, (std::vector<std::string>{"call", "GetDeviceInfo"}));
}

TEST(HostOptionsTest, DoubleDashEndsTheOptions) {
  const HostOptions options = ParseOptions({"--raw", "--", "--help", "-x", ""});
  EXPECT_TRUE(options.raw);
  EXPECT_FALSE(options.help);
  EXPECT_EQ(options.positional, (std::vector<std::string>{"--help", "-x", ""}));
}

struct RefusedCase {
  const char* name;
  std::vector<std::string> args;
  const char* message;
  friend void PrintTo(const RefusedCase& refused, std::ostream* out) { *out << refused.name; }
};

class RefusedCommandLineTest : public ::testing::TestWithParam<RefusedCase> {};

// Parsing and the command's own check, as the program runs them before the driver starts.
TEST_P(RefusedCommandLineTest, NamesWhatIsWrong) {
  try {
    HostOptions options = ParseOptions(GetParam().args);
    CheckCommandLine(options);
    FAIL() << "accepted";
  } catch (const UsageError& error) {
    EXPECT_EQ(std::string(error.what()), GetParam().message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedCommandLineTest,
    ::testing::Values(
        RefusedCase{
            "UnknownOption",
            {"--frobnicate=1", "-"},
            "unknown option --frobnicate=1; the options are --set ID=VALUE, --settings FILE, --ca FILE, "
            "--device-id ID, --devices-folder DIR, --models-folder DIR, --language LANG, --raw, "
            "--output FILE, -h/--help"},
        RefusedCase{"ValueForAFlag", {"--help=yes"}, "--help takes no value"},
        RefusedCase{"MissingValue", {"-", "--language"}, "--language needs a value"},
        RefusedCase{"SetWithoutEquals", {"--set", "Host", "-"}, "--set expects ID=VALUE, not Host"},
        RefusedCase{"SetWithoutId", {"--set==1", "-"}, "--set expects ID=VALUE, not =1"},
        RefusedCase{"NoCommand",
                    {"--raw"},
                    "name a script file, - for standard input, call METHOD, settings or check (see --help)"},
        RefusedCase{"CallWithoutMethod", {"call"}, "usage: call METHOD [INDATA-JSON]"},
        RefusedCase{"CallWithTooMuch", {"call", "M", "[]", "x"}, "usage: call METHOD [INDATA-JSON]"},
        RefusedCase{
            "SettingsWithArgument", {"settings", "now"}, "settings takes no arguments besides --output FILE"},
        RefusedCase{"CheckWithArgument", {"check", "now"}, "check takes no arguments"},
        RefusedCase{"ScriptWithArgument", {"run.jsonl", "more"}, "a script takes no further arguments: more"},
        RefusedCase{"OutputOutsideSettings", {"--output", "f", "check"}, "--output belongs to settings"},
        RefusedCase{
            "RawWithSettings",
            {"--raw", "--settings", "s.json", "-"},
            "--raw makes no SetSettings, so --set and --settings would change nothing; leave out --raw, "
            "or call SetSettings in the script"}),
    [](const auto& info) { return std::string(info.param.name); });

struct CommandCase {
  const char* name;
  std::vector<std::string> args;
  HostCommand command;
  friend void PrintTo(const CommandCase& command, std::ostream* out) { *out << command.name; }
};

class CommandTest : public ::testing::TestWithParam<CommandCase> {};

TEST_P(CommandTest, FirstArgumentChoosesTheCommand) {
  HostOptions options = ParseOptions(GetParam().args);
  CheckCommandLine(options);
  EXPECT_EQ(options.command, GetParam().command);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandTest,
    ::testing::Values(CommandCase{"Call", {"call", "GetDeviceInfo"}, HostCommand::Call},
                      CommandCase{"CallWithInData", {"call", "M", "[1]"}, HostCommand::Call},
                      CommandCase{"Settings", {"--output", "f", "settings"}, HostCommand::Settings},
                      CommandCase{"Check", {"check"}, HostCommand::Check},
                      CommandCase{"StandardInput", {"-"}, HostCommand::Script},
                      CommandCase{"ScriptFile", {"--", "call.jsonl"}, HostCommand::Script}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tallowmer::host
