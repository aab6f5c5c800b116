// The cost of the service client over bare libcurl: N sequential ClientInfo calls over HTTPS, each
// on a new connection, against the same loopback server as N requests made by a plain libcurl
// loop. The two run interleaved so that both see the same machine load. The servers are the service
// simulator, when the build has one, and a scripted TLS server in this process.

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "service/uDevice.h"
#include "tests/service/TlsTestServer.h"
#include "tests/support/Simulator.h"
#include "tests/support/TestEnv.h"

namespace tallowmer {
namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kToken = "bench-token-0001";
constexpr const char* kAnswer =
    R"({"clientId":"c-1","name":"Иван Петров","phone":"79001234567",)"
    R"("cardNumber":"4000123412341234","email":"ivan@example.com","bonusBalance":150.5})";

size_t Discard(char*, size_t size, size_t count, void*) {
  return size * count;
}

struct Figures {
  double median;
  double p90;
};

Figures Summarise(std::vector<double> micros) {
  std::sort(micros.begin(), micros.end());
  return {micros[micros.size() / 2], micros[micros.size() * 9 / 10]};
}

// Times `count` interleaved pairs of requests and prints the medians; gives back the service
// client's figures, nothing when a request failed.
std::optional<Figures> Compare(const char* serverName, const std::string& host, const std::string& caFile,
                               int count) {
  testing::TestEnv env;
  TransportOptions options;
  options.extraCaBundle = caFile;
  TDevice device(CreateDefaultTransport(options));
  device.SetHost(host);
  device.SetToken(kToken);
  device.HTTPRest().SetLogDir(env.Root() + "logs");

  CURL* bare = curl_easy_init();
  const std::string url = host + "/clientInfo?token=" + kToken + "&type=phone&id=79001234567";
  curl_easy_setopt(bare, CURLOPT_URL, url.c_str());
  curl_easy_setopt(bare, CURLOPT_CAINFO, caFile.c_str());
  curl_easy_setopt(bare, CURLOPT_FRESH_CONNECT, 1L);
  curl_easy_setopt(bare, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(bare, CURLOPT_WRITEFUNCTION, &Discard);
  if (curl_easy_perform(bare) != CURLE_OK) {
    std::fprintf(stderr, "bare libcurl cannot reach %s\n", host.c_str());
    curl_easy_cleanup(bare);
    return std::nullopt;
  }

  std::vector<double> client;
  std::vector<double> plain;
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    device.ClientInfo(3, "79001234567");
    const auto middle = Clock::now();
    if (curl_easy_perform(bare) != CURLE_OK) {
      std::fprintf(stderr, "bare libcurl request failed\n");
      curl_easy_cleanup(bare);
      return std::nullopt;
    }
    const auto end = Clock::now();
    client.push_back(std::chrono::duration<double, std::micro>(middle - start).count());
    plain.push_back(std::chrono::duration<double, std::micro>(end - middle).count());
  }
  curl_easy_cleanup(bare);

  const Figures ours = Summarise(client);
  const Figures theirs = Summarise(plain);
  const double ratio = ours.median / theirs.median;
  std::printf("bench_service: %d sequential ClientInfo requests over HTTPS to %s, a new connection each\n",
              count, serverName);
  std::printf("  TDevice.ClientInfo  median %8.1f us   p90 %8.1f us\n", ours.median, ours.p90);
  std::printf("  bare libcurl        median %8.1f us   p90 %8.1f us\n", theirs.median, theirs.p90);
  std::printf("  ratio of medians    %.3f (target at most 1.15: %s)\n", ratio,
              ratio <= 1.15 ? "met" : "missed");
  return ours;
}

int Run(int count) {
  std::optional<Figures> simulated;
#ifdef TALLOWMER_SIM_PATH
  {
    const testing::Simulator simulator(TALLOWMER_SIM_PATH, {false, true, kToken});
    simulated = Compare("the service simulator", simulator.BaseUrl(), simulator.CaFile(), count);
    if (!simulated) return 1;
  }
#endif
  // A server that answers at once shows the client's own cost, which the simulator's latency hides.
  const testing::TestPki pki;
  const testing::ScriptedTlsServer scripted(pki, [](const std::string&) {
    return testing::HttpAnswerBytes(200, "OK", "application/json", kAnswer);
  });
  const std::optional<Figures> immediate =
      Compare("a scripted TLS server", scripted.Url("/api/v2"), pki.CaFile(), count);
  if (!immediate) return 1;
  // The simulator stands in for the service in every test; it should cost hardly more than a
  // server that answers at once.
  if (simulated) {
    const double ratio = simulated->median / immediate->median;
    std::printf("bench_service: the simulator against the scripted server\n");
    std::printf("  ratio of TDevice.ClientInfo medians %.3f (target at most 1.3: %s)\n", ratio,
                ratio <= 1.3 ? "met" : "missed");
  }
  return 0;
}

}  // namespace
}  // namespace tallowmer

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
  return tallowmer::Run(count);
}
