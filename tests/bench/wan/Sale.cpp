#include "tests/bench/wan/Sale.h"

#include <chrono>
#include <ctime>
#include <nlohmann/json.hpp>
#include <random>

#include "tests/bench/wan/Child.h"

namespace tallowmer::bench {
namespace {

using Json = nlohmann::json;

constexpr const char* kPhone = "79001234567";
// A Wine prefix may be set up on a program's first start, which takes a while.
constexpr std::chrono::seconds kAnswerWait{120};

// The receipt of the demonstration sale: [column][line], columns 2 product, 3 name, 4 discount,
// 5 quantity, 6 amount.
Json Receipt() {
  auto currency = [](const char* value) { return Json{{"$currency", value}}; };
  return Json{
      {"$matrix",
       Json::array({Json::array({nullptr, nullptr, nullptr}), Json::array({nullptr, nullptr, nullptr}),
                    Json::array({"4601", "4602", "4603"}),
                    Json::array({"Хлеб Бородинский", "Молоко 3,2%", "Сыр Российский"}),
                    Json::array({currency("10"), currency("0"), currency("15.5")}), Json::array({3, 2, 0.35}),
                    Json::array({currency("100"), currency("159.8"), currency("210")})})}};
}

class HostScript {
 public:
  HostScript(const std::string& command, const std::string& errorFile) : host_(command, errorFile) {}

  // Sends one call and waits for its answer line; throws std::runtime_error when the call failed.
  Json Call(const std::string& method, const Json& arguments, bool asInData, CallTiming* timing = nullptr) {
    Json line{{"call", method}, {asInData ? "in" : "args", arguments}};
    const Clock::time_point start = Clock::now();
    host_.WriteLine(line.dump());
    std::optional<std::string> answer;
    // Anything before the answer's JSON (a program's own notes) is not the answer.
    do {
      answer = host_.ReadLine(kAnswerWait);
    } while (answer && (answer->empty() || answer->front() != '{'));
    const Clock::time_point end = Clock::now();
    if (!answer) throw std::runtime_error(method + ": no answer from the host program");
    Json outcome = Json::parse(*answer, nullptr, false);
    if (outcome.is_discarded() || !outcome.value("result", false)) {
      throw std::runtime_error(method + " failed: " + *answer);
    }
    if (timing != nullptr) {
      timing->start = start;
      timing->end = end;
    }
    return outcome;
  }

  void Finish() { host_.Finish(std::chrono::seconds(30)); }

 private:
  Child host_;
};

CallTiming Call(const std::string& name, int requests) {
  CallTiming timing;
  timing.name = name;
  timing.requests = requests;
  return timing;
}

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string Now() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::string NewGuid() {
  std::random_device source;
  std::mt19937_64 random(source());
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X-4%03X-A%03X-%012llX", static_cast<unsigned>(random()),
                static_cast<unsigned>(random() & 0xFFFF), static_cast<unsigned>(random() & 0xFFF),
                static_cast<unsigned>(random() & 0xFFF),
                static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFULL));
  return text;
}

struct CurlRequest {
  bool post;
  std::string path;
  std::string body;
};

}  // namespace

SaleRun RunHostSale(const std::string& label, const std::string& command, const Service& service,
                    const std::string& errorFile) {
  SaleRun run;
  run.label = label;
  run.began = Clock::now();
  run.calls = {Call("Enable", 1), Call("GetCustomerData", 1), Call("CreateOrder", 1),
               Call("CloseOrder sale", 2), Call("CloseOrder return", 2)};
  try {
    HostScript host(command, errorFile);
    host.Call("Init", Json::array({Json{{"$manager", Json::object()}}, ""}), false);
    host.Call("Open", Json::array({"1", ""}), false);
    host.Call("SetSettings",
              Json::array({Json{{"$matrix", Json::array({Json::array({"Host", "Token"}),
                                                         Json::array({service.url, service.token})})}}}),
              true);
    host.Call("Enable", nullptr, true, &run.calls[0]);
    host.Call("GetCustomerData", Json::array({kPhone, 0, 0}), true, &run.calls[1]);
    const Json created =
        host.Call("CreateOrder", Json::array({Json{{"$empty", nullptr}}, kPhone, 0}), true, &run.calls[2]);
    const std::string order = created["args"][1][0].get<std::string>();
    const Json sold = host.Call(
        "CloseOrder",
        Json::array({order, Receipt(), Json{{"$currency", "50"}}, 0, kPhone, 0, 0, "", nullptr, "", "Чек 1"}),
        true, &run.calls[3]);
    const Json soldAt = sold["args"][1][2];
    host.Call(
        "CloseOrder",
        Json::array({order, Json{{"$empty", nullptr}}, 0, 0, kPhone, 0, 1, order, soldAt, "", "Возврат 1"}),
        true, &run.calls[4]);
    host.Call("Disable", nullptr, true);
    host.Call("Close", Json::array(), false);
    host.Finish();
  } catch (const std::exception& error) {
    run.failure = error.what();
  }
  run.ended = Clock::now();
  return run;
}

SaleRun RunCurlSale(const std::string& label, const std::string& extraArguments, const Service& service,
                    const std::string& errorFile) {
  SaleRun run;
  run.label = label;
  run.began = Clock::now();
  run.connectionsInOrder = true;
  const std::string token = "?token=" + service.token;
  const std::string lookup = "/clientInfo" + token + "&type=phone&id=" + kPhone;
  const std::string guid = NewGuid();
  const std::string date = Now();
  const std::string order = Json{{"guid", guid},
                                 {"number", "Чек 1"},
                                 {"date", date},
                                 {"sum", 469.8},
                                 {"sumDiscount", 444.3},
                                 {"bonusAdd", 0},
                                 {"bonusWriteOff", 50},
                                 {"depositAdd", 0},
                                 {"depositWriteOff", 0},
                                 {"cart", Json::array({Json{{"nid", "4601"},
                                                            {"groupId", ""},
                                                            {"groupName", ""},
                                                            {"name", "Хлеб Бородинский"},
                                                            {"price", 33.3333},
                                                            {"priceWithDiscount", 30},
                                                            {"amount", 3}}})}}
                                .dump();
  const std::string giveBack = Json{{"guid", guid}, {"sum", 0}, {"date", date}}.dump();
  // The driver's requests, call by call.
  const std::vector<std::pair<CallTiming, std::vector<CurlRequest>>> calls{
      {Call("Enable", 1), {{true, "/ping" + token, ""}}},
      {Call("GetCustomerData", 1), {{false, lookup, ""}}},
      {Call("CreateOrder", 1), {{false, lookup, ""}}},
      {Call("CloseOrder sale", 2),
       {{true, "/createOrder" + token + "&type=phone&id=" + kPhone, order}, {false, lookup, ""}}},
      {Call("CloseOrder return", 2), {{true, "/returnOrder" + token, giveBack}, {false, lookup, ""}}},
  };

  // Each transfer reports on standard error as it ends, which the pipe carries at once; its own
  // time_total gives its start.
  std::string command = "exec curl";
  bool first = true;
  for (const auto& [timing, requests] : calls) {
    for (const CurlRequest& request : requests) {
      if (!first) command += " --next";
      first = false;
      command += " -sS -o /dev/null --cacert " + Quoted(service.caFile) + " " + extraArguments +
                 " -H 'Connection: close' -w '%{stderr}wan %{time_total} %{time_connect} %{http_code}\\n'";
      if (request.post) {
        command +=
            " -H 'Content-Type: application/json; charset=utf-8' --data-binary " + Quoted(request.body);
      }
      command += " " + Quoted(service.url + request.path);
    }
  }
  try {
    Child curl(command + " 2>&1 >/dev/null", errorFile);
    for (const auto& [timing, requests] : calls) {
      CallTiming done = timing;
      for (size_t index = 0; index < requests.size(); ++index) {
        std::optional<std::string> line;
        do {
          line = curl.ReadLine(kAnswerWait);
        } while (line && line->rfind("wan ", 0) != 0);
        const Clock::time_point end = Clock::now();
        if (!line) throw std::runtime_error("curl ended before " + timing.name + " was done");
        double seconds = 0;
        double connected = 0;
        int status = 0;
        if (std::sscanf(line->c_str(), "wan %lf %lf %d", &seconds, &connected, &status) != 3 || status != 200)
          throw std::runtime_error(timing.name + ": curl: " + *line);
        if (index == 0) {
          done.start =
              end - std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
          done.curlPauseMs = connected * 1000;
        }
        done.curlMs += seconds * 1000;
        done.end = end;
      }
      run.calls.push_back(done);
    }
    curl.Finish(std::chrono::seconds(10));
  } catch (const std::exception& error) {
    run.failure = error.what();
  }
  run.ended = Clock::now();
  return run;
}

}  // namespace tallowmer::bench
