// Two driver objects of one host on two threads, each in its own apartment, each making thousands
// of calls with the debug log on against the service simulator. Both write the same daily debug
// log; no call may fail for it. Usage: two_threads_client PROGID BASE_URL TOKEN DEVICES_FOLDER CALLS

#include "ComClient.h"

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

namespace {

using com_client::ByRef;
using com_client::Int4;
using com_client::Ref;
using com_client::Text;
using com_client::Variant;

// The host's equipment manager, as far as the driver asks it: the devices folder.
class Manager final : public IDispatch {
 public:
  explicit Manager(std::wstring devicesFolder) : devicesFolder_(std::move(devicesFolder)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* ids) override {
    const bool known = _wcsicmp(names[0], L"GetAppProperty") == 0;
    ids[0] = known ? 1 : DISPID_UNKNOWN;
    return known ? S_OK : DISP_E_UNKNOWNNAME;
  }
  // GetAppProperty(DeviceID, Name, Value): Value is the third argument, by reference.
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO*, UINT*) override {
    if (id != 1 || params == nullptr || params->cArgs != 3) return DISP_E_MEMBERNOTFOUND;
    VARIANT* name = &params->rgvarg[1];
    while (name->vt == (VT_BYREF | VT_VARIANT)) name = name->pvarVal;
    VARIANT* value = &params->rgvarg[0];
    while (value->vt == (VT_BYREF | VT_VARIANT)) value = value->pvarVal;
    const bool known = name->vt == VT_BSTR && _wcsicmp(name->bstrVal, L"DevicesFolder") == 0;
    if (known) {
      ::VariantClear(value);
      *value = Text(devicesFolder_);
    }
    if (result != nullptr) {
      ::VariantInit(result);
      result->vt = VT_BOOL;
      result->boolVal = known ? VARIANT_TRUE : VARIANT_FALSE;
    }
    return S_OK;
  }

 private:
  std::wstring devicesFolder_;
  ULONG references_ = 1;
};

struct Settings {
  std::wstring progId;
  std::wstring baseUrl;
  std::wstring token;
  std::wstring devicesFolder;
  int calls = 0;
};

// Calls by name, every argument passed as a by-reference variant as script hosts do.
HRESULT Call(IDispatch* driver, const wchar_t* name, std::vector<VARIANT*> variables, VARIANT* result) {
  DISPID id = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = driver->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  std::vector<VARIANT> args;
  for (auto it = variables.rbegin(); it != variables.rend(); ++it) args.push_back(ByRef(*it));
  DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
  EXCEPINFO exception{};
  hr = driver->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &params,
                      result, &exception, nullptr);
  com_client::ClearException(exception);
  return hr;
}

// A public method with InData, OutData and a time-out of 0; true when it answered True.
bool PublicCall(IDispatch* driver, const wchar_t* name, VARIANT inData, std::wstring& failure) {
  Variant in;
  in.value = inData;
  Variant out;
  Variant timeOut;
  timeOut.value = Int4(0);
  Variant result;
  const HRESULT hr = Call(driver, name, {&in.value, &out.value, &timeOut.value}, &result.value);
  if (hr == S_OK && result.value.vt == VT_BOOL && result.value.boolVal == VARIANT_TRUE) return true;
  failure = std::wstring(name) + L": HRESULT " + std::to_wstring(static_cast<unsigned long>(hr));
  if (out.value.vt == (VT_ARRAY | VT_VARIANT)) {
    VARIANT* elements = nullptr;
    if (SUCCEEDED(::SafeArrayAccessData(out.value.parray, reinterpret_cast<void**>(&elements)))) {
      Variant code;
      Variant text;
      if (SUCCEEDED(::VariantChangeType(&code.value, &elements[0], 0, VT_BSTR)) &&
          SUCCEEDED(::VariantChangeType(&text.value, &elements[1], 0, VT_BSTR))) {
        failure += L", " + std::wstring(code.value.bstrVal) + L" " + text.value.bstrVal;
      }
      ::SafeArrayUnaccessData(out.value.parray);
    }
  }
  return false;
}

// InData of SetSettings: an array holding one table [row, column], IDs in row 0, values in row 1.
VARIANT SettingsTable(const Settings& settings) {
  const wchar_t* ids[] = {L"Host", L"Token", L"DebugLogEnabled"};
  SAFEARRAYBOUND bounds[2] = {{7, 0}, {3, 0}};
  SAFEARRAY* table = ::SafeArrayCreate(VT_VARIANT, 2, bounds);
  for (LONG column = 0; column < 3; ++column) {
    LONG idIndex[2] = {0, column};
    Variant id;
    id.value = Text(ids[column]);
    ::SafeArrayPutElement(table, idIndex, &id.value);
    LONG valueIndex[2] = {1, column};
    Variant value;
    if (column == 0) value.value = Text(settings.baseUrl);
    if (column == 1) value.value = Text(settings.token);
    if (column == 2) {
      value.value.vt = VT_BOOL;
      value.value.boolVal = VARIANT_TRUE;
    }
    ::SafeArrayPutElement(table, valueIndex, &value.value);
  }
  SAFEARRAYBOUND outer{1, 0};
  SAFEARRAY* holder = ::SafeArrayCreate(VT_VARIANT, 1, &outer);
  LONG first = 0;
  VARIANT element;
  ::VariantInit(&element);
  element.vt = VT_ARRAY | VT_VARIANT;
  element.parray = table;
  ::SafeArrayPutElement(holder, &first, &element);
  ::SafeArrayDestroy(table);
  VARIANT inData;
  ::VariantInit(&inData);
  inData.vt = VT_ARRAY | VT_VARIANT;
  inData.parray = holder;
  return inData;
}

VARIANT Lookup() {
  SAFEARRAYBOUND bounds{3, 0};
  SAFEARRAY* array = ::SafeArrayCreate(VT_VARIANT, 1, &bounds);
  VARIANT values[3] = {Text(L"79001234567"), Int4(0), Int4(0)};
  for (LONG i = 0; i < 3; ++i) {
    ::SafeArrayPutElement(array, &i, &values[i]);
    ::VariantClear(&values[i]);
  }
  VARIANT inData;
  ::VariantInit(&inData);
  inData.vt = VT_ARRAY | VT_VARIANT;
  inData.parray = array;
  return inData;
}

// Both apartments are up before either thread creates its object, as in a host, whose threads run
// COM long before a driver is loaded. Under Wine 8 a thread entering CoInitializeEx while another
// loads the module through CoCreateInstance hangs the process.
class ApartmentsReady {
 public:
  void ArriveAndWait() {
    ++arrived_;
    while (arrived_ < 2) ::Sleep(1);
  }

 private:
  std::atomic<int> arrived_{0};
};

struct Outcome {
  int made = 0;
  int failed = 0;
  std::wstring firstFailure;
};

// One host thread: its own apartment, its own driver and manager, then the calls.
void RunHost(const Settings& settings, ApartmentsReady& apartments, Outcome& outcome) {
  const HRESULT initialized = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  apartments.ArriveAndWait();
  if (FAILED(initialized)) {
    outcome.failed = 1;
    outcome.firstFailure = L"CoInitializeEx";
    return;
  }
  {
    const auto fail = [&](const std::wstring& what) {
      if (outcome.failed++ == 0) outcome.firstFailure = what;
    };
    CLSID clsid{};
    Ref<IDispatch> driver;
    if (FAILED(::CLSIDFromProgID(settings.progId.c_str(), &clsid)) ||
        FAILED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                  reinterpret_cast<void**>(driver.put())))) {
      fail(L"the driver cannot be created");
    } else {
      Variant manager;
      manager.value.vt = VT_DISPATCH;
      manager.value.pdispVal = new Manager(settings.devicesFolder);
      Variant description;
      Variant result;
      Call(driver.get(), L"Init", {&manager.value, &description.value}, &result.value);
      Variant deviceId;
      deviceId.value = Text(L"1");
      Variant opened;
      Call(driver.get(), L"Open", {&deviceId.value, &description.value}, &opened.value);
      std::wstring failure;
      if (!PublicCall(driver.get(), L"SetSettings", SettingsTable(settings), failure) ||
          !PublicCall(driver.get(), L"Enable", VARIANT{}, failure)) {
        fail(failure);
      } else {
        for (int i = 0; i < settings.calls; ++i) {
          ++outcome.made;
          // Lookups that travel to the service, and calls that only write their trace.
          const bool ok = i % 2 == 0 ? PublicCall(driver.get(), L"GetCustomerData", Lookup(), failure)
                                     : PublicCall(driver.get(), L"GetDeviceInfo", VARIANT{}, failure);
          if (!ok) fail(failure);
        }
        if (!PublicCall(driver.get(), L"Disable", VARIANT{}, failure)) fail(failure);
      }
      Variant closed;
      Call(driver.get(), L"Close", {}, &closed.value);
    }
  }
  ::CoUninitialize();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 6) {
    std::fwprintf(stderr, L"usage: two_threads_client PROGID BASE_URL TOKEN DEVICES_FOLDER CALLS\n");
    return 2;
  }
  const Settings settings{argv[1], argv[2], argv[3], argv[4], _wtoi(argv[5])};
  Outcome outcomes[2];
  const DWORD start = ::GetTickCount();
  ApartmentsReady apartments;
  std::thread first(RunHost, std::cref(settings), std::ref(apartments), std::ref(outcomes[0]));
  std::thread second(RunHost, std::cref(settings), std::ref(apartments), std::ref(outcomes[1]));
  first.join();
  second.join();
  int failed = 0;
  for (const Outcome& outcome : outcomes) {
    std::wprintf(L"%d calls, %d failed%ls%ls\n", outcome.made, outcome.failed,
                 outcome.failed != 0 ? L"; first: " : L"", outcome.firstFailure.c_str());
    failed += outcome.failed;
  }
  std::wprintf(L"%lu ms\n", static_cast<unsigned long>(::GetTickCount() - start));
  return failed == 0 && outcomes[0].made == settings.calls && outcomes[1].made == settings.calls ? 0 : 1;
}
