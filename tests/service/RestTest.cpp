#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "service/uHTTP.h"
#include "tests/service/FakeTransport.h"
#include "tests/support/TestEnv.h"

namespace tallowmer {
namespace {

struct Outcome {
  std::string response = "untouched";
  int32_t code = 12345;
  std::string description = "untouched";
};

class RestTest : public ::testing::Test {
 protected:
  RestTest() {
    auto fake = std::make_unique<testing::FakeTransport>();
    transport = fake.get();
    rest = std::make_unique<THTTPRest>(true, std::move(fake));
    env.fixedClock = true;
  }

  Outcome Request(TMethodType method, const std::string& url = "https://svc.test/ping?token=t",
                  const std::string& data = "") {
    Outcome outcome;
    rest->MakeRequest(method, url, data, outcome.response, outcome.code, outcome.description);
    return outcome;
  }

  std::string DefaultLogFolder() const { return env.Root() + "common/Quorvane/ls_tallowmer/logs/"; }

  testing::TestEnv env;
  testing::FakeTransport* transport = nullptr;
  std::unique_ptr<THTTPRest> rest;
};

TEST_F(RestTest, WithoutAFolderTheLogGoesToTheProductDataFolder) {
  transport->Answer(200, "{\"a\":1}\r\n");
  const Outcome outcome = Request(mtGet, "https://svc.test/ping?token=merchant-token");
  EXPECT_EQ(outcome.code, 200);
  EXPECT_EQ(outcome.response, "{\"a\":1}\r\n");
  EXPECT_EQ(outcome.description, "");
  EXPECT_EQ(testing::TestEnv::ReadFile(DefaultLogFolder() + "http_2024.01.31.log"),
            "Stat Connected.\r\n"
            "Sent 31.01.2024 10:20:30: GET https://svc.test/ping?token=***<EOL><EOL>\r\n"
            "Recv 31.01.2024 10:20:30: {\"a\":1}<EOL>\r\n"
            "Stat Disconnected.\r\n");
}

TEST_F(RestTest, RequestsAppendToTheFileOfTheDayTheyStart) {
  rest->SetLogDir(env.Root() + "device");
  transport->Answer(200, "1");
  transport->Answer(200, "2");
  transport->Answer(200, "3");
  Request(mtGet);
  Request(mtPost, "https://svc.test/x", "{}");
  env.clock = {2024, 2, 1, 0, 0, 1, 0};
  Request(mtGet);
  const std::string first = testing::TestEnv::ReadFile(env.Root() + "device/http_2024.01.31.log");
  EXPECT_NE(first.find("Recv 31.01.2024 10:20:30: 1\r\n"), std::string::npos);
  EXPECT_NE(first.find("Sent 31.01.2024 10:20:30: {}\r\nRecv 31.01.2024 10:20:30: 2\r\n"), std::string::npos);
  EXPECT_EQ(testing::TestEnv::ReadFile(env.Root() + "device/http_2024.02.01.log"),
            "Stat Connected.\r\nSent 01.02.2024 00:00:01: GET https://svc.test/ping?token=***<EOL><EOL>\r\n"
            "Recv 01.02.2024 00:00:01: 3\r\nStat Disconnected.\r\n");
  EXPECT_FALSE(std::filesystem::exists(DefaultLogFolder()));
}

TEST_F(RestTest, WithLoggingOffTheFolderIsStillCreatedButNothingWritten) {
  rest->SetLogEnabled(false);
  transport->Answer(200, "{}");
  EXPECT_EQ(Request(mtGet).code, 200);
  EXPECT_TRUE(std::filesystem::is_directory(DefaultLogFolder()));
  EXPECT_TRUE(std::filesystem::is_empty(DefaultLogFolder()));
}

// A file where the log folder should be, or a folder where the day's file should be, is what another
// user can plant: the request goes on and its lines go to the user's own log. Only when that log
// cannot be had either is the request given up, before anything is sent.
TEST_F(RestTest, ALogThatIsRefusedGoesToThePrivateLogAndOnlyWithoutOneFailsTheRequest) {
  std::ofstream(env.Root() + "plain-file") << "x";
  std::filesystem::create_directories(env.Root() + "dir/http_2024.01.31.log");
  const std::string privateLog = env.Root() + "user/Quorvane/ls_tallowmer/logs/http_2024.01.31.log";
  for (const std::string& folder : {env.Root() + "plain-file/logs", env.Root() + "dir"}) {
    SCOPED_TRACE(folder);
    rest->SetLogDir(folder);
    transport->Answer(200, "{}");
    const Outcome outcome = Request(mtGet);
    EXPECT_EQ(outcome.code, 200);
    EXPECT_EQ(outcome.response, "{}");
    const std::string diverted = testing::TestEnv::ReadFile(privateLog);
    EXPECT_NE(diverted.find("Stat Журнал " + folder + "/http_2024.01.31.log отклонён: "), std::string::npos)
        << diverted;
    EXPECT_TRUE(diverted.ends_with("Recv 31.01.2024 10:20:30: {}\r\nStat Disconnected.\r\n")) << diverted;
  }
  EXPECT_EQ(transport->sent.size(), 2u);

  // Nobody else may be able to change the user's own folder: this one, everyone may write to.
  std::filesystem::remove_all(env.Root() + "user/Quorvane");
  ASSERT_EQ(::chmod((env.Root() + "user").c_str(), 0777), 0);
  transport->Answer(200, "{}");
  const Outcome outcome = Request(mtGet);
  EXPECT_EQ(outcome.code, -1);
  EXPECT_EQ(outcome.response, "");
  EXPECT_NE(outcome.description.find("могут писать другие пользователи"), std::string::npos)
      << outcome.description;
  EXPECT_EQ(transport->sent.size(), 2u);
}

TEST_F(RestTest, AnswersAreSortedIntoResponseOrDescription) {
  const struct {
    HttpAnswer answer;
    int32_t code;
    std::string response;
    std::string description;
  } cases[] = {
      {{200, "Привет", "text/plain; charset=windows-1251", ""}, 200, "Привет", ""},
      {{204, "", "", ""}, 204, "", ""},
      {{401, R"({"error":{"message":"Invalid token"}})", "application/json", ""},
       401,
       "",
       R"({"error":{"message":"Invalid token"}})"},
      {{500, "\xf0\xd2\xc9\xd7\xc5\xd4", "text/html; charset=koi8-r", ""}, 500, "", "Привет"},
      {{-1, "", "", "Connection refused", TransportFailure::ConnectionRefused},
       -1,
       "",
       "Не удалось соединиться с сервером (Connection refused)"},
  };
  for (const auto& c : cases) {
    transport->answers.push_back(c.answer);
    const Outcome outcome = Request(mtPost, "https://svc.test/x", "{}");
    EXPECT_EQ(outcome.code, c.code);
    EXPECT_EQ(outcome.response, c.response);
    EXPECT_EQ(outcome.description, c.description);
  }
}

TEST_F(RestTest, DeleteSendsNothingAndLeavesTheCode) {
  const Outcome outcome = Request(mtDelete);
  EXPECT_EQ(outcome.code, 12345);
  EXPECT_EQ(outcome.response, "");
  EXPECT_EQ(outcome.description, "");
  EXPECT_TRUE(transport->sent.empty());
}

TEST_F(RestTest, PostWithoutLogSendsAnEmptyBodyAndWritesNoLog) {
  transport->Answer(401, "{}");
  EXPECT_EQ(rest->PostWithoutLog("https://svc.test/ping?token="), 401);
  ASSERT_EQ(transport->sent.size(), 1u);
  EXPECT_EQ(transport->sent[0].verb, HttpVerb::Post);
  EXPECT_EQ(transport->sent[0].body, "");
  EXPECT_FALSE(std::filesystem::exists(DefaultLogFolder()));
  EXPECT_EQ(rest->PostWithoutLog("https://svc.test/ping?token="), -1);
}

}  // namespace
}  // namespace tallowmer
