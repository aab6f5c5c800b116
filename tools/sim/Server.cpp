#include "tools/sim/Server.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>
#include <utility>

#include "tools/sim/Certificates.h"
#include "tools/sim/FaultInjector.h"
#include "tools/sim/ListenProbe.h"
#include "tools/sim/Store.h"

namespace tallowmer::sim {
namespace {

// Insertion order, so answers read in the order the service documents its members.
using Json = nlohmann::ordered_json;
using httplib::Request;
using httplib::Response;

constexpr const char* kJsonType = "application/json; charset=utf-8";
constexpr const char* kApiPath = "/api/v2";
constexpr int kMaxFaultCount = 1'000'000;
constexpr int kMaxFaultDelayMs = 600'000;

// "Thu, 10 Dec 2026 15:05:00 GMT", in English whatever the locale; `offsetSeconds` from now.
std::string HttpDate(long long offsetSeconds) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t when = std::time(nullptr) + static_cast<std::time_t>(offsetSeconds);
  std::tm utc{};
  gmtime_r(&when, &utc);
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[utc.tm_wday], utc.tm_mday,
                kMonths[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return text;
}

// A request the server refuses before it reaches the store.
class ApiError : public std::runtime_error {
 public:
  ApiError(int status, const std::string& message) : std::runtime_error(message), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

std::string Dump(const Json& value) {
  // Query text echoed in messages may be any bytes; never fail an answer over that.
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void Answer(Response& res, int status, const Json& body) {
  res.status = status;
  res.set_content(Dump(body), kJsonType);
}

Json ErrorBody(const std::string& message) {
  return {{"error", {{"message", message}}}};
}

int StatusFor(Refusal::Reason reason) {
  switch (reason) {
    case Refusal::Reason::NotFound:
      return 404;
    case Refusal::Reason::Conflict:
    case Refusal::Reason::InsufficientBalance:
      return 409;
    case Refusal::Reason::Invalid:
      break;
  }
  return 400;
}

// Whole amounts as JSON integers ("494"), others as the nearest double, which JSON writes back as
// the same short decimal ("150.5").
Json AmountJson(Decimal amount) {
  if (amount.IsWhole()) return amount.Units() / Decimal::kOne;
  return static_cast<double>(amount.Units()) / Decimal::kOne;
}

Json ParseObject(const std::string& body) {
  Json parsed = Json::parse(body, nullptr, false);
  if (parsed.is_discarded()) throw ApiError(400, "Malformed JSON body");
  if (!parsed.is_object()) throw ApiError(400, "The body must be a JSON object");
  return parsed;
}

// Absent and null members read the same.
const Json* Member(const Json& object, const char* key) {
  const auto found = object.find(key);
  return found == object.end() || found->is_null() ? nullptr : &*found;
}

std::string Text(const Json& object, const char* key) {
  const Json* value = Member(object, key);
  if (!value) return {};
  if (!value->is_string()) throw ApiError(400, std::string(key) + " must be a string");
  return value->get<std::string>();
}

// Identifiers that clients send as numbers as often as as strings.
std::string TextOrInteger(const Json& object, const char* key) {
  const Json* value = Member(object, key);
  if (value && value->is_number_integer()) return value->dump();
  return Text(object, key);
}

Decimal Amount(const Json& object, const char* key) {
  const Json* value = Member(object, key);
  if (!value) return {};
  if (!value->is_number()) throw ApiError(400, std::string(key) + " must be a number");
  // The JSON text of the number, not the double it was read into, gives the exact decimal.
  const auto amount = Decimal::Parse(value->dump());
  if (!amount) throw ApiError(400, std::string(key) + " is out of range");
  return *amount;
}

int Integer(const Json& object, const char* key, int fallback, int low, int high) {
  const Json* value = Member(object, key);
  if (!value) return fallback;
  if (!value->is_number_integer() || value->get<std::int64_t>() < low || value->get<std::int64_t>() > high) {
    throw ApiError(400, std::string(key) + " must be a whole number " + std::to_string(low) + ".." +
                            std::to_string(high));
  }
  return value->get<int>();
}

bool IsBlank(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return std::isspace(static_cast<unsigned char>(c)); });
}

// "YYYY-mm-dd hh:nn:ss" naming a real moment.
bool IsDateTime(const std::string& text) {
  constexpr std::string_view kShape = "dddd-dd-dd dd:dd:dd";
  if (text.size() != kShape.size()) return false;
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
    if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return false;
  }
  const auto number = [&](std::size_t at, std::size_t length) { return std::stoi(text.substr(at, length)); };
  const std::chrono::year_month_day day{std::chrono::year(number(0, 4)),
                                        std::chrono::month(static_cast<unsigned>(number(5, 2))),
                                        std::chrono::day(static_cast<unsigned>(number(8, 2)))};
  return day.ok() && number(11, 2) < 24 && number(14, 2) < 60 && number(17, 2) < 60;
}

LookupKind RequireKind(const Request& req) {
  const std::string type = req.get_param_value("type");
  const auto kind = ParseLookupKind(type);
  if (!kind) {
    throw ApiError(
        400, "Unknown identifier type \"" + type + "\"; expected clientId, cardBarcode, cardNumber or phone");
  }
  return *kind;
}

std::string RequireId(const Request& req) {
  std::string id = req.get_param_value("id");
  if (IsBlank(id)) throw ApiError(400, "The identifier id is empty");
  return id;
}

Json CustomerJson(const Customer& customer) {
  return {{"clientId", customer.clientId},
          {"lastName", customer.lastName},
          {"firstName", customer.firstName},
          {"patronymic", customer.patronymic},
          {"phone", customer.phone},
          {"email", customer.email},
          {"cardNumber", customer.cardNumber},
          {"cardBarcode", customer.cardBarcode},
          {"bonusBalance", AmountJson(customer.balance)}};
}

Customer CustomerFromJson(const Json& given) {
  if (!given.is_object()) throw ApiError(400, "Each client must be a JSON object");
  Customer customer;
  customer.lastName = Text(given, "lastName");
  customer.firstName = Text(given, "firstName");
  customer.patronymic = Text(given, "patronymic");
  customer.phone = TextOrInteger(given, "phone");
  customer.email = Text(given, "email");
  customer.cardNumber = TextOrInteger(given, "cardNumber");
  customer.cardBarcode = TextOrInteger(given, "cardBarcode");
  customer.birthday = Text(given, "birthday");
  customer.templateId = TextOrInteger(given, "templateId");
  customer.comment = Text(given, "comment");
  customer.tags = Text(given, "tags");
  customer.sex = Integer(given, "sex", 0, 0, 2);
  return customer;
}

Order OrderFromJson(const std::string& body) {
  const Json given = ParseObject(body);
  Order order;
  order.guid = Text(given, "guid");
  order.number = TextOrInteger(given, "number");
  order.date = Text(given, "date");
  if (!IsDateTime(order.date)) throw ApiError(400, "date must be \"YYYY-mm-dd hh:nn:ss\"");
  order.sum = Amount(given, "sum");
  order.sumDiscount = Amount(given, "sumDiscount");
  order.bonusAdd = Amount(given, "bonusAdd");
  order.bonusWriteOff = Amount(given, "bonusWriteOff");
  order.depositAdd = Amount(given, "depositAdd");
  order.depositWriteOff = Amount(given, "depositWriteOff");
  if (const Json* cart = Member(given, "cart")) {
    if (!cart->is_array()) throw ApiError(400, "cart must be an array");
    for (const Json& line : *cart) {
      if (!line.is_object()) throw ApiError(400, "Each cart line must be a JSON object");
      order.cart.push_back({TextOrInteger(line, "nid"), TextOrInteger(line, "groupId"),
                            Text(line, "groupName"), Text(line, "name"), Amount(line, "price"),
                            Amount(line, "priceWithDiscount"), Amount(line, "amount")});
    }
  }
  order.request = body;
  return order;
}

Json StoredOrderJson(const StoredOrder& stored) {
  Json cart = Json::array();
  for (const OrderLine& line : stored.order.cart) {
    cart.push_back({{"nid", line.nid},
                    {"groupId", line.groupId},
                    {"groupName", line.groupName},
                    {"name", line.name},
                    {"price", AmountJson(line.price)},
                    {"priceWithDiscount", AmountJson(line.priceWithDiscount)},
                    {"amount", AmountJson(line.amount)}});
  }
  const Order& order = stored.order;
  return {{"guid", order.guid},
          {"clientId", stored.clientId},
          {"number", order.number},
          {"date", order.date},
          {"sum", AmountJson(order.sum)},
          {"sumDiscount", AmountJson(order.sumDiscount)},
          {"bonusAdd", AmountJson(order.bonusAdd)},
          {"bonusWriteOff", AmountJson(order.bonusWriteOff)},
          {"depositAdd", AmountJson(order.depositAdd)},
          {"depositWriteOff", AmountJson(order.depositWriteOff)},
          {"bonusAccrued", AmountJson(stored.bonusAccrued)},
          {"returned", stored.returned},
          {"returnSum", AmountJson(stored.returnSum)},
          {"returnDate", stored.returnDate},
          {"cart", cart},
          {"request", order.request}};
}

// The status line and headers promise the whole answer; half of it goes out before the connection
// is dropped, as when a proxy or the network fails mid-answer.
void CutShort(Response& res) {
  auto body = std::make_shared<std::string>(std::move(res.body));
  const std::string type = res.get_header_value("Content-Type");
  res.body.clear();
  res.headers.erase("Content-Type");
  res.set_content_provider(body->size(), type, [body](std::size_t, std::size_t, httplib::DataSink& sink) {
    sink.write(body->data(), body->size() / 2);
    return false;
  });
}

}  // namespace

struct SimServer::Impl {
  Store& store;
  ServerSettings settings;
  bool tls;
  std::unique_ptr<httplib::Server> http;
  FaultInjector faults;
  std::thread thread;
  std::atomic<bool> finished{false};
  int port = -1;

  Impl(Store& s, ServerSettings given, const TlsIdentity* identity)
      : store(s), settings(std::move(given)), tls(identity != nullptr) {
    if (identity) {
      http = std::make_unique<httplib::SSLServer>(identity->certificate.get(), identity->key.get());
    } else {
      http = std::make_unique<httplib::Server>();
    }
    if (!http->is_valid()) throw std::runtime_error("the TLS server cannot use the certificate and key");
    // httplib's default adds SO_REUSEPORT, which lets a second simulator share a port already in use
    // and take half its connections. Reusing the address after TIME_WAIT is all we want.
    http->set_socket_options([](socket_t sock) {
      int yes = 1;
      setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // A receipt of ten thousand lines is close to 2 MB of JSON; leave room for large tills.
    http->set_payload_max_length(16 << 20);
    // Each answer leaves in two writes, headers and body. With Nagle's algorithm the body waits for
    // the client's delayed acknowledgement of the headers, some 40 ms per request.
    http->set_tcp_nodelay(true);
    http->set_read_timeout(10);
    http->set_write_timeout(10);
    // Every answer names the server's time, as a service's do; clients compare their clocks with it.
    http->set_post_routing_handler([offset = settings.clockOffsetSeconds](const Request&, Response& res) {
      res.set_header("Date", HttpDate(offset));
    });
    Routes();
  }

  // Every API answer goes through here: the armed fault first, then the token, then the operation,
  // whose refusals become error objects.
  httplib::Server::Handler Api(std::function<void(const Request&, Response&)> operation) {
    return [this, operation = std::move(operation)](const Request& req, Response& res) {
      const Fault fault = settings.faults ? faults.Take() : Fault();
      if (fault.mode == FaultMode::Html500) {
        res.status = 500;
        res.set_content(
            "<!DOCTYPE html>\n<html><head><title>500 Internal Server Error</title></head>"
            "<body><h1>Internal Server Error</h1><p>The server could not complete the "
            "request.</p></body></html>\n",
            "text/html; charset=utf-8");
        return;
      }
      if (fault.mode == FaultMode::NonJson200) {
        res.status = 200;
        res.set_content("Service temporarily unavailable, please try again later\n",
                        "text/plain; charset=utf-8");
        return;
      }
      if (fault.mode == FaultMode::Delay) faults.Pause(fault.delay);
      try {
        if (req.get_param_value("token") != settings.token) throw ApiError(401, "Invalid token");
        operation(req, res);
      } catch (const ApiError& error) {
        Answer(res, error.status(), ErrorBody(error.what()));
      } catch (const Refusal& refusal) {
        Answer(res, StatusFor(refusal.reason()), ErrorBody(refusal.what()));
      } catch (const std::exception& error) {
        Answer(res, 500, ErrorBody(std::string("Internal error: ") + error.what()));
      }
      if (fault.mode == FaultMode::Cut) CutShort(res);
    };
  }

  // HTTP/1.1 gives a request without Content-Length or Transfer-Encoding an empty body, while
  // httplib would read one until the client closes the connection. So every route that may carry
  // a body reads it itself, and only when the request declares one.
  static httplib::Server::HandlerWithContentReader WithDeclaredBody(httplib::Server::Handler handler) {
    return [handler = std::move(handler)](const Request& req, Response& res,
                                          const httplib::ContentReader& read) {
      if (!req.has_header("Content-Length") && !req.has_header("Transfer-Encoding")) return handler(req, res);
      Request withBody = req;
      const bool whole = read([&withBody](const char* data, std::size_t length) {
        withBody.body.append(data, length);
        return true;
      });
      // A body over the limit or cut short has its status already; the error handler answers it.
      if (whole) handler(withBody, res);
    };
  }

  void Post(const std::string& pattern, httplib::Server::Handler handler) {
    http->Post(pattern, WithDeclaredBody(std::move(handler)));
  }

  // Paths that name no route answer 404 whatever the method; those whose method may carry a body
  // are caught here so that they do not wait for one either.
  void UnknownPathsWithBodies() {
    const auto notFound = [](const Request&, Response& res) { Answer(res, 404, ErrorBody("Not found")); };
    const std::string anyPath = ".*";
    http->Post(anyPath, WithDeclaredBody(notFound));
    http->Put(anyPath, WithDeclaredBody(notFound));
    http->Patch(anyPath, WithDeclaredBody(notFound));
    http->Delete(anyPath, WithDeclaredBody(notFound));
  }

  void Routes() {
    // A server must accept a request target in absolute form ("https://host:port/api/v2/ping"), which
    // some clients send through a proxy's tunnel (Wine's WinHTTP does).
    const std::string api = std::string("(?:https?://[^/]+)?") + kApiPath;
    http->Get(api + "/clientInfo", Api([this](const Request& req, Response& res) {
                const LookupKind kind = RequireKind(req);
                const auto customer = store.FindCustomer(kind, RequireId(req));
                if (!customer) throw Refusal(Refusal::Reason::NotFound, "Клиент не найден");
                Answer(res, 200, CustomerJson(*customer));
              }));

    Post(api + "/createClients", Api([this](const Request& req, Response& res) {
           const Json body = ParseObject(req.body);
           const Json* clients = Member(body, "clients");
           if (!clients || !clients->is_array()) throw ApiError(400, "clients must be an array");
           std::vector<Customer> customers;
           for (const Json& given : *clients) customers.push_back(CustomerFromJson(given));
           const std::vector<std::string> ids = store.CreateCustomers(customers);
           Json created = Json::array();
           for (std::size_t i = 0; i < ids.size(); ++i) {
             created.push_back({{"clientId", ids[i]},
                                {"cardNumber", customers[i].cardNumber},
                                {"cardBarcode", customers[i].cardBarcode},
                                {"phone", customers[i].phone}});
           }
           Answer(res, 200, {{"clients", created}});
         }));

    Post(api + "/createOrder", Api([this](const Request& req, Response& res) {
           const LookupKind kind = RequireKind(req);
           const std::string id = RequireId(req);
           const OrderOutcome outcome = store.CreateOrder(kind, id, OrderFromJson(req.body));
           Answer(res, 200,
                  {{"guid", outcome.guid},
                   {"bonusAdd", AmountJson(outcome.bonusAdd)},
                   {"bonusWriteOff", AmountJson(outcome.bonusWriteOff)},
                   {"bonusBalance", AmountJson(outcome.bonusBalance)}});
         }));

    Post(api + "/returnOrder", Api([this](const Request& req, Response& res) {
           const Json body = ParseObject(req.body);
           const std::string date = Text(body, "date");
           if (!date.empty() && !IsDateTime(date))
             throw ApiError(400, "date must be \"YYYY-mm-dd hh:nn:ss\"");
           const ReturnOutcome outcome = store.ReturnOrder(Text(body, "guid"), Amount(body, "sum"), date);
           Answer(res, 200,
                  {{"guid", outcome.guid},
                   {"clientId", outcome.clientId},
                   {"bonusReturned", AmountJson(outcome.bonusReturned)},
                   {"bonusCancelled", AmountJson(outcome.bonusCancelled)},
                   {"bonusBalance", AmountJson(outcome.bonusBalance)}});
         }));

    http->Get(
        api + "/getTemplates", Api([](const Request&, Response& res) {
          Answer(res, 200,
                 {{"templates",
                   {{{"id", "1"}, {"name", "Бонусная карта"}}, {{"id", "2"}, {"name", "Золотая карта"}}}}});
        }));

    const auto ping = Api([](const Request&, Response& res) { Answer(res, 200, {{"result", "ok"}}); });
    http->Get(api + "/ping", ping);
    Post(api + "/ping", ping);

    if (settings.faults) ControlRoutes();
    UnknownPathsWithBodies();

    http->set_error_handler(httplib::Server::HandlerWithResponse([](const Request&, Response& res) {
      // Answers of ours, including the faults, already say what they are.
      if (!res.body.empty() || res.has_header("Content-Type"))
        return httplib::Server::HandlerResponse::Unhandled;
      Answer(res, res.status,
             ErrorBody(res.status == 404 ? "Not found" : "HTTP status " + std::to_string(res.status)));
      return httplib::Server::HandlerResponse::Handled;
    }));
    http->set_exception_handler([](const Request&, Response& res, const std::exception_ptr&) {
      Answer(res, 500, ErrorBody("Internal error"));
    });
    if (settings.log) {
      http->set_logger([log = settings.log](const Request& req, const Response& res) {
        log(req.method + " " + req.path + " " + std::to_string(res.status));
      });
    }
  }

  // Not part of the service: switches for tests, present only with fault injection enabled.
  void ControlRoutes() {
    const auto state = [this](Response& res) {
      const FaultInjector::State armed = faults.Armed();
      Answer(res, 200,
             {{"mode", FaultModeName(armed.fault.mode)},
              {"count", armed.remaining},
              {"delayMs", armed.fault.delay.count()}});
    };
    Post("/_sim/fault", [this, state](const Request& req, Response& res) {
      try {
        const Json body = ParseObject(req.body);
        const auto mode = ParseFaultMode(Text(body, "mode"));
        if (!mode) throw ApiError(400, "mode must be delay, html500, nonjson200, cut or none");
        const int count = Integer(body, "count", 1, 0, kMaxFaultCount);
        const int delay = Integer(body, "delayMs", 0, 0, kMaxFaultDelayMs);
        faults.Arm(*mode, count, std::chrono::milliseconds(delay));
        state(res);
      } catch (const ApiError& error) {
        Answer(res, error.status(), ErrorBody(error.what()));
      }
    });
    http->Get("/_sim/fault", [state](const Request&, Response& res) { state(res); });
    http->Get("/_sim/order", [this](const Request& req, Response& res) {
      const auto stored = store.FindOrder(req.get_param_value("guid"));
      if (!stored) return Answer(res, 404, ErrorBody("Order not found"));
      Answer(res, 200, StoredOrderJson(*stored));
    });
  }
};

SimServer::SimServer(Store& store, ServerSettings settings, const TlsIdentity* tls)
    : impl_(std::make_unique<Impl>(store, std::move(settings), tls)) {}

SimServer::~SimServer() {
  Stop();
}

void SimServer::Start() {
  if (impl_->thread.joinable()) throw std::logic_error("the server is already started");
  // A client hanging up while TLS writes to it raises SIGPIPE; that must end the request, not us.
  std::signal(SIGPIPE, SIG_IGN);
  const ServerSettings& settings = impl_->settings;
  if (settings.port == 0) {
    impl_->port = impl_->http->bind_to_any_port(settings.host);
  } else {
    impl_->port = impl_->http->bind_to_port(settings.host, settings.port) ? settings.port : -1;
  }
  if (impl_->port < 0) {
    throw std::runtime_error("cannot listen on " + settings.host + ":" + std::to_string(settings.port) +
                             ": " + ListenFailureReason(settings.host, settings.port));
  }
  impl_->thread = std::thread([impl = impl_.get()] {
    impl->http->listen_after_bind();
    impl->finished = true;
  });
  // stop() only takes effect once the server runs; wait for that so an early Stop() is not lost.
  while (!impl_->http->is_running() && !impl_->finished) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void SimServer::Stop() {
  impl_->faults.Shutdown();
  if (impl_->thread.joinable()) {
    impl_->http->stop();
    impl_->thread.join();
  }
}

int SimServer::Port() const {
  return impl_->port;
}

std::string SimServer::BaseUrl() const {
  const std::string& host = impl_->settings.host;
  const bool ipv6 = host.find(':') != std::string::npos;
  return std::string(impl_->tls ? "https" : "http") + "://" + (ipv6 ? "[" + host + "]" : host) + ":" +
         std::to_string(impl_->port) + kApiPath;
}

}  // namespace tallowmer::sim
