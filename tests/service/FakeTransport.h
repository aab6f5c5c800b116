#pragma once

// A transport that records what it is asked to send and answers from a script, replaying a
// connection's events to the log as a real one would.

#include <deque>
#include <string>
#include <vector>

#include "common/uCommonUtils.h"
#include "service/HttpTransport.h"

namespace tallowmer::testing {

struct SentRequest {
  HttpVerb verb = HttpVerb::Get;
  std::string url;
  std::string body;
};

class FakeTransport final : public IHttpTransport {
 public:
  HttpAnswer Execute(HttpVerb verb, const std::string& url, std::string_view body,
                     IHttpEvents* events) noexcept override {
    sent.push_back({verb, url, std::string(body)});
    HttpAnswer answer;
    answer.error = "no answer scripted";
    answer.failure = TransportFailure::Other;
    if (!answers.empty()) {
      answer = answers.front();
      answers.pop_front();
    }
    if (events != nullptr && answer.status >= 0) {
      events->OnConnected(proxy);
      events->OnSent((verb == HttpVerb::Post ? "POST " : "GET ") + url + "\r\n\r\n");
      if (!body.empty()) events->OnSent(body);
      events->OnReceived(answer.body);
      events->OnDisconnected();
    }
    return answer;
  }

  // Queues an answer; without one queued, a request fails as if nothing answered.
  void Answer(int32_t status, std::string body, std::string contentType = "application/json") {
    answers.push_back({status, std::move(body), std::move(contentType), ""});
  }
  void Fail(TransportFailure kind, std::string detail) {
    answers.push_back({-1, "", "", std::move(detail), kind});
  }

  std::vector<SentRequest> sent;
  std::deque<HttpAnswer> answers;
  // The proxy the scripted connections claim to go through; empty for direct ones.
  std::string proxy;
};

// Collects what is written to the process-wide log sink while it lives.
class RecordingLog final : public ILog {
 public:
  RecordingLog() { SetLogSink(this); }
  ~RecordingLog() { SetLogSink(nullptr); }
  RecordingLog(const RecordingLog&) = delete;
  RecordingLog& operator=(const RecordingLog&) = delete;

  void Log(const std::string& name, const std::string& text) override { lines.push_back(name + "|" + text); }

  std::vector<std::string> lines;
};

}  // namespace tallowmer::testing
