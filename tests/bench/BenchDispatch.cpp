// Cost of one host call through the dispatch interface: name lookup plus Invoke of a public
// method with three by-reference arguments, with the debug log off and on.

#include <benchmark/benchmark.h>

#include "core/uCOMSupport.h"
#include "tests/support/TestEnv.h"

namespace tallowmer {
namespace {

class BenchObject : public TBaseObject {
 public:
  void Initialize() override {
    TBaseObject::Initialize();
    for (const char* name : {"Init", "Open", "Close", "ShowSettingsDlg", "GetDeviceInfo", "Enable", "Disable",
                             "GetSettings", "SetSettings", "CheckHealth"}) {
      AddPublicMethod(name, [](OleVariant&, OleVariant&, int32_t, std::string&) { return 0; });
    }
    AddPublicMethod("GetCustomerData", [](OleVariant& inData, OleVariant& outData, int32_t, std::string&) {
      outData = inData;
      return 0;
    });
  }
  void SetLogDir(const std::string& folder) { FDebugLogDir = folder; }
};

void CallPublicMethod(benchmark::State& state, bool debugLog) {
  testing::TestEnv env;
  auto* object = new BenchObject;
  object->Initialize();
  const DispatchPtr holder = DispatchPtr::Attach(object);
  object->SetLogDir(env.Root());
  object->SetDebugLogEnabled(debugLog);

  OleVariant inData = OleVariant::Text("79001234567");
  OleVariant outData;
  OleVariant timeOut = OleVariant::Int32(0);
  const std::u16string name = u"GetCustomerData";
  const char16_t* names[] = {name.c_str()};
  for (auto _ : state) {
    DispID id = 0;
    object->GetIDsOfNames(names, 1, &id);
    OleVariant args[] = {OleVariant::RefVariant(&timeOut), OleVariant::RefVariant(&outData),
                         OleVariant::RefVariant(&inData)};
    DispParams params{args, 3};
    OleVariant result;
    benchmark::DoNotOptimize(object->Invoke(id, dispatchMethod, params, &result, nullptr));
  }
}

void BM_DispatchPublicCall_LogOff(benchmark::State& state) {
  CallPublicMethod(state, false);
}
void BM_DispatchPublicCall_LogOn(benchmark::State& state) {
  CallPublicMethod(state, true);
}

BENCHMARK(BM_DispatchPublicCall_LogOff);
BENCHMARK(BM_DispatchPublicCall_LogOn);

}  // namespace
}  // namespace tallowmer

BENCHMARK_MAIN();
