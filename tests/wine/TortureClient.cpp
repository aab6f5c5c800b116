// A hostile late-bound client: calls every method of the driver through IDispatch with seeded,
// reproducible random arguments of every form a client can build, and checks after each call that
// the answer is one the driver promises, that every argument can still be cleared, and that each
// written-back argument has the promised form. It also watches the process's private bytes.
//
// Usage: torture_client [--seed S] [--calls N] [--call I]
//   --call I replays the single call I of seed S (after the same set-up) and prints what it sent.

#include "TortureArguments.h"

#include <psapi.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <deque>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace torture;
using com_client::CreateDriver;
constexpr DISPID kInit = 0;
constexpr DISPID kOpen = 1;
constexpr SCODE kUnknownError = 1001;
constexpr SCODE kBadInput = 1004;
const wchar_t* const kBadInputText = L"Ошибка входных параметров команды";

bool IsTimeOutKind(VARTYPE kind) {
  switch (kind) {
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_BOOL:
      return true;
    default:
      return false;
  }
}

// Names are equal when they agree after folding only the ASCII letters.
bool SameNameAscii(const std::wstring& name, const wchar_t* registered) {
  const size_t length = std::wcslen(registered);
  if (name.size() != length) return false;
  for (size_t i = 0; i < length; ++i) {
    auto fold = [](wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c; };
    if (fold(name[i]) != fold(registered[i])) return false;
  }
  return true;
}

std::string Utf8(const wchar_t* text) {
  if (text == nullptr) return "";
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<size_t>(size > 0 ? size : 1), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
  result.pop_back();
  return result;
}

std::string Describe(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

// What the call names by name: how many and whether their list is there.
struct Names {
  UINT count = 0;
  bool listed = false;
};

// The HRESULT the driver must give before any method runs, or S_OK when the call reaches one.
HRESULT ExpectedRefusal(DISPID dispId, WORD flags, UINT count, bool nullArguments, Names names,
                        const Call& call) {
  if (names.count > count || (names.count > 0 && !names.listed)) return E_INVALIDARG;
  if (dispId >= 100000 || (flags & DISPATCH_METHOD) == 0) return E_FAIL;
  if (dispId < 0 || dispId >= kMethodCount) return E_FAIL;
  if (count > 0 && nullArguments) return E_INVALIDARG;
  if (names.count > 0) return DISP_E_NONAMEDARGS;
  if (!call.AllHonourable(dispId >= kFirstPublic)) return DISP_E_EXCEPTION;
  if (dispId >= kFirstPublic) {
    if (count < 3) return E_INVALIDARG;
    if (!IsTimeOutKind(call.Arguments()[2].readKind)) return E_INVALIDARG;
  }
  return S_OK;
}

// The code in a public call's failure array, or 0 when OutData holds none.
LONG FailureCode(const VARIANT& outData) {
  if (outData.vt != (VT_ARRAY | VT_VARIANT) || outData.parray == nullptr) return 0;
  LONG first = 0;
  VARIANT element;
  ::VariantInit(&element);
  if (FAILED(::SafeArrayGetElement(outData.parray, &first, &element))) return 0;
  const LONG code = element.vt == VT_I4 ? element.lVal : 0;
  ::VariantClear(&element);
  return code;
}

// The forms the write-back promises after a successful call.
std::string CheckWrittenBack(DISPID dispId, const Call& call, const VARIANT* result) {
  if (result != nullptr && result->vt != VT_BOOL) return "the call result is not a Boolean";
  for (size_t position = 0; position < call.Arguments().size(); ++position) {
    const Argument& argument = call.Arguments()[position];
    if (argument.slot != nullptr) {
      const Slot& slot = *argument.slot;
      if (slot.kind == VT_BOOL) {
        const SHORT value = *reinterpret_cast<const SHORT*>(slot.raw);
        if (value != 0 && value != 1) return "a by-reference Boolean holds neither 0 nor 1";
      }
      if ((slot.kind & VT_ARRAY) != 0 && slot.array != nullptr) {
        // An array without a stored element type has none to change.
        VARTYPE elementType = VT_EMPTY;
        if (SUCCEEDED(::SafeArrayGetVartype(slot.array, &elementType)) && elementType != slot.elementType)
          return "a by-reference array changed its element type";
        if ((slot.keptFeature != 0 || slot.locked) && slot.array != slot.arrayBefore)
          return "a fixed or locked array was replaced";
      }
    }
  }
  for (const Slot& slot : call.Slots()) {
    if (slot.kind == VT_VARIANT && slot.keptFeature != 0 &&
        ((slot.variant.vt & VT_ARRAY) == 0 || slot.variant.parray != slot.arrayBefore))
      return "a variable lost the fixed-size array it held";
  }
  // OutData of a public method, when it ends at a variant: empty or an array of variants; after
  // a False result the array [code, description].
  if (dispId >= kFirstPublic && call.Arguments().size() >= 2 && call.Arguments()[1].byValueEnd) {
    const VARIANT* outData = &call.Arguments()[1].top;
    while (outData->vt == (VT_BYREF | VT_VARIANT)) outData = outData->pvarVal;
    if (outData->vt != VT_EMPTY && outData->vt != (VT_ARRAY | VT_VARIANT))
      return "OutData is neither empty nor an array";
    if (result != nullptr && result->boolVal == VARIANT_FALSE) {
      if (outData->vt != (VT_ARRAY | VT_VARIANT) || outData->parray == nullptr)
        return "a failure without [code, description]";
      VARIANT* elements = nullptr;
      LONG upper = -1;
      ::SafeArrayGetUBound(outData->parray, 1, &upper);
      if (upper < 1 || FAILED(::SafeArrayAccessData(outData->parray, reinterpret_cast<void**>(&elements)))) {
        return "the failure array is too short";
      }
      const bool form = elements[0].vt == VT_I4 && elements[1].vt == VT_BSTR;
      ::SafeArrayUnaccessData(outData->parray);
      if (!form) return "the failure array is not [VT_I4, VT_BSTR]";
    }
    // The service is out of reach: a receipt ending at the largest amount fails at the request, one
    // passing it is refused as bad input first.
    const LONG code = FailureCode(*outData);
    if (call.Receipt() == ReceiptSums::kBeyondTheLimit && code != kBadInput)
      return "a receipt whose sum passes the Currency range was not refused as bad input";
    if (call.Receipt() == ReceiptSums::kAtTheLimit && (code == kBadInput || code == 0))
      return "a receipt whose sum ends at the largest amount was refused as bad input";
  }
  if ((dispId == kInit || dispId == kOpen) && call.Arguments().size() >= 2 &&
      call.Arguments()[1].byValueEnd) {
    const VARIANT* description = &call.Arguments()[1].top;
    while (description->vt == (VT_BYREF | VT_VARIANT)) description = description->pvarVal;
    if (description->vt != VT_BSTR) return "the description of Init or Open is not a string";
  }
  return "";
}

class Torture {
 public:
  // Calls answered S_OK, DISP_E_EXCEPTION, E_INVALIDARG, E_FAIL, DISP_E_NONAMEDARGS.
  uint64_t answers[5] = {};
  // CloseOrder calls that reached the method with a receipt at the Currency limit, and beyond it.
  uint64_t receipts[2] = {};

  Torture(IDispatch* object, uint64_t seed) : object_(object), seed_(seed) {}

  // One Invoke (and sometimes a GetIDsOfNames before it); an empty answer when every check held.
  std::string Run(uint64_t index, bool verbose) {
    Rng rng(SplitMix(seed_ ^ SplitMix(index)));
    if (rng.Chance(15)) {
      const std::string failure = OddName(rng);
      if (!failure.empty()) return failure;
    }
    DISPID dispId = rng.Below(kMethodCount);
    if (rng.Chance(5)) {
      const DISPID odd[] = {-1,     kMethodCount, 0xFFFF,  99999,
                            100000, INT_MIN,      INT_MAX, static_cast<DISPID>(rng.Bits())};
      dispId = odd[rng.Below(8)];
    }
    WORD flags = static_cast<WORD>(rng.Chance(80) ? DISPATCH_METHOD | (rng.Below(8) << 1) : rng.Below(16));
    if (rng.Chance(2)) flags = static_cast<WORD>(rng.Bits());
    const UINT count = static_cast<UINT>(rng.Chance(80) ? 2 + rng.Below(3) : rng.Below(8));
    elementBudget = kElementsPerCall;
    Call call(rng, dispId, flags, count, rng.Chance(50));
    std::vector<VARIANT> lastFirst = call.LastFirst();
    const bool nullArguments = count > 0 && rng.Chance(2);
    std::vector<DISPID> named;
    DISPPARAMS params{nullArguments ? nullptr : lastFirst.data(), nullptr, count, 0};
    if (rng.Chance(10)) {
      params.cNamedArgs = static_cast<UINT>(rng.Below(static_cast<int>(count) + 2));
      for (UINT i = 0; i < params.cNamedArgs; ++i)
        named.push_back(rng.Chance(50) ? DISPID_PROPERTYPUT : static_cast<DISPID>(rng.Below(5)));
      params.rgdispidNamedArgs = rng.Chance(20) || named.empty() ? nullptr : named.data();
    }
    VARIANT result;
    ::VariantInit(&result);
    EXCEPINFO exception{};
    UINT argumentError = 0;
    const bool withResult = rng.Chance(80);
    // A replay always takes the exception record, to print it.
    const bool withException = rng.Chance(80) || verbose;
    const bool withArgumentError = rng.Chance(50);
    if (verbose) {
      std::printf("call %llu: DispID %ld, flags 0x%X, %u arguments%s, %u named\n",
                  static_cast<unsigned long long>(index), static_cast<long>(dispId), flags, count,
                  nullArguments ? " (no array)" : "", params.cNamedArgs);
      for (const Argument& argument : call.Arguments()) {
        std::printf("  vt 0x%04X read as 0x%04X%s\n", argument.top.vt, argument.readKind,
                    argument.storable ? "" : " (nothing can be stored into it)");
      }
    }
    const HRESULT hr =
        object_->Invoke(dispId, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, withResult ? &result : nullptr,
                        withException ? &exception : nullptr, withArgumentError ? &argumentError : nullptr);
    const Names names{params.cNamedArgs, params.rgdispidNamedArgs != nullptr};
    std::string failure = Check(hr, dispId, flags, count, nullArguments, names, call, lastFirst,
                                withResult ? &result : nullptr, withException ? &exception : nullptr);
    if (verbose)
      std::printf("  answered %s %s\n", Describe(hr).c_str(), Utf8(exception.bstrDescription).c_str());
    ++answers[hr == S_OK                 ? 0
              : hr == DISP_E_EXCEPTION   ? 1
              : hr == E_INVALIDARG       ? 2
              : hr == DISP_E_NONAMEDARGS ? 4
                                         : 3];
    if (hr == S_OK && call.Receipt() != ReceiptSums::kNone)
      ++receipts[call.Receipt() == ReceiptSums::kAtTheLimit ? 0 : 1];
    if (FAILED(::VariantClear(&result)) && failure.empty()) failure = "VariantClear of the result";
    com_client::ClearException(exception);
    const std::string released = call.Release();
    if (failure.empty() && !released.empty()) failure = released;
    return failure;
  }

 private:
  std::string Check(HRESULT hr, DISPID dispId, WORD flags, UINT count, bool nullArguments, Names names,
                    const Call& call, const std::vector<VARIANT>& lastFirst, const VARIANT* result,
                    const EXCEPINFO* exception) {
    const HRESULT refusal = ExpectedRefusal(dispId, flags, count, nullArguments, names, call);
    if (refusal != S_OK && hr != refusal)
      return "answered " + Describe(hr) + ", expected " + Describe(refusal);
    if (hr != S_OK && hr != DISP_E_EXCEPTION && hr != E_FAIL && hr != E_INVALIDARG &&
        hr != DISP_E_NONAMEDARGS) {
      return "answered " + Describe(hr) + ", which Invoke never gives";
    }
    if (!call.TopsUntouched(lastFirst)) return "a top-level argument was changed";
    if (hr == DISP_E_EXCEPTION && exception != nullptr) {
      if (exception->bstrDescription == nullptr) return "the exception record lacks its description";
      // An argument refused before any method ran is named, with the reason, after the bad-input
      // text: scode 1001 where it could not be read, 1004 where the write-back could not honour it.
      const std::wstring opening = std::wstring(kBadInputText) + L": аргумент ";
      if (refusal == DISP_E_EXCEPTION &&
          ((exception->scode != kUnknownError && exception->scode != kBadInput) ||
           std::wcsncmp(exception->bstrDescription, opening.c_str(), opening.size()) != 0)) {
        return "an argument the write-back could not honour is not refused with scode 1001 or 1004, "
               "naming it after the bad-input text";
      }
      if (refusal != DISP_E_EXCEPTION && exception->scode != kUnknownError)
        return "a failure after the method ran lacks scode 1001";
    }
    if (refusal != S_OK && !call.Untouched()) return "a refused call changed an argument";
    // Every argument a public method could not honour is refused before it runs: only an OutData
    // of a typed kind may fail to take what the method left.
    if (refusal == S_OK && hr == DISP_E_EXCEPTION && dispId >= kFirstPublic && call.Arguments().size() >= 2 &&
        TakesEveryOutcome(call.Arguments()[1]))
      return "a public call failed after its method ran, though every argument takes what it was left";
    if (hr == S_OK) return CheckWrittenBack(dispId, call, result);
    return "";
  }

  // GetIDsOfNames with a name that is odd in one way or another; real names in other cases must
  // still resolve, everything else must not.
  std::string OddName(Rng& rng) {
    std::wstring name;
    DISPID expected = DISPID_UNKNOWN;
    switch (rng.Below(6)) {
      case 0: {
        expected = rng.Below(kMethodCount);
        name = kMethodNames[expected];
        for (wchar_t& c : name) {
          if (rng.Chance(50)) c = static_cast<wchar_t>(c ^ 0x20);  // the names are ASCII letters only
        }
        break;
      }
      case 1:
        name = std::wstring(kMethodNames[rng.Below(kMethodCount)]) + L" ";
        break;
      case 2:
        name = L"Еnable";  // a Cyrillic Е
        break;
      case 3:
        name = std::wstring(16384, L'x');
        break;
      case 4:
        name = std::wstring(1, static_cast<wchar_t>(0xD800 + rng.Below(0x800))) + L"Init";
        break;
      default:
        for (int i = rng.Below(30); i > 0; --i) name.push_back(static_cast<wchar_t>(1 + rng.Below(0xFFFE)));
        break;
    }
    for (DISPID i = 0; i < kMethodCount && expected == DISPID_UNKNOWN; ++i) {
      if (SameNameAscii(name, kMethodNames[i])) expected = i;
    }
    std::wstring second = L"Second";
    LPOLESTR names[] = {name.data(), second.data()};
    DISPID ids[2] = {12345, 12345};
    const bool nullNames = rng.Chance(3);
    const bool nullIds = rng.Chance(3);
    const HRESULT hr = object_->GetIDsOfNames(IID_NULL, nullNames ? nullptr : names, 1 + rng.Below(2),
                                              LOCALE_USER_DEFAULT, nullIds ? nullptr : ids);
    if (nullNames || nullIds)
      return hr == E_INVALIDARG ? "" : "GetIDsOfNames without its arrays answered " + Describe(hr);
    if (expected >= 0 && (hr != S_OK || ids[0] != expected))
      return "a real name in other case did not resolve";
    if (expected < 0 && (hr != E_NOTIMPL || ids[0] != DISPID_UNKNOWN))
      return "an odd name answered " + Describe(hr);
    return "";
  }

  IDispatch* object_;
  uint64_t seed_;
};

uint64_t currentCall = 0;
uint64_t currentSeed = 0;

LONG WINAPI ReportCrash(EXCEPTION_POINTERS* pointers) {
  std::printf("CRASH (exception 0x%08lX) in call %llu; replay: torture_client --seed %llu --call %llu\n",
              static_cast<unsigned long>(pointers->ExceptionRecord->ExceptionCode),
              static_cast<unsigned long long>(currentCall), static_cast<unsigned long long>(currentSeed),
              static_cast<unsigned long long>(currentCall));
  std::fflush(stdout);
  ::ExitProcess(3);
}

// A C++ exception that escapes the module ends in abort(), which the module's runtime shares with
// this program through msvcrt: the call that did it is named the same way.
void ReportAbort(int) {
  std::printf("CRASH (abort) in call %llu; replay: torture_client --seed %llu --call %llu\n",
              static_cast<unsigned long long>(currentCall), static_cast<unsigned long long>(currentSeed),
              static_cast<unsigned long long>(currentCall));
  std::fflush(stdout);
  ::ExitProcess(3);
}

// The process's private bytes. Wine reports PrivateUsage as 0, so the committed private regions of
// the address space are summed instead where it does.
SIZE_T PrivateBytes() {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  ::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                         sizeof counters);
  if (counters.PrivateUsage != 0) return counters.PrivateUsage;
  SIZE_T total = 0;
  MEMORY_BASIC_INFORMATION region{};
  for (const char* address = nullptr; ::VirtualQuery(address, &region, sizeof region) == sizeof region;
       address = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
    if (static_cast<const char*>(region.BaseAddress) + region.RegionSize < address) break;
  }
  return total;
}

struct MemorySample {
  double privateMegabytes = 0;
  double heapMegabytes = 0;
};

MemorySample SampleMemory() {
  return {PrivateBytes() / (1024.0 * 1024.0), com_client::HeapBytesInUse() / (1024.0 * 1024.0)};
}

HRESULT CallNamed(IDispatch* object, DISPID id, std::vector<VARIANT> lastFirst, VARIANT* result) {
  DISPPARAMS params{lastFirst.data(), nullptr, static_cast<UINT>(lastFirst.size()), 0};
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result, nullptr,
                        nullptr);
}

// Points the driver's service at a closed loopback port, so that every request fails at once, and
// hands that host to the service client through Enable.
bool SetUpClosedHost(IDispatch* object) {
  SAFEARRAYBOUND bounds[] = {{2, 0}, {1, 0}};
  SAFEARRAY* table = ::SafeArrayCreate(VT_VARIANT, 2, bounds);
  LONG idIndex[] = {0, 0};
  LONG valueIndex[] = {1, 0};
  VARIANT id;
  id.vt = VT_BSTR;
  id.bstrVal = ::SysAllocString(L"Host");
  VARIANT value;
  value.vt = VT_BSTR;
  value.bstrVal = ::SysAllocString(L"http://127.0.0.1:1");
  ::SafeArrayPutElement(table, idIndex, &id);
  ::SafeArrayPutElement(table, valueIndex, &value);
  ::VariantClear(&id);
  ::VariantClear(&value);
  SAFEARRAYBOUND outer{1, 0};
  SAFEARRAY* inData = ::SafeArrayCreate(VT_VARIANT, 1, &outer);
  LONG first = 0;
  VARIANT tableVariant;
  tableVariant.vt = VT_ARRAY | VT_VARIANT;
  tableVariant.parray = table;
  ::SafeArrayPutElement(inData, &first, &tableVariant);
  ::VariantClear(&tableVariant);
  VARIANT in;
  in.vt = VT_ARRAY | VT_VARIANT;
  in.parray = inData;
  VARIANT out;
  ::VariantInit(&out);
  VARIANT timeOut;
  timeOut.vt = VT_I4;
  timeOut.lVal = 0;
  VARIANT result;
  ::VariantInit(&result);
  bool ok = CallNamed(object, 8, {timeOut, out, in}, &result) == S_OK && result.boolVal == VARIANT_TRUE;
  ::VariantClear(&in);
  ::VariantClear(&result);
  const auto start = std::chrono::steady_clock::now();
  ok = CallNamed(object, 5, {timeOut, out, in}, &result) == S_OK && ok;
  ::VariantClear(&result);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("set-up: service host http://127.0.0.1:1, Enable took %.3f s\n", seconds);
  return ok && seconds < 2;
}

struct Options {
  uint64_t seed = 20261210;
  uint64_t calls = 100000;
  // The one call to replay; -1 runs calls 0 to `calls`.
  int64_t only = -1;

  bool Replays() const { return only >= 0; }
  uint64_t First() const { return Replays() ? static_cast<uint64_t>(only) : 0; }
  uint64_t End() const { return Replays() ? First() + 1 : calls; }
  // The memory is compared after 10,000 calls and at the end: a replay or a short run has no such
  // pair.
  bool WatchesMemory() const { return !Replays() && calls >= 10000; }
};

Options ParseOptions(int argc, wchar_t** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::wstring option = argv[i];
    const uint64_t number = std::wcstoull(argv[i + 1], nullptr, 10);
    if (option == L"--seed") options.seed = number;
    if (option == L"--calls") options.calls = number;
    if (option == L"--call") options.only = static_cast<int64_t>(number);
  }
  return options;
}

struct RunReport {
  int failures = 0;
  double seconds = 0;
  MemorySample at10k;
  MemorySample atEnd;
};

// Runs the calls, naming the first ten failures with the command that replays each, and samples the
// memory every 10,000 calls.
RunReport RunCalls(Torture& torture, const Options& options) {
  RunReport report;
  const auto start = std::chrono::steady_clock::now();
  for (uint64_t index = options.First(); index < options.End(); ++index) {
    currentCall = index;
    const std::string failure = torture.Run(index, options.Replays());
    if (!failure.empty() && ++report.failures <= 10) {
      std::printf("FAILED in call %llu: %s; replay: torture_client --seed %llu --call %llu\n",
                  static_cast<unsigned long long>(index), failure.c_str(),
                  static_cast<unsigned long long>(options.seed), static_cast<unsigned long long>(index));
    }
    if (index + 1 == 10000) report.at10k = SampleMemory();
    if ((index + 1) % 10000 == 0) {
      const MemorySample now = SampleMemory();
      std::printf("%llu calls, private bytes %.2f MB, heap in use %.2f MB\n",
                  static_cast<unsigned long long>(index + 1), now.privateMegabytes, now.heapMegabytes);
      std::fflush(stdout);
    }
  }
  report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  report.atEnd = SampleMemory();
  return report;
}

void PrintTallies(const Torture& torture, const Options& options, const RunReport& report) {
  std::printf("%llu calls in %.1f s (seed %llu), %d failed\n",
              static_cast<unsigned long long>(options.End() - options.First()), report.seconds,
              static_cast<unsigned long long>(options.seed), report.failures);
  std::printf(
      "answers: %llu S_OK, %llu DISP_E_EXCEPTION, %llu E_INVALIDARG, %llu E_FAIL, %llu DISP_E_NONAMEDARGS\n",
      static_cast<unsigned long long>(torture.answers[0]),
      static_cast<unsigned long long>(torture.answers[1]),
      static_cast<unsigned long long>(torture.answers[2]),
      static_cast<unsigned long long>(torture.answers[3]),
      static_cast<unsigned long long>(torture.answers[4]));
  std::printf("CloseOrder receipts that reached the method: %llu at the Currency limit, %llu beyond it\n",
              static_cast<unsigned long long>(torture.receipts[0]),
              static_cast<unsigned long long>(torture.receipts[1]));
}

// The heap in use may not grow by more than 2 MB between the 10,000th call and the last.
bool MemoryStayedFlat(const Options& options, const RunReport& report) {
  if (!options.WatchesMemory()) return true;
  std::printf("private bytes: %.2f MB after 10000 calls, %.2f MB after %llu calls, growth %.2f MB\n",
              report.at10k.privateMegabytes, report.atEnd.privateMegabytes,
              static_cast<unsigned long long>(options.calls),
              report.atEnd.privateMegabytes - report.at10k.privateMegabytes);
  std::printf("heap in use: %.2f MB after 10000 calls, %.2f MB after %llu calls, growth %.2f MB\n",
              report.at10k.heapMegabytes, report.atEnd.heapMegabytes,
              static_cast<unsigned long long>(options.calls),
              report.atEnd.heapMegabytes - report.at10k.heapMegabytes);
  if (report.atEnd.heapMegabytes - report.at10k.heapMegabytes <= 2.0) return true;
  std::printf("FAILED: the memory in use grew by more than 2 MB\n");
  return false;
}

// The client's own objects, passed as arguments again and again, hold only the client's reference
// once the driver is gone.
bool ObjectReferencesBalanced() {
  if (dispatchObject.references == 1 && unknownObject.references == 1) return true;
  std::printf("FAILED: the driver keeps or lost object references (%ld, %ld)\n", dispatchObject.references,
              unknownObject.references);
  return false;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const Options options = ParseOptions(argc, argv);
  currentSeed = options.seed;
  ::SetUnhandledExceptionFilter(ReportCrash);
  std::signal(SIGABRT, ReportAbort);
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  ::CoInitialize(nullptr);
  IDispatch* object = CreateDriver();
  if (object == nullptr) {
    std::printf("FAILED: the object is not created by its ProgID\n");
    return 1;
  }
  if (!SetUpClosedHost(object)) {
    std::printf("FAILED: the set-up of a closed service host\n");
    object->Release();
    return 1;
  }
  Torture torture(object, options.seed);
  const RunReport report = RunCalls(torture, options);
  object->Release();
  ::CoUninitialize();
  PrintTallies(torture, options, report);
  const bool memoryFlat = MemoryStayedFlat(options, report);
  const bool referencesBalanced = ObjectReferencesBalanced();
  return report.failures == 0 && memoryFlat && referencesBalanced ? 0 : 1;
}
