#include "tests/sim/SimTestSupport.h"

#include <cctype>
#include <cstdlib>
#include <stdexcept>

namespace tallowmer::sim::testing {
namespace {

std::optional<TlsIdentity> IdentityFor(const SimConfig& config, const TempDir& dir) {
  if (config.transport == Transport::Plain) return std::nullopt;
  return LoadOrCreateTlsIdentity(dir.Path() / "state");
}

ServerSettings SettingsFor(const SimConfig& config) {
  ServerSettings settings;
  settings.faults = config.faults;
  return settings;
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tallowmer_sim_test_XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TransportName(const ::testing::TestParamInfo<Transport>& info) {
  return info.param == Transport::Https ? "Https" : "Plain";
}

void PrintTo(Transport transport, std::ostream* out) {
  *out << (transport == Transport::Https ? "HTTPS" : "plain HTTP");
}

std::string Encode(const std::string& value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (unsigned char c : value) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      encoded += static_cast<char>(c);
    } else {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 0x0F];
    }
  }
  return encoded;
}

std::string Api(const std::string& operation, const std::string& query) {
  return "/api/v2/" + operation + "?token=" + std::string(kDefaultToken) + (query.empty() ? "" : "&" + query);
}

RunningSim::RunningSim(SimConfig config)
    : config_(config),
      store_(":memory:"),
      tls_(IdentityFor(config_, dir_)),
      server_(store_, SettingsFor(config_), tls_ ? &*tls_ : nullptr) {
  if (config_.seed) store_.Seed();
  server_.Start();
}

RunningSim::~RunningSim() {
  server_.Stop();
}

std::string RunningSim::Origin(const std::string& host) const {
  return std::string(tls_ ? "https" : "http") + "://" + host + ":" + std::to_string(server_.Port());
}

httplib::Client RunningSim::Client(const std::string& host) const {
  httplib::Client client(Origin(host));
  if (tls_) {
    client.set_ca_cert_path(tls_->caFile.string());
    client.enable_server_certificate_verification(true);
  }
  client.set_connection_timeout(5);
  client.set_read_timeout(5);
  return client;
}

nlohmann::json BodyJson(const httplib::Result& result) {
  if (!result) {
    ADD_FAILURE() << "no answer: " << httplib::to_string(result.error());
    return nullptr;
  }
  nlohmann::json body = nlohmann::json::parse(result->body, nullptr, false);
  if (body.is_discarded()) {
    ADD_FAILURE() << "not JSON: " << result->body;
    return nullptr;
  }
  return body;
}

std::string BalanceText(const RunningSim& sim, const std::string& cardNumber) {
  auto client = sim.Client();
  const auto result = client.Get(Api("clientInfo", "type=cardNumber&id=" + Encode(cardNumber)));
  const nlohmann::json body = BodyJson(result);
  if (!body.is_object() || !body.contains("bonusBalance") || !body["bonusBalance"].is_number()) {
    ADD_FAILURE() << "no numeric bonusBalance in " << body.dump();
    return "";
  }
  return body["bonusBalance"].dump();
}

}  // namespace tallowmer::sim::testing
