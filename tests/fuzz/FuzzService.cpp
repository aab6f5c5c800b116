// Feeds arbitrary service answers (status, content type, body) to every request of the service
// client and to the driver operations that read answers, through the transport seam, so that
// decoding, the re-writing of answers, GetResult, the customer record, the stamped date-time, the
// HTTP log and the debug log all run. The input also picks the clock and the regional time
// separator. Whatever comes back:
//   - a service-client request returns re-written JSON that reads back to itself, or raises
//     EquException or EJsonError, nothing else;
//   - a host call is dispatched (S_OK) and answers True, or False with [code, description];
//   - no log line shows the access token, unless the service's answers carried it: the token is
//     masked where it stands (the request line, the settings), and answers are logged as they came.
// The logs are written through the product's code up to the file itself, which the environment
// below keeps in memory: every execution writes dozens of lines, and a file that grows for ten
// million executions is neither fast nor useful.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <unistd.h>

#include "common/DateTime.h"
#include "common/FormatSettings.h"
#include "common/Unicode.h"
#include "common/VariantConvert.h"
#include "common/uEquipmentErrors.h"
#include "driver/uDriver.h"
#include "platform/Env.h"
#include "service/Charset.h"
#include "service/JsonWriter.h"
#include "tools/host/HostManager.h"

namespace tallowmer::fuzzing {
namespace {

constexpr const char* kToken = "fuzz-token-7Q2w9Z";

class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Empty() const { return position_ >= size_; }
  uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
  std::string Bytes(size_t count) {
    count = std::min(count, size_ - std::min(position_, size_));
    std::string bytes(reinterpret_cast<const char*>(data_ + position_), count);
    position_ += count;
    return bytes;
  }
  std::string Text() { return Bytes(Byte() % 24); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

[[noreturn]] void Fail(const char* what) {
  fprintf(stderr, "fuzz_service: %s\n", what);
  __builtin_trap();
}

// Whether this input's answers may carry the token text themselves.
bool inputHoldsToken = false;

// Every log line passes through here instead of reaching a file.
void CheckLogText(std::string_view text) {
  if (!inputHoldsToken && text.find(kToken) != std::string_view::npos)
    Fail("a log line shows the access token");
}

class MemoryAppendFile final : public platform::AppendFile {
 public:
  platform::OsResult Append(std::string_view bytes) override {
    CheckLogText(bytes);
    return platform::OsResult::Success();
  }
};

class FuzzEnv final : public platform::EnvWrapper {
 public:
  FuzzEnv() : EnvWrapper(platform::DefaultEnv()) {}

  platform::LocalTime Now() override { return clock; }
  std::string SpecialFolderPath(int) override { return root; }
  platform::OsResult AppendToLogFile(const std::string&, std::string_view text,
                                     platform::LogFileOptions) override {
    CheckLogText(text);
    if (text.size() < 2 || text.substr(text.size() - 2) != "\r\n")
      Fail("a debug-log line without its line end");
    return platform::OsResult::Success();
  }
  std::unique_ptr<platform::AppendFile> OpenLogFile(const std::string&, platform::LogFileOptions,
                                                    platform::OsResult& failure) override {
    failure = platform::OsResult::Success();
    return std::make_unique<MemoryAppendFile>();
  }
  void ShowInformation(const std::string&, const std::string&) override {}

  platform::LocalTime clock;
  std::string root;
};

// Answers each request with the next answer the input describes; outside an input (Enable's TLS
// warm-up) with an empty success.
class InputTransport final : public IHttpTransport {
 public:
  HttpAnswer Execute(HttpVerb verb, const std::string& url, std::string_view body,
                     IHttpEvents* events) noexcept override {
    HttpAnswer answer{200, "{}", "application/json", ""};
    if (reader != nullptr) {
      answer = NextAnswer(*reader);
      ++served;
      allAcceptable = allAcceptable && IsAcceptable(answer);
    }
    if (events != nullptr && answer.status >= 0) {
      events->OnConnected({});
      events->OnSent((verb == HttpVerb::Post ? "POST " : "GET ") + url + " HTTP/1.1\r\n\r\n");
      if (!body.empty()) events->OnSent(body);
      events->OnReceived(answer.body);
      events->OnDisconnected();
    }
    return answer;
  }

  // Starts an input: its answers are read from `input`.
  static void Begin(ByteReader* input) {
    reader = input;
    served = 0;
    allAcceptable = true;
  }

  static inline ByteReader* reader = nullptr;
  // Requests answered from the input, and whether every answer was a success holding a JSON
  // object (or nothing), which every operation must take.
  static inline int served = 0;
  static inline bool allAcceptable = true;

 private:
  static bool IsAcceptable(const HttpAnswer& answer) {
    if (answer.status < 200 || answer.status >= 300) return false;
    const std::string text = DecodeToUtf8(answer.body, "utf-8");
    if (text.empty()) return true;
    try {
      return ParseJson(text).is_object();
    } catch (const EJsonError&) {
      return false;
    }
  }

  static HttpAnswer NextAnswer(ByteReader& input) {
    static const int32_t kStatuses[] = {200, 201, 204, 299, 300, 302, 400, 401, 403, 404, 409, 500, 503, -1};
    static const char* const kContentTypes[] = {"application/json",
                                                "application/json; charset=utf-8",
                                                "text/html; charset=windows-1251",
                                                "text/plain; charset=koi8-r",
                                                "text/plain; charset=ISO-8859-1",
                                                "text/html; charset=\"x-unknown\"",
                                                "application/json;charset=CP1251",
                                                "text/plain; charset=",
                                                ""};
    const uint8_t statusChoice = input.Byte();
    const int32_t status = statusChoice < 2 * std::size(kStatuses)
                               ? kStatuses[statusChoice % std::size(kStatuses)]
                               : static_cast<int32_t>(input.Word() % 1000);
    const std::string contentType = kContentTypes[input.Byte() % std::size(kContentTypes)];
    std::string body = input.Bytes(input.Word() % 2048);
    if (status < 0) return HttpAnswer{-1, "", "", body};
    return HttpAnswer{status, std::move(body), contentType, ""};
  }
};

class FuzzDriver final : public TDriver {
 protected:
  std::unique_ptr<TDevice> CreateDevice() override {
    return std::make_unique<TDevice>(std::make_unique<InputTransport>());
  }
};

struct CallOutcome {
  HRESULT hr = hrOk;
  OleVariant result;
  OleVariant outData;
};

// A host call: every argument a by-reference variant, last first.
CallOutcome Call(IDispatch& object, const std::string& name, std::vector<OleVariant> variables) {
  const std::u16string wide = Utf8ToUtf16(name);
  const char16_t* names[] = {wide.c_str()};
  DispID id = kDispIdUnknown;
  object.GetIDsOfNames(names, 1, &id);
  std::vector<OleVariant> args;
  for (auto it = variables.rbegin(); it != variables.rend(); ++it)
    args.push_back(OleVariant::RefVariant(&*it));
  DispParams params{args.data(), static_cast<uint32_t>(args.size())};
  CallOutcome outcome;
  ExcepInfo exception;
  outcome.hr = object.Invoke(id, dispatchMethod, params, &outcome.result, &exception);
  if (variables.size() > 1) outcome.outData = variables[1];
  return outcome;
}

// A loyalty call must be dispatched and answer True, or False with [code, description]; when the
// service took every request it was sent, it must answer True.
void LoyaltyCall(IDispatch& driver, const std::string& name, std::vector<OleVariant> inData) {
  const CallOutcome outcome =
      Call(driver, name, {OleVariant::Vector(std::move(inData)), OleVariant(), OleVariant::Int32(0)});
  if (outcome.hr != hrOk) Fail("a loyalty call was not dispatched");
  if (VarToBool(outcome.result)) return;
  if (InputTransport::served > 0 && InputTransport::allAcceptable) {
    Fail("a call failed although the service took every request");
  }
  const SafeArray* failure = outcome.outData.ArrayValue();
  if (failure == nullptr || failure->HighBound(1) < 1) Fail("a failed call without [code, description]");
  if (VarToInt32(failure->At(0)) == kResultOk) Fail("a failed call with code 0");
  if (VarToStr(failure->At(1)).empty()) Fail("a failed call without a description");
}

// The service client's own operations: success is re-written JSON, failure one of two exceptions.
template <typename Request>
void ServiceRequest(Request request) {
  try {
    const std::string answer = request();
    if (WriteJson(ParseJson(answer)) != answer) Fail("a re-written answer does not read back to itself");
  } catch (const EquException&) {
  } catch (const EJsonError&) {
  }
}

OleVariant ReceiptTable(ByteReader& input) {
  const int32_t lines = input.Byte() % 3;
  auto table = SafeArray::Create2D({0, 7}, {0, lines});
  for (int32_t line = 0; line < lines; ++line) {
    table->At(2, line) = OleVariant::Text(input.Text());
    table->At(3, line) = OleVariant::Text(input.Text());
    table->At(4, line) = OleVariant::FromCurrency(Currency::FromUnits(input.Byte()));
    table->At(5, line) = OleVariant::Double(input.Byte() / 4.0);
    table->At(6, line) = OleVariant::FromCurrency(Currency::FromUnits(input.Word()));
  }
  return OleVariant::Array(std::move(table));
}

std::vector<TCheckItem> CheckItems(ByteReader& input) {
  std::vector<TCheckItem> items;
  for (int count = input.Byte() % 3; count > 0; --count) {
    // Braces read the input in order, as a function's arguments would not be.
    items.push_back(TCheckItem{input.Text(), input.Text(), input.Text(), input.Text(),
                               Currency::FromUnits(input.Byte()), Currency::FromUnits(input.Byte()),
                               input.Byte() / 8.0});
  }
  return items;
}

void RunOperation(uint8_t operation, ByteReader& input, FuzzDriver& driver) {
  TDevice& device = driver.Device();
  const int32_t kind = input.Byte() % 5;
  const std::string id = input.Text();
  switch (operation % 12) {
    case 0:
      return ServiceRequest([&] { return device.ClientInfo(kind, id); });
    case 1:
      return ServiceRequest([&] {
        const std::string lastName = input.Text();
        const std::string firstName = input.Text();
        return device.CreateClient(lastName, firstName, "", kind, id);
      });
    case 2:
      return ServiceRequest([&] {
        std::string stamped;
        const std::vector<TCheckItem> items = CheckItems(input);
        const std::string orderId = input.Text();
        const Currency writeOff = Currency::FromUnits(input.Byte());
        return device.CreateOrder(kind, id, items, orderId, "N-1", writeOff, stamped,
                                  Currency::FromUnits(100), Currency::FromUnits(90));
      });
    case 3:
      return ServiceRequest([&] { return device.ReturnOrder(id, "2024-01-31 10:20:30", Currency{}); });
    case 4:
      return ServiceRequest([&] { return device.GetTemplates(); });
    case 5:
      return ServiceRequest([&] { return device.Ping(); });
    case 6:
      return LoyaltyCall(driver, "GetCustomerData",
                         {OleVariant::Text(id), OleVariant::Int32(kind), OleVariant::Int32(0)});
    case 7:
      return LoyaltyCall(driver, "CreateOrder",
                         {OleVariant(), OleVariant::Text(id), OleVariant::Int32(kind)});
    case 8: {
      OleVariant receipt = ReceiptTable(input);
      return LoyaltyCall(driver, "CloseOrder",
                         {OleVariant::Text("0f8fad5b-d9cb-469f-a165-70867728950e"), std::move(receipt),
                          OleVariant::FromCurrency(Currency::FromUnits(input.Byte())), OleVariant::Int32(0),
                          OleVariant::Text(id), OleVariant::Int32(kind), OleVariant::Int32(0),
                          OleVariant::Text(""), OleVariant(), OleVariant(), OleVariant::Text("N-1")});
    }
    case 9:
      return LoyaltyCall(
          driver, "CloseOrder",
          {OleVariant(), OleVariant(), OleVariant::Int32(0), OleVariant::Int32(0), OleVariant::Text(id),
           OleVariant::Int32(kind), OleVariant::Int32(1),
           OleVariant::Text("0f8fad5b-d9cb-469f-a165-70867728950e"), OleVariant::Date(45322.5)});
    case 10:
      return LoyaltyCall(driver, "CancelOrder",
                         {OleVariant::Text(id), OleVariant::Date(45322.5 + input.Byte()),
                          OleVariant::Text(""), OleVariant::Int32(0), OleVariant::Text("")});
    default: {
      std::string description;
      driver.DeviceTest(description);
      return;
    }
  }
}

// The clock and the regional time separator, both of which the stamped date-time depends on.
void ChooseTime(ByteReader& input, FuzzEnv& env) {
  static const char* const kTimeSeparators[] = {":", ".", "-", " ", "h"};
  const uint8_t day = input.Byte();
  const uint8_t second = input.Byte();
  env.clock = platform::LocalTime{2000 + day % 100, 1 + day % 12,      1 + day % 28,     second % 24,
                                  second % 60,      (second * 7) % 60, (day * 37) % 1000};
  DefaultFormatSettings().timeSeparator = kTimeSeparators[input.Byte() % std::size(kTimeSeparators)];
}

// One driver for the whole run, enabled with the debug log on, as a host keeps it between calls:
// each request overwrites what the previous one left in the service client.
struct Harness {
  Harness() {
    root = (std::filesystem::temp_directory_path() / ("ls_tallowmer_fuzz_" + std::to_string(::getpid())))
               .string();
    env.root = root;
    platform::Env::SetForTesting(&env);
    auto* object = new FuzzDriver;
    object->Initialize();
    driverRef = DispatchPtr::Attach(object);
    driver = object;
    manager = host::HostManager::Create({root + "/devices", root + "/models", "ru"}, quiet);
    Call(*driver, "Init", {OleVariant::Dispatch(manager), OleVariant()});
    Call(*driver, "Open", {OleVariant::Text("1"), OleVariant()});
    // The device folder exists, so the debug log goes there instead of resolving the default
    // folder for every line.
    std::filesystem::create_directories(root + "/devices/1");
    driver->SetSettingValue("Host", OleVariant::Text("https://svc.test/api/v2"));
    driver->SetSettingValue("Token", OleVariant::Text(kToken));
    driver->SetSettingValue("DebugLogEnabled", OleVariant::Boolean(true));
    if (!VarToBool(Call(*driver, "Enable", {OleVariant(), OleVariant(), OleVariant::Int32(0)}).result)) {
      Fail("the driver does not enable");
    }
  }
  ~Harness() {
    driverRef = DispatchPtr();
    platform::Env::SetForTesting(nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }

  FuzzEnv env;
  std::string root;
  std::ostream quiet{nullptr};
  DispatchPtr manager;
  DispatchPtr driverRef;
  FuzzDriver* driver = nullptr;
};

}  // namespace

void RunOne(const uint8_t* data, size_t size) {
  static Harness harness;
  ByteReader input(data, size);
  ChooseTime(input, harness.env);
  InputTransport::Begin(&input);
  const uint8_t operation = input.Byte();
  RunOperation(operation, input, *harness.driver);
  InputTransport::Begin(nullptr);
}

}  // namespace tallowmer::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tallowmer::fuzzing::inputHoldsToken =
      std::string_view(reinterpret_cast<const char*>(data), size).find(tallowmer::fuzzing::kToken) !=
      std::string_view::npos;
  tallowmer::fuzzing::RunOne(data, size);
  return 0;
}
