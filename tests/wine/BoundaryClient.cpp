// A late-bound client with the argument forms script hosts never build: arrays that refer back to
// themselves or nest without end, unsigned values of 2^31 and more, arrays without a stored element
// type, locked arrays, values the driver cannot hold, and the error object of the thread; the
// cases of BoundaryWriteBack.cpp and BoundaryModule.cpp besides.
//
// Usage: boundary_client CASE [TOKEN_CALLS], CASE being a case's name or "every", TOKEN_CALLS the
// token case's number of calls (1000, at least 200). The Wine scenario starts a process for each
// case, so that one that takes the process down fails alone; "every" runs them all in this one
// process, for a look by hand, and a case that takes it down takes the cases after it along.
// Prints one line per check and "N passed, M failed".

#include "BoundaryClient.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

namespace boundary {
namespace {

// Element 0 of the array refers back to the variable that holds the array.
void SelfReference(IDispatch* object) {
  SAFEARRAY* array = Vector(VT_VARIANT, 1);
  VARIANT holder = ArrayOf(array);
  LONG first = 0;
  VARIANT back = ByRef(&holder);
  ::SafeArrayPutElement(array, &first, &back);
  Variant outData;
  const Answer answer = DeviceInfo(object, ByRef(&holder), ByRef(&outData.value));
  Check(
      IsBadInput(answer, L"ссылку на самого себя") && holder.parray == array && outData.value.vt == VT_EMPTY,
      "an array whose element refers back to its own variable: the bad-input exception, nothing written");
  ::SafeArrayDestroy(array);
}

// Arrays nested `levels` deep, each level an array of one element that refers to the variable of
// the next: the client itself then never recurses to build or free them.
class NestedArrays {
 public:
  explicit NestedArrays(size_t levels) : holders_(levels) {
    for (size_t i = 0; i < levels; ++i) holders_[i] = ArrayOf(Vector(VT_VARIANT, 1));
    for (size_t i = 0; i + 1 < levels; ++i) {
      LONG first = 0;
      VARIANT next = ByRef(&holders_[i + 1]);
      ::SafeArrayPutElement(holders_[i].parray, &first, &next);
    }
  }
  NestedArrays(const NestedArrays&) = delete;
  NestedArrays& operator=(const NestedArrays&) = delete;
  ~NestedArrays() {
    for (VARIANT& holder : holders_) ::SafeArrayDestroy(holder.parray);
  }
  VARIANT* Outer() { return &holders_[0]; }

 private:
  std::vector<VARIANT> holders_;
};

void DeepNesting(IDispatch* object) {
  struct Case {
    size_t levels;
    bool refused;
    const char* what;
  };
  const Case cases[] = {
      {64, false, "arrays nested 64 levels deep are read"},
      {65, true, "arrays nested 65 levels deep: the bad-input exception"},
      {200000, true, "arrays nested 200000 levels deep: the bad-input exception, the process alive"},
  };
  for (const Case& c : cases) {
    NestedArrays arrays(c.levels);
    SAFEARRAY* before = arrays.Outer()->parray;
    Variant outData;
    const Answer answer = DeviceInfo(object, ByRef(arrays.Outer()), ByRef(&outData.value));
    const bool ok = c.refused ? IsBadInput(answer, L"глубже 64 уровней") && outData.value.vt == VT_EMPTY &&
                                    arrays.Outer()->parray == before
                              : answer.hr == S_OK && answer.result && IsDeviceInformation(outData.value);
    Check(ok, c.what);
  }
}

// One array of 1000 elements, each referring to the same variable with another array of 1001:
// no loop, yet over a million elements to read.
void ManyElements(IDispatch* object) {
  VARIANT inner = ArrayOf(Vector(VT_VARIANT, 1001));
  SAFEARRAY* outer = Vector(VT_VARIANT, 1000);
  for (LONG i = 0; i < 1000; ++i) {
    VARIANT link = ByRef(&inner);
    ::SafeArrayPutElement(outer, &i, &link);
  }
  VARIANT holder = ArrayOf(outer);
  Variant outData;
  const Answer answer = DeviceInfo(object, ByRef(&holder), ByRef(&outData.value));
  Check(IsBadInput(answer, L"больше 1000000") && outData.value.vt == VT_EMPTY,
        "a million elements reached through shared references: the bad-input exception");
  ::SafeArrayDestroy(outer);
  ::SafeArrayDestroy(inner.parray);
}

void UnsignedValues(IDispatch* object) {
  {
    ULONG value = 0xFFFFFFF0u;
    Variant outData;
    const Answer answer = DeviceInfo(object, ScalarRef(VT_UI4, &value), ByRef(&outData.value));
    Check(answer.hr == S_OK && answer.result && value == 0xFFFFFFF0u && IsDeviceInformation(outData.value),
          "a by-reference UI4 0xFFFFFFF0 as InData: True, the device information, the value as it was");
  }
  {
    VARIANT variable;
    ::VariantInit(&variable);
    variable.vt = VT_UI4;
    variable.ulVal = 0x80000000u;
    Variant inData;
    Variant outData;
    const Answer answer = DeviceInfo(object, ByRef(&inData.value), ByRef(&outData.value), {ByRef(&variable)});
    Check(answer.hr == S_OK && variable.vt == VT_UI4 && variable.ulVal == 0x80000000u,
          "a variable holding UI4 0x80000000 comes back a UI4 of the same value");
  }
  {
    SAFEARRAY* numbers = Vector(VT_UI4, 2);
    ULONG values[] = {0x80000000u, 0xFFFFFFFFu};
    for (LONG i = 0; i < 2; ++i) ::SafeArrayPutElement(numbers, &i, &values[i]);
    VARIANT reference;
    ::VariantInit(&reference);
    reference.vt = VT_BYREF | VT_ARRAY | VT_UI4;
    reference.pparray = &numbers;
    Variant outData;
    const Answer answer = DeviceInfo(object, reference, ByRef(&outData.value));
    ULONG last = 0;
    LONG index = 1;
    ::SafeArrayGetElement(numbers, &index, &last);
    VARTYPE type = VT_EMPTY;
    ::SafeArrayGetVartype(numbers, &type);
    Check(answer.hr == S_OK && type == VT_UI4 && last == 0xFFFFFFFFu,
          "a by-reference UI4 array holding 2^31 and 2^32-1 comes back as it was");
    ::SafeArrayDestroy(numbers);
  }
  {
    VARIANT timeOut;
    ::VariantInit(&timeOut);
    timeOut.vt = VT_I4;
    timeOut.lVal = 999;
    VARIANT holder = ArrayOf(SettingsTable(L"DefaultTimeOut", timeOut));
    ULONG big = 0x80000000u;
    Variant outData;
    const Answer answer =
        Run(object, kSetSettings, {ByRef(&holder), ByRef(&outData.value), Int4(0), ScalarRef(VT_UI4, &big)});
    Variant stored;
    const bool read = SettingValue(object, L"DefaultTimeOut", &stored.value);
    Check(answer.hr == S_OK && answer.result && big == 0x80000000u && read && stored.value.vt == VT_I4 &&
              stored.value.lVal == 999,
          "SetSettings with a by-reference UI4 0x80000000 after the table: True, the setting stored");
    ::VariantClear(&holder);
  }
}

void ArraysWithoutVartype(IDispatch* object) {
  {
    SAFEARRAY* array = ArrayWithoutVartype(FADF_VARIANT, sizeof(VARIANT), 2);
    LONG index = 0;
    Variant kept;
    kept.value = Text(L"kept");
    ::SafeArrayPutElement(array, &index, &kept.value);
    index = 1;
    VARIANT number = Int4(42);
    ::SafeArrayPutElement(array, &index, &number);
    VARIANT holder = ArrayOf(array);
    Variant outData;
    const Answer answer = DeviceInfo(object, ByRef(&holder), ByRef(&outData.value));
    Variant first;
    Variant second;
    index = 0;
    bool elements = holder.vt == (VT_ARRAY | VT_VARIANT) &&
                    SUCCEEDED(::SafeArrayGetElement(holder.parray, &index, &first.value));
    index = 1;
    elements = elements && SUCCEEDED(::SafeArrayGetElement(holder.parray, &index, &second.value));
    Check(answer.hr == S_OK && elements && first.value.vt == VT_BSTR &&
              std::wcscmp(first.value.bstrVal, L"kept") == 0 && second.value.vt == VT_I4 &&
              second.value.lVal == 42,
          "a FADF_VARIANT array without a stored type as InData comes back {\"kept\", 42}");
    ::VariantClear(&holder);
  }
  {
    SAFEARRAY* texts = ArrayWithoutVartype(FADF_BSTR, sizeof(BSTR), 1);
    LONG index = 0;
    BSTR text = ::SysAllocString(L"строка");
    ::SafeArrayPutElement(texts, &index, text);
    ::SysFreeString(text);
    VARIANT holder = ArrayOf(texts, VT_BSTR);
    Variant outData;
    const Answer answer = DeviceInfo(object, ByRef(&holder), ByRef(&outData.value));
    Variant first;
    const bool read = holder.vt == (VT_ARRAY | VT_VARIANT) &&
                      SUCCEEDED(::SafeArrayGetElement(holder.parray, &index, &first.value));
    Check(answer.hr == S_OK && read && first.value.vt == VT_BSTR &&
              std::wcscmp(first.value.bstrVal, L"строка") == 0,
          "a FADF_BSTR array without a stored type is read as texts");
    ::VariantClear(&holder);
  }
  {
    // The table and the array that holds it, both without a stored type.
    SAFEARRAY* table = nullptr;
    ::SafeArrayAllocDescriptor(2, &table);
    table->fFeatures = FADF_VARIANT;
    table->cbElements = sizeof(VARIANT);
    table->rgsabound[0] = {1, 0};  // columns (the last dimension comes first)
    table->rgsabound[1] = {2, 0};  // rows
    ::SafeArrayAllocData(table);
    LONG idIndex[] = {0, 0};
    LONG valueIndex[] = {1, 0};
    Variant name;
    name.value = Text(L"DefaultTimeOut");
    VARIANT value = Int4(777);
    ::SafeArrayPutElement(table, idIndex, &name.value);
    ::SafeArrayPutElement(table, valueIndex, &value);
    SAFEARRAY* outer = ArrayWithoutVartype(FADF_VARIANT, sizeof(VARIANT), 1);
    LONG first = 0;
    VARIANT tableVariant = ArrayOf(table);
    ::SafeArrayPutElement(outer, &first, &tableVariant);
    ::SafeArrayDestroy(table);
    VARIANT holder = ArrayOf(outer);
    Variant outData;
    const Answer answer = Run(object, kSetSettings, {ByRef(&holder), ByRef(&outData.value), Int4(0)});
    Variant stored;
    const bool read = SettingValue(object, L"DefaultTimeOut", &stored.value);
    Check(answer.hr == S_OK && answer.result && read && stored.value.vt == VT_I4 && stored.value.lVal == 777,
          "SetSettings takes a table in arrays without a stored type");
    ::VariantClear(&holder);
  }
}

void LockedArrays(IDispatch* object) {
  {
    SAFEARRAY* array = Vector(VT_VARIANT, 3);
    ::SafeArrayLock(array);
    VARIANT holder = ArrayOf(array);
    Variant inData;
    const Answer answer = DeviceInfo(object, ByRef(&inData.value), ByRef(&holder));
    Check(IsRefusedArgument(answer, 2, L"массив заблокирован вызывающей программой") &&
              holder.vt == (VT_ARRAY | VT_VARIANT) && holder.parray == array && array->cLocks == 1,
          "a variable holding a locked array as OutData: the 1004 refusal, the variable as passed");
    ::SafeArrayUnlock(array);
    ::SafeArrayDestroy(array);
  }
  {
    SAFEARRAY* array = Vector(VT_VARIANT, 3);
    ::SafeArrayLock(array);
    SAFEARRAY* before = array;
    VARIANT reference;
    ::VariantInit(&reference);
    reference.vt = VT_BYREF | VT_ARRAY | VT_VARIANT;
    reference.pparray = &array;
    Variant inData;
    const Answer answer = DeviceInfo(object, ByRef(&inData.value), reference);
    Check(IsRefusedArgument(answer, 2, kKeptArrayReason) && array == before && UpperBound(array) == 2,
          "a typed reference to a locked array as OutData: the 1004 refusal, the array kept");
    ::SafeArrayUnlock(array);
    ::SafeArrayDestroy(array);
  }
}

void AllOrNothing(IDispatch* object) {
  PlainObject plain;
  SAFEARRAY* fixed = Vector(VT_VARIANT, 3);
  fixed->fFeatures |= FADF_FIXEDSIZE;
  VARIANT fixedRef;
  ::VariantInit(&fixedRef);
  fixedRef.vt = VT_BYREF | VT_ARRAY | VT_VARIANT;
  fixedRef.pparray = &fixed;
  VARIANT small;
  ::VariantInit(&small);
  small.vt = VT_I2;
  VARIANT unknown;
  ::VariantInit(&unknown);
  unknown.vt = VT_UNKNOWN;
  unknown.punkVal = &plain;
  Variant inData;
  const Answer answer = DeviceInfo(object, inData.value, fixedRef, {ByRef(&small), ByRef(&unknown)});
  Check(IsRefusedArgument(answer, 2, kKeptArrayReason) && small.vt == VT_I2 && unknown.vt == VT_UNKNOWN &&
            unknown.punkVal == &plain && plain.references == 1,
        "a refused write-back leaves every argument as passed: the I2 stays I2, the object stays");
  fixed->fFeatures &= static_cast<USHORT>(~FADF_FIXEDSIZE);
  ::SafeArrayDestroy(fixed);
}

// Values the driver cannot hold exactly, passed as InData and left alone by GetDeviceInfo, come
// back as the host passed them: the same bytes in the variable.
void ValuesKept(IDispatch* object) {
  PlainObject plain;
  struct Case {
    const char* what;
    std::function<void(VARIANT&)> fill;
  };
  const Case cases[] = {{"an UNKNOWN without a dispatch face",
                         [&](VARIANT& v) {
                           v.vt = VT_UNKNOWN;
                           v.punkVal = &plain;
                           plain.AddRef();
                         }},
                        {"a DECIMAL",
                         [](VARIANT& v) {
                           ::VarDecFromR8(12.345, &v.decVal);
                           v.vt = VT_DECIMAL;
                         }},
                        {"a string of odd byte length",
                         [](VARIANT& v) {
                           v.vt = VT_BSTR;
                           v.bstrVal = ::SysAllocStringByteLen("abc", 3);
                         }},
                        {"an array holding a DECIMAL", [](VARIANT& v) {
                           SAFEARRAY* array = Vector(VT_DECIMAL, 1);
                           DECIMAL value{};
                           ::VarDecFromR8(0.1, &value);
                           LONG index = 0;
                           ::SafeArrayPutElement(array, &index, &value);
                           v = ArrayOf(array, VT_DECIMAL);
                         }}};
  for (const Case& c : cases) {
    Variant variable;
    c.fill(variable.value);
    VARIANT before = variable.value;
    const UINT textBytes = before.vt == VT_BSTR ? ::SysStringByteLen(before.bstrVal) : 0;
    Variant outData;
    const Answer answer = DeviceInfo(object, ByRef(&variable.value), ByRef(&outData.value));
    const std::string what = std::string(c.what) + " as InData comes back as passed";
    // A freed string's block can come back at the same address, so a string's length is read too.
    const bool sameText =
        variable.value.vt != VT_BSTR || ::SysStringByteLen(variable.value.bstrVal) == textBytes;
    Check(answer.hr == S_OK && std::memcmp(&before, &variable.value, sizeof before) == 0 && sameText,
          what.c_str());
  }
  Check(plain.references == 1, "the UNKNOWN's references are balanced");
  // The rules that stay: a 16-bit integer widens, a typed array becomes an array of variants.
  Variant small;
  small.value.vt = VT_I2;
  small.value.iVal = 5;
  Variant outData;
  DeviceInfo(object, ByRef(&small.value), ByRef(&outData.value));
  Check(small.value.vt == VT_I4 && small.value.lVal == 5, "a variable holding I2 5 comes back I4 5");
  Variant numbers;
  numbers.value = ArrayOf(Vector(VT_I4, 2), VT_I4);
  Variant outData2;
  DeviceInfo(object, ByRef(&numbers.value), ByRef(&outData2.value));
  Check(numbers.value.vt == (VT_ARRAY | VT_VARIANT),
        "a variable holding an I4 array comes back an array of variants");
}

std::wstring ThreadErrorDescription(std::wstring* source) {
  IErrorInfo* info = nullptr;
  if (::GetErrorInfo(0, &info) != S_OK || info == nullptr) return L"(none)";
  BSTR description = nullptr;
  BSTR origin = nullptr;
  info->GetDescription(&description);
  info->GetSource(&origin);
  std::wstring text = description != nullptr ? description : L"";
  if (source != nullptr) *source = origin != nullptr ? origin : L"";
  ::SysFreeString(description);
  ::SysFreeString(origin);
  info->Release();
  return text;
}

void LeaveStaleErrorInfo() {
  ICreateErrorInfo* creator = nullptr;
  if (FAILED(::CreateErrorInfo(&creator))) return;
  creator->SetDescription(const_cast<LPOLESTR>(L"stale"));
  IErrorInfo* info = nullptr;
  creator->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info));
  ::SetErrorInfo(0, info);
  if (info != nullptr) info->Release();
  creator->Release();
}

void ErrorInfo(IDispatch* object) {
  LeaveStaleErrorInfo();
  // Open before Init: the device folder needs the manager, so the call fails with an exception.
  Variant deviceId;
  deviceId.value = Text(L"1");
  Variant description;
  const Answer failure = Run(object, kOpen, {deviceId.value, ByRef(&description.value)});
  std::wstring source;
  const std::wstring text = ThreadErrorDescription(&source);
  Check(failure.hr == DISP_E_EXCEPTION && text == failure.description && source == failure.source &&
            !source.empty(),
        "after DISP_E_EXCEPTION the thread's error object holds the exception's description and source");
  LeaveStaleErrorInfo();
  Variant inData;
  Variant outData;
  const Answer success = DeviceInfo(object, ByRef(&inData.value), ByRef(&outData.value));
  Check(success.hr == S_OK && ThreadErrorDescription(nullptr) == L"(none)",
        "after a successful call the thread has no error object");
}

void NullForms(IDispatch* object) {
  DISPID ids[] = {12345};
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"Open")};
  const HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 0, LOCALE_USER_DEFAULT, ids);
  Check(FAILED(hr) && ids[0] == 12345, "GetIDsOfNames with no name writes no identifier");
  Variant result;
  EXCEPINFO exception{};
  // Open before Init raises: if it ran, the answer would be DISP_E_EXCEPTION.
  const HRESULT invoked = object->Invoke(kOpen, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, nullptr,
                                         &result.value, &exception, nullptr);
  Check(invoked == E_INVALIDARG && result.value.vt == VT_EMPTY,
        "Invoke without DISPPARAMS: E_INVALIDARG, nothing run");
  ClearException(exception);
}

using CanUnload = HRESULT(__stdcall*)();

// Run after every driver object is gone.
void LockCounts() {
  HMODULE module = ::GetModuleHandleW(L"ls_tallowmer.dll");
  auto canUnloadNow =
      module != nullptr
          ? reinterpret_cast<CanUnload>(reinterpret_cast<void*>(::GetProcAddress(module, "DllCanUnloadNow")))
          : nullptr;
  CLSID clsid;
  Ref<IClassFactory> factory;
  if (canUnloadNow == nullptr || FAILED(::CLSIDFromProgID(L"hwEq.tallowmer", &clsid)) ||
      FAILED(::CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                reinterpret_cast<void**>(factory.put())))) {
    Check(false, "the class factory is reached");
    return;
  }
  factory.get()->LockServer(FALSE);
  const bool unlockedTooOften = canUnloadNow() == S_OK;
  factory.get()->LockServer(TRUE);
  const bool locked = canUnloadNow() == S_FALSE;
  factory.get()->LockServer(FALSE);
  Check(unlockedTooOften && locked && canUnloadNow() == S_OK,
        "one LockServer(FALSE) too many does not unbalance: one lock holds the module, its unlock frees it");
}

// The heap in use, in megabytes.
double HeapMegabytesInUse() {
  return static_cast<double>(com_client::HeapBytesInUse()) / (1024.0 * 1024.0);
}

// The longest Token that SetSettings takes, and a token of 1 MB, in UTF-16 units.
constexpr size_t kLongestToken = 4096;
constexpr size_t kMegabyteToken = 512 * 1024;

// A token of `units` UTF-16 units that differs from every other call's.
VARIANT NewToken(int call, size_t units) {
  std::wstring token(units, L'a');
  const std::wstring number = std::to_wstring(call);
  token.replace(0, number.size(), number);
  return Text(token);
}

VARIANT Flag(bool value) {
  VARIANT flag;
  ::VariantInit(&flag);
  flag.vt = VT_BOOL;
  flag.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  return flag;
}

int callsPerRun = 1000;

// Every call sets a new token of the longest length SetSettings takes, and every fifth carries a
// 1 MB one in a settings table in InData; the memory in use must not grow with the number of tokens.
void TokenMemory(IDispatch* object) {
  const int kCalls = callsPerRun;
  Variant host;
  host.value = Text(L"http://127.0.0.1:1");
  SetSetting(object, L"Host", host.value);
  Variant refused;
  refused.value = NewToken(-1, kMegabyteToken);
  Check(!SetSetting(object, L"Token", refused.value), "SetSettings refuses a 1 MB token");
  for (const bool logged : {false, true}) {
    SetSetting(object, L"DebugLogEnabled", Flag(logged));
    Variant inData;
    Variant outData;
    Run(object, kEnable, {ByRef(&inData.value), ByRef(&outData.value), Int4(0)});
    bool all = true;
    double start = 0;
    const ULONGLONG begin = ::GetTickCount64();
    ULONGLONG firstHundred = 0;
    ULONGLONG lastHundredStart = 0;
    for (int call = 0; call < kCalls; ++call) {
      if (call == 10) start = HeapMegabytesInUse();
      if (call == 100) firstHundred = ::GetTickCount64() - begin;
      if (call == kCalls - 100) lastHundredStart = ::GetTickCount64();
      Variant token;
      token.value = NewToken(call + (logged ? kCalls : 0), kLongestToken);
      all = SetSetting(object, L"Token", token.value) && all;
      // A settings table in InData of a logged call is masked in the trace as well, whatever the
      // length of its token. Every fifth call carries one: a megabyte kept per token would show
      // there just as well, and under Wine each such call takes about as long as the setting itself.
      if (call % 5 != 0) continue;
      Variant big;
      big.value = NewToken(call + (logged ? kCalls : 0), kMegabyteToken);
      VARIANT holder = ArrayOf(SettingsTable(L"Token", big.value));
      Variant out;
      all = DeviceInfo(object, ByRef(&holder), ByRef(&out.value)).hr == S_OK && all;
      ::VariantClear(&holder);
    }
    const ULONGLONG lastHundred = ::GetTickCount64() - lastHundredStart;
    const double growth = HeapMegabytesInUse() - start;
    std::printf(
        "    debug log %s: heap in use grew by %.2f MB over %d calls with a new token each; "
        "the first 100 took %llu ms, the last 100 %llu ms\n",
        logged ? "on" : "off", growth, kCalls - 10, firstHundred, lastHundred);
    Check(all && growth < 4.0, logged ? "a new token on every call, debug log on: memory flat"
                                      : "a new token on every call, debug log off: memory flat");
  }
}

}  // namespace

// A case gets a driver object made by its ProgID, unless it makes its own.
const struct {
  const wchar_t* name;
  void (*run)(IDispatch*);
  bool needsObject = true;
} kCases[] = {
    {L"self_reference", SelfReference},
    {L"deep_nesting", DeepNesting},
    {L"nesting_by_value", NestingByValue},
    {L"many_elements", ManyElements},
    {L"shared_budget", SharedBudget},
    {L"unsigned", UnsignedValues},
    {L"no_vartype", ArraysWithoutVartype},
    {L"mismatched_holders", MismatchedHolders},
    {L"locked", LockedArrays},
    {L"fixed_arrays", FixedArrays},
    {L"all_or_nothing", AllOrNothing},
    {L"values_kept", ValuesKept},
    {L"named_arguments", NamedArguments},
    {L"error_info", ErrorInfo},
    {L"deferred_exception", DeferredException},
    {L"deep_manager_answer", DeepManagerAnswer},
    {L"null_forms", NullForms},
    {L"module_reload", ModuleReload, false},
    {L"token_memory", TokenMemory},
};

}  // namespace boundary

int wmain(int argc, wchar_t** argv) {
  using namespace boundary;
  const std::wstring name = argc > 1 ? argv[1] : L"";
  const bool every = name == L"every";
  if (argc > 2) callsPerRun = std::max(200, _wtoi(argv[2]));
  ::CoInitialize(nullptr);
  bool known = false;
  for (const auto& c : kCases) {
    if (!every && name != c.name) continue;
    known = true;
    if (!c.needsObject) {
      c.run(nullptr);
      continue;
    }
    IDispatch* object = CreateDriver();
    Check(object != nullptr, "the object is created by its ProgID");
    if (object != nullptr) {
      c.run(object);
      object->Release();
    }
    if (c.run == NullForms) LockCounts();
  }
  if (!known) std::printf("unknown case\n");
  ::CoUninitialize();
  std::printf("%d passed, %d failed\n", passed, failed);
  return known && failed == 0 ? 0 : 1;
}
