#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "service/WaitedTransport.h"

namespace tallowmer {
namespace {

// A wait that runs the work on a thread of its own and joins it, or ends early as scripted.
class ScriptedWait final : public IResponsiveWait {
 public:
  std::chrono::milliseconds Limit() const override { return std::chrono::seconds(10); }
  std::chrono::milliseconds Remaining() const override { return remaining; }
  TWaitEnd Run(std::function<void()> work) override {
    ++runs;
    if (end != TWaitEnd::Finished) return end;
    std::thread(std::move(work)).join();
    return TWaitEnd::Finished;
  }

  std::chrono::milliseconds remaining{4000};
  TWaitEnd end = TWaitEnd::Finished;
  int runs = 0;
};

// What the transports made for the requests saw.
struct TransportRecord {
  std::vector<TransportOptions> options;
  std::vector<std::thread::id> threads;
  std::vector<std::string> urls;
};

class AnsweringTransport final : public IHttpTransport {
 public:
  explicit AnsweringTransport(std::shared_ptr<TransportRecord> record) : record_(std::move(record)) {}
  HttpAnswer Execute(HttpVerb, const std::string& url, std::string_view body,
                     IHttpEvents* events) noexcept override {
    record_->threads.push_back(std::this_thread::get_id());
    record_->urls.push_back(url);
    events->OnConnected("");
    events->OnSent(body);
    events->OnReceived("pong");
    events->OnDisconnected();
    HttpAnswer answer;
    answer.status = 200;
    answer.body = "pong";
    return answer;
  }

 private:
  std::shared_ptr<TransportRecord> record_;
};

// The calling side's log: which thread each event reached, and in what order.
class ThreadNotingEvents final : public IHttpEvents {
 public:
  void OnConnected(std::string_view) noexcept override { Note("connected"); }
  void OnSent(std::string_view bytes) noexcept override { Note("sent " + std::string(bytes)); }
  void OnReceived(std::string_view bytes) noexcept override { Note("received " + std::string(bytes)); }
  void OnDisconnected() noexcept override { Note("disconnected"); }

  std::vector<std::string> events;
  std::vector<std::thread::id> threads;

 private:
  void Note(std::string event) {
    events.push_back(std::move(event));
    threads.push_back(std::this_thread::get_id());
  }
};

class WaitedTransportTest : public ::testing::Test {
 protected:
  WaitedTransport Transport() {
    TransportOptions options;
    options.extraCaBundle = "/module/SSL/ca-bundle.pem";
    return WaitedTransport(
        wait,
        [record = record](const TransportOptions& given) {
          record->options.push_back(given);
          return std::make_unique<AnsweringTransport>(record);
        },
        options);
  }

  ScriptedWait wait;
  std::shared_ptr<TransportRecord> record = std::make_shared<TransportRecord>();
  ThreadNotingEvents events;
};

TEST_F(WaitedTransportTest, RequestRunsElsewhereWithinWhatIsLeftAndItsEventsReachTheCallerAfterwards) {
  WaitedTransport transport = Transport();
  const HttpAnswer answer = transport.Execute(HttpVerb::Post, "https://h/api/v2/ping?token=t", "{}", &events);
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body, "pong");
  ASSERT_EQ(record->threads.size(), 1u);
  EXPECT_NE(record->threads[0], std::this_thread::get_id());
  EXPECT_EQ(record->urls, std::vector<std::string>{"https://h/api/v2/ping?token=t"});
  ASSERT_EQ(record->options.size(), 1u);
  EXPECT_EQ(record->options[0].requestTimeout, std::chrono::milliseconds(4000));
  EXPECT_EQ(record->options[0].connectTimeout, std::chrono::milliseconds(4000));
  EXPECT_EQ(record->options[0].extraCaBundle, "/module/SSL/ca-bundle.pem");
  EXPECT_EQ(events.events,
            (std::vector<std::string>{"connected", "sent {}", "received pong", "disconnected"}));
  for (const std::thread::id thread : events.threads) EXPECT_EQ(thread, std::this_thread::get_id());
}

TEST_F(WaitedTransportTest, TimeLeftAboveTheTransportsOwnBoundsKeepsThem) {
  wait.remaining = std::chrono::minutes(5);
  Transport().Execute(HttpVerb::Get, "https://h/", {}, nullptr);
  ASSERT_EQ(record->options.size(), 1u);
  EXPECT_EQ(record->options[0].requestTimeout, kRequestTimeout);
  EXPECT_EQ(record->options[0].connectTimeout, kConnectTimeout);
}

struct EarlyEnd {
  const char* name;
  TWaitEnd end;
  std::chrono::milliseconds remaining;
  int runs;
  TransportFailure failure;
  const char* text;
};

class WaitedTransportEarlyEndTest : public WaitedTransportTest,
                                    public ::testing::WithParamInterface<EarlyEnd> {};

TEST_P(WaitedTransportEarlyEndTest, AnswersTheFailureAndLogsNothing) {
  wait.end = GetParam().end;
  wait.remaining = GetParam().remaining;
  const HttpAnswer answer = Transport().Execute(HttpVerb::Get, "https://h/api/v2/ping", {}, &events);
  EXPECT_EQ(answer.status, -1);
  EXPECT_EQ(answer.failure, GetParam().failure);
  EXPECT_EQ(DescribeTransportFailure(answer.failure, answer.error), GetParam().text);
  EXPECT_EQ(wait.runs, GetParam().runs);
  EXPECT_TRUE(events.events.empty());
  EXPECT_TRUE(record->threads.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Ends, WaitedTransportEarlyEndTest,
    ::testing::Values(
        EarlyEnd{"TimedOut", TWaitEnd::TimedOut, std::chrono::milliseconds(4000), 1,
                 TransportFailure::TimedOut, "Истекло время ожидания ответа сервера (нет ответа за 10 с)"},
        EarlyEnd{"NoTimeLeft", TWaitEnd::Finished, std::chrono::milliseconds(0), 0,
                 TransportFailure::TimedOut, "Истекло время ожидания ответа сервера (нет ответа за 10 с)"},
        EarlyEnd{"Abandoned", TWaitEnd::Abandoned, std::chrono::milliseconds(4000), 1,
                 TransportFailure::Other, "Ошибка соединения с сервером (ожидание прервано пользователем)"}),
    [](const ::testing::TestParamInfo<EarlyEnd>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tallowmer
