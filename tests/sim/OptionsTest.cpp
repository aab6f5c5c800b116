#include "tools/sim/Options.h"

#include <gtest/gtest.h>

namespace tallowmer::sim {
namespace {

TEST(OptionsTest, DefaultsListenOnLoopbackWithTlsAndTheDemoToken) {
  const Options options = ParseOptions({});
  EXPECT_EQ(options.host, "127.0.0.1");
  EXPECT_EQ(options.port, 0);
  EXPECT_FALSE(options.plain);
  EXPECT_FALSE(options.db);
  EXPECT_EQ(options.token, "demo-token-0001");
  EXPECT_FALSE(options.seed);
  EXPECT_FALSE(options.stateDir);
  EXPECT_FALSE(options.faults);
  EXPECT_EQ(options.clockOffsetSeconds, 0);
  EXPECT_FALSE(options.help);
}

TEST(OptionsTest, ReadsEveryOption) {
  const Options options =
      ParseOptions({"--listen", "127.0.0.1:8443", "--plain", "--db", ":memory:", "--token", "secret-1",
                    "--seed", "--state-dir", "/tmp/sim-state", "--faults", "--clock-offset", "-600"});
  EXPECT_EQ(options.host, "127.0.0.1");
  EXPECT_EQ(options.port, 8443);
  EXPECT_TRUE(options.plain);
  EXPECT_EQ(options.db, ":memory:");
  EXPECT_EQ(options.token, "secret-1");
  EXPECT_TRUE(options.seed);
  EXPECT_EQ(options.stateDir, std::filesystem::path("/tmp/sim-state"));
  EXPECT_TRUE(options.faults);
  EXPECT_EQ(options.clockOffsetSeconds, -600);
}

TEST(OptionsTest, TakesValuesAfterAnEqualsSign) {
  const Options options =
      ParseOptions({"--token=a=b", "--db=/tmp/x.sqlite", "--listen=0.0.0.0:0", "--clock-offset=+90"});
  EXPECT_EQ(options.token, "a=b");
  EXPECT_EQ(options.db, "/tmp/x.sqlite");
  EXPECT_EQ(options.host, "0.0.0.0");
  EXPECT_EQ(options.clockOffsetSeconds, 90);
}

struct ListenCase {
  const char* listen;
  const char* host;
  int port;
};

class ListenTest : public ::testing::TestWithParam<ListenCase> {};

TEST_P(ListenTest, SplitsHostAndPort) {
  const Options options = ParseOptions({"--listen", GetParam().listen});
  EXPECT_EQ(options.host, GetParam().host);
  EXPECT_EQ(options.port, GetParam().port);
}

INSTANTIATE_TEST_SUITE_P(Addresses, ListenTest,
                         ::testing::Values(ListenCase{"127.0.0.1:0", "127.0.0.1", 0},
                                           ListenCase{"localhost:65535", "localhost", 65535},
                                           ListenCase{"0.0.0.0:8080", "0.0.0.0", 8080},
                                           ListenCase{"[::1]:9000", "::1", 9000},
                                           ListenCase{"::1:9000", "::1", 9000}));

struct BadCase {
  std::vector<std::string> args;
  const char* mentions;
};

class BadOptionsTest : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadOptionsTest, IsAUsageErrorNamingTheProblem) {
  try {
    ParseOptions(GetParam().args);
    ADD_FAILURE() << "accepted";
  } catch (const UsageError& error) {
    EXPECT_NE(std::string(error.what()).find(GetParam().mentions), std::string::npos) << error.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, BadOptionsTest,
    ::testing::Values(BadCase{{"--port", "1"}, "--port"}, BadCase{{"--listen"}, "needs a value"},
                      BadCase{{"--listen", "127.0.0.1"}, "HOST:PORT"}, BadCase{{"--listen", ":80"}, "host"},
                      BadCase{{"--listen", "127.0.0.1:65536"}, "port"},
                      BadCase{{"--listen", "127.0.0.1:-1"}, "port"},
                      BadCase{{"--listen", "127.0.0.1:http"}, "port"},
                      BadCase{{"--listen", "127.0.0.1:"}, "port"}, BadCase{{"--token", ""}, "--token"},
                      BadCase{{"--token"}, "--token"}, BadCase{{"--db="}, "--db"},
                      BadCase{{"--state-dir", ""}, "--state-dir"}, BadCase{{"--plain=yes"}, "no value"},
                      BadCase{{"extra"}, "extra"}, BadCase{{"--clock-offset", "ten"}, "--clock-offset"},
                      BadCase{{"--clock-offset", ""}, "--clock-offset"},
                      BadCase{{"--clock-offset", "--"}, "--clock-offset"},
                      BadCase{{"--clock-offset", "31622401"}, "--clock-offset"},
                      BadCase{{"--clock-offset", "-99999999999999999999"}, "--clock-offset"}));

struct StateDirCase {
  const char* xdgStateHome;
  const char* home;
  const char* expected;
};

class StateDirTest : public ::testing::TestWithParam<StateDirCase> {};

TEST_P(StateDirTest, FollowsTheXdgRules) {
  EXPECT_EQ(DefaultStateDir(GetParam().xdgStateHome, GetParam().home),
            std::filesystem::path(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Environment, StateDirTest,
    ::testing::Values(StateDirCase{"/var/state", "/home/u", "/var/state/tallowmer_sim"},
                      StateDirCase{nullptr, "/home/u", "/home/u/.local/state/tallowmer_sim"},
                      StateDirCase{"", "/home/u", "/home/u/.local/state/tallowmer_sim"},
                      // A relative XDG_STATE_HOME is invalid and ignored.
                      StateDirCase{"relative/state", "/home/u", "/home/u/.local/state/tallowmer_sim"}));

TEST(StateDirTest, WithoutAnyHomeAsksForTheOption) {
  EXPECT_THROW(DefaultStateDir(nullptr, nullptr), UsageError);
  EXPECT_THROW(DefaultStateDir("relative", ""), UsageError);
}

}  // namespace
}  // namespace tallowmer::sim
