// The driver's requests during the settings dialog's device test: both the TLS preparation of
// Enable and the ping go through the dialog's wait, each on a transport made for it; outside the
// test the client's own transport serves as before.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/uEquipmentErrors.h"
#include "driver/uDriver.h"
#include "tests/device/DeviceTestSupport.h"
#include "tests/support/TestEnv.h"

namespace tallowmer {
namespace {

// Runs the work on a thread of its own and joins it.
class JoiningWait final : public IResponsiveWait {
 public:
  std::chrono::milliseconds Limit() const override { return std::chrono::seconds(10); }
  std::chrono::milliseconds Remaining() const override { return std::chrono::seconds(7); }
  TWaitEnd Run(std::function<void()> work) override {
    ++runs;
    std::thread(std::move(work)).join();
    return TWaitEnd::Finished;
  }
  int runs = 0;
};

struct MadeTransports {
  std::vector<std::string> requests;
  std::vector<std::chrono::milliseconds> timeouts;
};

class AnsweringTransport final : public IHttpTransport {
 public:
  explicit AnsweringTransport(std::shared_ptr<MadeTransports> made) : made_(std::move(made)) {}
  HttpAnswer Execute(HttpVerb verb, const std::string& url, std::string_view,
                     IHttpEvents*) noexcept override {
    made_->requests.push_back((verb == HttpVerb::Post ? "POST " : "GET ") + url);
    HttpAnswer answer;
    answer.status = 200;
    answer.body = "{}";
    return answer;
  }

 private:
  std::shared_ptr<MadeTransports> made_;
};

class TestTransportDriver : public TDriver {
 public:
  std::shared_ptr<MadeTransports> made = std::make_shared<MadeTransports>();

 protected:
  std::unique_ptr<IHttpTransport> CreateTransport(const TransportOptions& options) override {
    made->timeouts.push_back(options.requestTimeout);
    return std::make_unique<AnsweringTransport>(made);
  }
};

TEST(DriverDeviceTestWaitTest, TheTestsRequestsGoThroughTheWaitAndNothingElseDoes) {
  testing::TestEnv env;
  testing::Held<TestTransportDriver> driver;
  driver.Manager().properties["DevicesFolder"] = env.Root() + "devices";
  // Nothing listens there: a request through the client's own transport fails at once.
  driver->SetSettingValue("Host", OleVariant::Text("http://127.0.0.1:1/api/v2"));
  driver->SetSettingValue("Token", OleVariant::Text("t-1"));
  driver.InitAndOpen("1");

  std::string description;
  ASSERT_EQ(driver->Enable(description), kResultOk);
  EXPECT_FALSE(driver->DeviceTest(description));
  EXPECT_TRUE(driver->made->requests.empty());

  JoiningWait wait;
  driver->SetResponsiveWait(&wait);
  ASSERT_EQ(driver->Enable(description), kResultOk);
  EXPECT_TRUE(driver->DeviceTest(description)) << description;
  driver->SetResponsiveWait(nullptr);
  EXPECT_EQ(wait.runs, 2);
  EXPECT_EQ(driver->made->requests,
            (std::vector<std::string>{"POST http://127.0.0.1:1/api/v2/ping?token=t-1",
                                      "GET http://127.0.0.1:1/api/v2/ping?token=t-1"}));
  EXPECT_EQ(driver->made->timeouts,
            (std::vector<std::chrono::milliseconds>{std::chrono::seconds(7), std::chrono::seconds(7)}));

  // The client has its own transport back.
  EXPECT_FALSE(driver->DeviceTest(description));
  EXPECT_EQ(driver->made->requests.size(), 2u);
}

}  // namespace
}  // namespace tallowmer
