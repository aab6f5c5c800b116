// CloseOrder with 1, 100 and 10,000 receipt lines through dispatch against the simulator. Besides
// the whole call it reports the driver's own time: the call minus the time spent inside the
// transport (the wire and the simulator), which should grow linearly with the lines.

#include <benchmark/benchmark.h>

#include <chrono>

#include "common/VariantConvert.h"
#include "driver/uDriver.h"
#include "service/HttpTransport.h"
#include "tests/device/DeviceTestSupport.h"
#include "tests/support/Simulator.h"
#include "tests/support/TestEnv.h"

namespace tallowmer {
namespace {

using Clock = std::chrono::steady_clock;

Clock::duration transportTime{};

class TimedTransport final : public IHttpTransport {
 public:
  explicit TimedTransport(std::unique_ptr<IHttpTransport> inner) : inner_(std::move(inner)) {}
  HttpAnswer Execute(HttpVerb verb, const std::string& url, std::string_view body,
                     IHttpEvents* events) noexcept override {
    const auto start = Clock::now();
    HttpAnswer answer = inner_->Execute(verb, url, body, events);
    transportTime += Clock::now() - start;
    return answer;
  }

 private:
  std::unique_ptr<IHttpTransport> inner_;
};

class TimedDriver : public TDriver {
 protected:
  std::unique_ptr<TDevice> CreateDevice() override {
    return std::make_unique<TDevice>(std::make_unique<TimedTransport>(CreateDefaultTransport()));
  }
};

OleVariant Receipt(int32_t lines) {
  auto table = SafeArray::Create2D({0, 7}, {0, lines});
  for (int32_t r = 0; r < lines; ++r) {
    table->At(2, r) = OleVariant::Text("46" + std::to_string(1000 + r));
    table->At(3, r) = OleVariant::Text("Товар номер " + std::to_string(r));
    table->At(4, r) = OleVariant::FromCurrency(Currency{10000});
    table->At(5, r) = OleVariant::Double(3);
    table->At(6, r) = OleVariant::FromCurrency(Currency{1000000});
  }
  return OleVariant::Array(std::move(table));
}

void BM_CloseOrder(benchmark::State& state) {
  testing::TestEnv env;
  testing::Simulator simulator(LS_SIMULATOR_PATH,
                               testing::Simulator::Options{true, false, "bench-token-0001"});
  testing::Held<TimedDriver> driver;
  driver.Manager().properties["DevicesFolder"] = env.Root() + "devices";
  driver->SetSettingValue("Host", OleVariant::Text(simulator.BaseUrl()));
  driver->SetSettingValue("Token", OleVariant::Text(simulator.Token()));
  driver.InitAndOpen("1");
  OleVariant outData;
  testing::PublicCall(*driver, "Enable", OleVariant(), outData);
  const OleVariant receipt = Receipt(static_cast<int32_t>(state.range(0)));
  const DispID closeOrderId = driver->FindMethodID("CloseOrder");

  Clock::duration total{};
  Clock::duration inTransport{};
  for (auto _ : state) {
    state.PauseTiming();
    testing::PublicCall(
        *driver, "CreateOrder",
        OleVariant::Vector({OleVariant(), OleVariant::Text("79001234567"), OleVariant::Int32(0)}), outData);
    const OleVariant orderId = outData.ArrayValue()->At(0);
    // The host's variables, prepared before the clock starts: building them is the host's work.
    OleVariant inData = OleVariant::Vector({orderId, receipt, OleVariant::Int32(0), OleVariant::Int32(0),
                                            OleVariant::Text("79001234567"), OleVariant::Int32(0),
                                            OleVariant::Int32(0), OleVariant::Text("")});
    OleVariant closeOutData;
    OleVariant timeOut = OleVariant::Int32(0);
    OleVariant args[] = {OleVariant::RefVariant(&timeOut), OleVariant::RefVariant(&closeOutData),
                         OleVariant::RefVariant(&inData)};
    DispParams params{args, 3};
    OleVariant result;
    transportTime = {};
    state.ResumeTiming();
    const auto start = Clock::now();
    driver->Invoke(closeOrderId, dispatchMethod, params, &result, nullptr);
    total += Clock::now() - start;
    inTransport += transportTime;
    if (!VarToBool(result)) state.SkipWithError(VarToLogStr(closeOutData).c_str());
  }
  const double iterations = static_cast<double>(state.iterations());
  state.counters["driver_ms"] =
      std::chrono::duration<double, std::milli>(total - inTransport).count() / iterations;
  state.counters["transport_ms"] =
      std::chrono::duration<double, std::milli>(inTransport).count() / iterations;
}

BENCHMARK(BM_CloseOrder)->Arg(1)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tallowmer

BENCHMARK_MAIN();
