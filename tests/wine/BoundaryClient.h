// What the boundary client's cases share: the calls as a late-bound client makes them, the answer
// of one call, the forms of arrays and of the settings table, and the cases that live in files of
// their own. Each check prints one line; main closes with "N passed, M failed".

#pragma once

#include "ComClient.h"

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace boundary {

using com_client::ByRef;
using com_client::ClearException;
using com_client::CreateDriver;
using com_client::Int4;
using com_client::Ref;
using com_client::ScalarRef;
using com_client::Text;
using com_client::Variant;

inline constexpr DISPID kOpen = 1;
inline constexpr DISPID kGetDeviceInfo = 4;
inline constexpr DISPID kEnable = 5;
inline constexpr DISPID kGetSettings = 7;
inline constexpr DISPID kSetSettings = 8;
inline const wchar_t* const kBadInputText = L"Ошибка входных параметров команды";

inline int passed = 0;
inline int failed = 0;

inline void Check(bool condition, const char* what) {
  std::printf("%s: %s\n", condition ? "ok" : "FAILED", what);
  (condition ? passed : failed)++;
}

// Arguments in call order; they are handed over last first, as the platform expects.
inline HRESULT Call(IDispatch* object, DISPID id, std::vector<VARIANT> args, VARIANT* result,
                    EXCEPINFO* exception) {
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &params,
                        result, exception, nullptr);
}

// The answer of one call: its HRESULT, its result and the exception's texts.
struct Answer {
  HRESULT hr = E_UNEXPECTED;
  bool result = false;
  std::wstring description;
  std::wstring source;
  SCODE scode = 0;
};

inline Answer Run(IDispatch* object, DISPID id, std::vector<VARIANT> args) {
  Variant result;
  EXCEPINFO exception{};
  Answer answer;
  answer.hr = Call(object, id, std::move(args), &result.value, &exception);
  answer.result = result.value.vt == VT_BOOL && result.value.boolVal != VARIANT_FALSE;
  if (exception.bstrDescription != nullptr) answer.description = exception.bstrDescription;
  if (exception.bstrSource != nullptr) answer.source = exception.bstrSource;
  answer.scode = exception.scode;
  ClearException(exception);
  return answer;
}

// GetDeviceInfo with InData, OutData, the time-out 0 and any further arguments.
inline Answer DeviceInfo(IDispatch* object, VARIANT inData, VARIANT outData, std::vector<VARIANT> more = {}) {
  std::vector<VARIANT> args{inData, outData, Int4(0)};
  args.insert(args.end(), more.begin(), more.end());
  return Run(object, kGetDeviceInfo, args);
}

// Input the driver would not read (nesting too deep, a loop, too many elements): DISP_E_EXCEPTION
// with scode 1001 and the bad-input text holding `detail`, before any method ran.
inline bool IsBadInput(const Answer& answer, const wchar_t* detail) {
  return answer.hr == DISP_E_EXCEPTION && answer.scode == 1001 &&
         answer.description.rfind(kBadInputText, 0) == 0 &&
         answer.description.find(detail) != std::wstring::npos;
}

// An argument the write-back could not honour, refused before any method ran: DISP_E_EXCEPTION with
// scode 1004 and the bad-input text naming the argument at `position` (from 1) and holding `detail`.
inline bool IsRefusedArgument(const Answer& answer, int position, const wchar_t* detail) {
  const std::wstring opening =
      std::wstring(kBadInputText) + L": аргумент " + std::to_wstring(position) + L": ";
  return answer.hr == DISP_E_EXCEPTION && answer.scode == 1004 && answer.description.rfind(opening, 0) == 0 &&
         answer.description.find(detail) != std::wstring::npos;
}

// Why a fixed-size or locked array is refused where a method would leave another value in it.
inline const wchar_t* const kKeptArrayReason = L"массив постоянного размера или заблокированный массив";

inline SAFEARRAY* Vector(VARTYPE type, ULONG count) {
  SAFEARRAYBOUND bound{count, 0};
  return ::SafeArrayCreate(type, 1, &bound);
}

inline VARIANT ArrayOf(SAFEARRAY* array, VARTYPE type = VT_VARIANT) {
  VARIANT value;
  ::VariantInit(&value);
  value.vt = VT_ARRAY | type;
  value.parray = array;
  return value;
}

inline LONG UpperBound(SAFEARRAY* array) {
  LONG upper = -1;
  ::SafeArrayGetUBound(array, 1, &upper);
  return upper;
}

inline bool IsDeviceInformation(const VARIANT& outData) {
  return outData.vt == (VT_ARRAY | VT_VARIANT) && UpperBound(outData.parray) == 14;
}

// An object with only an IUnknown face, which counts its references.
class PlainObject : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (IsEqualIID(iid, IID_IUnknown)) {
      *object = this;
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--references); }
  long references = 1;
};

// A settings table [row, column] of one column, in an array of one element, as SetSettings takes it.
inline SAFEARRAY* SettingsTable(const wchar_t* id, VARIANT value) {
  SAFEARRAYBOUND bounds[] = {{2, 0}, {1, 0}};
  SAFEARRAY* table = ::SafeArrayCreate(VT_VARIANT, 2, bounds);
  LONG idIndex[] = {0, 0};
  LONG valueIndex[] = {1, 0};
  Variant name;
  name.value = Text(id);
  ::SafeArrayPutElement(table, idIndex, &name.value);
  ::SafeArrayPutElement(table, valueIndex, &value);
  SAFEARRAY* outer = Vector(VT_VARIANT, 1);
  LONG first = 0;
  VARIANT tableVariant = ArrayOf(table);
  ::SafeArrayPutElement(outer, &first, &tableVariant);
  ::SafeArrayDestroy(table);
  return outer;
}

// The value of one setting as GetSettings reports it.
inline bool SettingValue(IDispatch* object, const wchar_t* id, VARIANT* value) {
  Variant inData;
  Variant outData;
  if (Run(object, kGetSettings, {ByRef(&inData.value), ByRef(&outData.value), Int4(0)}).hr != S_OK ||
      outData.value.vt != (VT_ARRAY | VT_VARIANT))
    return false;
  LONG first = 0;
  Variant table;
  ::SafeArrayGetElement(outData.value.parray, &first, &table.value);
  if (table.value.vt != (VT_ARRAY | VT_VARIANT)) return false;
  LONG columns = -1;
  ::SafeArrayGetUBound(table.value.parray, 2, &columns);
  for (LONG column = 0; column <= columns; ++column) {
    LONG idIndex[] = {0, column};
    LONG valueIndex[] = {1, column};
    Variant name;
    ::SafeArrayGetElement(table.value.parray, idIndex, &name.value);
    if (name.value.vt == VT_BSTR && std::wcscmp(name.value.bstrVal, id) == 0)
      return SUCCEEDED(::SafeArrayGetElement(table.value.parray, valueIndex, value));
  }
  return false;
}

// An array made by SafeArrayAllocDescriptor: flags say what it holds, no element type is stored.
inline SAFEARRAY* ArrayWithoutVartype(USHORT features, ULONG elementSize, ULONG count) {
  SAFEARRAY* array = nullptr;
  if (FAILED(::SafeArrayAllocDescriptor(1, &array))) return nullptr;
  array->fFeatures = features;
  array->cbElements = elementSize;
  array->rgsabound[0] = {count, 0};
  if (FAILED(::SafeArrayAllocData(array))) {
    ::SafeArrayDestroyDescriptor(array);
    return nullptr;
  }
  return array;
}

// Sets one setting through SetSettings.
inline bool SetSetting(IDispatch* object, const wchar_t* id, VARIANT value) {
  VARIANT holder = ArrayOf(SettingsTable(id, value));
  Variant outData;
  const Answer answer = Run(object, kSetSettings, {ByRef(&holder), ByRef(&outData.value), Int4(0)});
  ::VariantClear(&holder);
  return answer.hr == S_OK && answer.result;
}

// Arrays nested `levels` deep by value: element 0 of each level holds the next level itself, not a
// reference to it. The client writes and unlinks the levels one by one, as the system's own copy
// and clear recurse through such nesting and would take the client down before the driver.
class NestedByValue {
 public:
  explicit NestedByValue(size_t levels) : arrays_(levels) {
    for (SAFEARRAY*& array : arrays_) array = Vector(VT_VARIANT, 1);
    for (size_t i = 0; i + 1 < levels; ++i) *Element(i) = ArrayOf(arrays_[i + 1]);
  }
  NestedByValue(const NestedByValue&) = delete;
  NestedByValue& operator=(const NestedByValue&) = delete;
  ~NestedByValue() {
    for (size_t i = 0; i < arrays_.size(); ++i) {
      ::VariantInit(Element(i));
      ::SafeArrayDestroy(arrays_[i]);
    }
  }

  VARIANT Outer() const { return ArrayOf(arrays_[0]); }
  // The arrays as one value, now the receiver's to free.
  VARIANT Handover() {
    const VARIANT outer = Outer();
    arrays_.clear();
    return outer;
  }
  // Every level still holds the next one, and none is left locked.
  bool Intact() const {
    for (size_t i = 0; i < arrays_.size(); ++i) {
      const VARIANT* element = Element(i);
      const bool linked = i + 1 < arrays_.size()
                              ? element->vt == (VT_ARRAY | VT_VARIANT) && element->parray == arrays_[i + 1]
                              : element->vt == VT_EMPTY;
      if (!linked || arrays_[i]->cLocks != 0) return false;
    }
    return true;
  }

 private:
  VARIANT* Element(size_t level) const { return static_cast<VARIANT*>(arrays_[level]->pvData); }

  std::vector<SAFEARRAY*> arrays_;
};

// Cases in files of their own.
void NestingByValue(IDispatch* object);
void MismatchedHolders(IDispatch* object);
void FixedArrays(IDispatch* object);
void NamedArguments(IDispatch* object);
void SharedBudget(IDispatch* object);
void DeferredException(IDispatch* object);
void DeepManagerAnswer(IDispatch* object);
void ModuleReload(IDispatch* object);

}  // namespace boundary
