// A late-bound client, as a host's runtime is: creates the driver by ProgID and checks through
// IDispatch what every host relies on. Prints one line per check and "N passed, M failed".

#include "ComClient.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using com_client::ByRef;
using com_client::ClearException;
using com_client::Int4;
using com_client::ScalarRef;
using com_client::Text;
using com_client::Variant;

int passed = 0;
int failed = 0;

void Check(bool condition, const char* what) {
  std::printf("%s: %s\n", condition ? "ok" : "FAILED", what);
  (condition ? passed : failed)++;
}

DISPID IdOf(IDispatch* object, const wchar_t* name, HRESULT* hr = nullptr) {
  DISPID id = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  const HRESULT result = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (hr != nullptr) *hr = result;
  return id;
}

// Arguments in call order; they are handed over last first, as the platform expects.
HRESULT Call(IDispatch* object, DISPID id, std::vector<VARIANT> args, VARIANT* result, EXCEPINFO* exception,
             WORD flags = DISPATCH_METHOD | DISPATCH_PROPERTYGET) {
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, exception, nullptr);
}

void CheckRegistry(IDispatch* object) {
  bool all = true;
  for (DISPID expected = 0; expected < com_client::kMethodCount; ++expected)
    all = all && IdOf(object, com_client::kMethodNames[expected]) == expected;
  Check(all, "the 18 methods answer with DispIDs 0 to 17");
  Check(IdOf(object, L"getdeviceinfo") == 4, "names fold ASCII case");
  HRESULT hr = S_OK;
  const DISPID unknown = IdOf(object, L"NoSuchMethod", &hr);
  Check(hr == E_NOTIMPL && unknown == -1, "an unknown name gives E_NOTIMPL and -1");
}

void CheckRefusals(IDispatch* object) {
  Variant result;
  Check(Call(object, 4, {}, &result.value, nullptr, DISPATCH_PROPERTYGET) == E_FAIL,
        "property get alone gives E_FAIL");
  Check(Call(object, 100000, {}, &result.value, nullptr) == E_FAIL, "DispID 100000 gives E_FAIL");
  Variant inData;
  Variant outData;
  outData.value.vt = VT_I4;
  outData.value.lVal = 77;
  const HRESULT hr = Call(object, 4, {ByRef(&inData.value), ByRef(&outData.value)}, &result.value, nullptr);
  Check(hr == E_INVALIDARG && outData.value.vt == VT_I4 && outData.value.lVal == 77,
        "a public call without time-out gives E_INVALIDARG and leaves the arguments");
}

void CheckWriteBack(IDispatch* object) {
  // Init with a number instead of the manager fails with 1004 and describes it in argument 1.
  BSTR description = ::SysAllocString(L"before");
  VARIANT descriptionRef;
  ::VariantInit(&descriptionRef);
  descriptionRef.vt = VT_BYREF | VT_BSTR;
  descriptionRef.pbstrVal = &description;
  Variant result;
  HRESULT hr = Call(object, 0, {Int4(5), descriptionRef}, &result.value, nullptr);
  Check(hr == S_OK && result.value.vt == VT_BOOL && result.value.boolVal == VARIANT_FALSE,
        "Init with a number answers False");
  Check(description != nullptr && std::wstring(description) == L"Ошибка входных параметров команды",
        "the description reaches a VT_BYREF|VT_BSTR argument");
  ::SysFreeString(description);

  // A by-reference 16-bit integer and boolean after the three standard arguments come back in
  // their own kinds; the boolean as 1.
  Variant inData;
  Variant outData;
  SHORT small = 12;
  VARIANT_BOOL flag = VARIANT_TRUE;
  VARIANT smallRef;
  ::VariantInit(&smallRef);
  smallRef.vt = VT_BYREF | VT_I2;
  smallRef.piVal = &small;
  VARIANT flagRef;
  ::VariantInit(&flagRef);
  flagRef.vt = VT_BYREF | VT_BOOL;
  flagRef.pboolVal = &flag;
  Variant devInfoResult;
  hr = Call(object, 4, {ByRef(&inData.value), ByRef(&outData.value), Int4(0), smallRef, flagRef},
            &devInfoResult.value, nullptr);
  Check(hr == S_OK && devInfoResult.value.boolVal == VARIANT_TRUE, "GetDeviceInfo answers True");
  Check(small == 12, "a VT_BYREF|VT_I2 argument keeps its value");
  Check(flag == 1, "a VT_BYREF|VT_BOOL argument is written back as 1");
  bool arrayOk = outData.value.vt == (VT_ARRAY | VT_VARIANT);
  LONG lower = -1;
  LONG upper = -1;
  if (arrayOk) {
    ::SafeArrayGetLBound(outData.value.parray, 1, &lower);
    ::SafeArrayGetUBound(outData.value.parray, 1, &upper);
  }
  Check(arrayOk && lower == 0 && upper == 14, "the device information is an array 0..14");
}

// An object with a dispatch face that answers no member, for arguments that must hold one.
class SilentObject : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch)) {
      *object = static_cast<IDispatch*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }
};

SilentObject silentObject;

SAFEARRAY* Vector(VARTYPE type, LONG lower, ULONG count, bool fixed = false) {
  SAFEARRAYBOUND bound{count, lower};
  SAFEARRAY* array = ::SafeArrayCreate(type, 1, &bound);
  if (fixed) array->fFeatures |= FADF_FIXEDSIZE;
  return array;
}

VARIANT ArrayRef(VARTYPE type, SAFEARRAY** array) {
  VARIANT reference;
  ::VariantInit(&reference);
  reference.vt = VT_BYREF | VT_ARRAY | type;
  reference.pparray = array;
  return reference;
}

VARTYPE ElementType(SAFEARRAY* array) {
  VARTYPE type = VT_EMPTY;
  ::SafeArrayGetVartype(array, &type);
  return type;
}

LONG UpperBound(SAFEARRAY* array) {
  LONG upper = -1;
  ::SafeArrayGetUBound(array, 1, &upper);
  return upper;
}

// An argument refused before the method ran: DISP_E_EXCEPTION with scode 1004 and the bad-input
// text naming the argument at `position`, then the reason, which starts with `reason`.
bool IsRefusedArgument(HRESULT hr, EXCEPINFO& exception, int position, const wchar_t* reason) {
  const std::wstring expected = std::wstring(L"Ошибка входных параметров команды: аргумент ") +
                                std::to_wstring(position) + L": " + reason;
  const bool refused = hr == DISP_E_EXCEPTION && exception.scode == 1004 &&
                       exception.bstrDescription != nullptr &&
                       std::wstring(exception.bstrDescription).rfind(expected, 0) == 0;
  ClearException(exception);
  return refused;
}

// GetDeviceInfo (DispID 4) with InData, OutData, the time-out and an optional fourth argument.
HRESULT DeviceInfo(IDispatch* object, VARIANT inData, VARIANT outData, VARIANT timeOut, EXCEPINFO* exception,
                   const VARIANT* fourth = nullptr) {
  Variant result;
  std::vector<VARIANT> args{inData, outData, timeOut};
  if (fourth != nullptr) args.push_back(*fourth);
  return Call(object, 4, args, &result.value, exception);
}

// Typed by-reference arrays, one row per way the write-back may go.
void CheckTypedArrays(IDispatch* object) {
  Variant inData;
  EXCEPINFO exception{};
  {
    // Three null objects: the descriptor was once called as an object and took the client down.
    // Now the texts of the device information do not convert to objects, as for a single object.
    SAFEARRAY* objects = Vector(VT_DISPATCH, 0, 3);
    const HRESULT hr =
        DeviceInfo(object, ByRef(&inData.value), ArrayRef(VT_DISPATCH, &objects), Int4(0), &exception);
    Check(hr == DISP_E_EXCEPTION && exception.scode == 1001 && UpperBound(objects) == 2 &&
              ElementType(objects) == VT_DISPATCH,
          "VT_BYREF|VT_ARRAY|VT_DISPATCH as OutData: a conversion exception, the array as it was");
    ClearException(exception);
    ::SafeArrayDestroy(objects);
  }
  {
    SAFEARRAY* texts = Vector(VT_BSTR, 0, 3);
    const HRESULT hr =
        DeviceInfo(object, ByRef(&inData.value), ArrayRef(VT_BSTR, &texts), Int4(0), &exception);
    BSTR flag = nullptr;
    LONG index = 8;
    if (hr == S_OK) ::SafeArrayGetElement(texts, &index, &flag);
    Check(hr == S_OK && UpperBound(texts) == 14 && ElementType(texts) == VT_BSTR && flag != nullptr &&
              std::wstring(flag) == L"True",
          "VT_BYREF|VT_ARRAY|VT_BSTR as OutData takes the 15 device-information elements as texts");
    ::SysFreeString(flag);
    ::SafeArrayDestroy(texts);
  }
  for (VARTYPE type : {VT_BSTR, VT_VARIANT}) {
    SAFEARRAY* fixed = Vector(type, 0, 3, true);
    SAFEARRAY* before = fixed;
    const HRESULT hr = DeviceInfo(object, ByRef(&inData.value), ArrayRef(type, &fixed), Int4(0), &exception);
    Check(IsRefusedArgument(hr, exception, 2, L"массив постоянного размера") && fixed == before &&
              UpperBound(fixed) == 2,
          type == VT_BSTR
              ? "a fixed-size text array as OutData: refused before the method runs, the array kept"
              : "a fixed-size variant array as OutData: refused before the method runs, the array kept");
    ::SafeArrayDestroy(fixed);
  }
  {
    SAFEARRAY* numbers = Vector(VT_I4, 5, 3);
    SAFEARRAY* before = numbers;
    for (LONG i = 5; i < 8; ++i) {
      LONG value = i + 2;
      ::SafeArrayPutElement(numbers, &i, &value);
    }
    Variant outData;
    const HRESULT hr =
        DeviceInfo(object, ArrayRef(VT_I4, &numbers), ByRef(&outData.value), Int4(0), &exception);
    LONG last = 0;
    LONG index = 7;
    ::SafeArrayGetElement(numbers, &index, &last);
    Check(hr == S_OK && numbers == before && ElementType(numbers) == VT_I4 && last == 9,
          "VT_BYREF|VT_ARRAY|VT_I4 as InData is read and comes back as it was");
    ::SafeArrayDestroy(numbers);
  }
  {
    SAFEARRAY* wide = Vector(VT_I8, 0, 2);
    Variant outData;
    const HRESULT hr = DeviceInfo(object, ArrayRef(VT_I8, &wide), ByRef(&outData.value), Int4(0), &exception);
    Check(
        IsRefusedArgument(hr, exception, 1, L"в массив элементов типа Int64") && outData.value.vt == VT_EMPTY,
        "an array variable of a kind without a write-back row: the 1004 exception before the method runs");
    ::SafeArrayDestroy(wide);
  }
}

// By-reference kinds outside the write-back table, and a reference without storage, as a fourth
// argument: the call is refused with the 1004 exception before GetDeviceInfo runs.
void CheckReferenceKinds(IDispatch* object) {
  unsigned char storage[16];
  const VARTYPE kinds[] = {VT_I1, VT_I8, VT_UI8, VT_INT, VT_UINT, VT_ERROR, VT_DECIMAL, VT_UNKNOWN};
  bool all = true;
  for (VARTYPE kind : kinds) {
    std::memset(storage, 0, sizeof storage);
    storage[0] = 7;
    // An object reference must hold an object, whatever its kind.
    if (kind == VT_UNKNOWN) *reinterpret_cast<IUnknown**>(storage) = &silentObject;
    const unsigned char first = storage[0];
    Variant inData;
    Variant outData;
    EXCEPINFO exception{};
    const VARIANT fourth = ScalarRef(kind, storage);
    const HRESULT hr =
        DeviceInfo(object, ByRef(&inData.value), ByRef(&outData.value), Int4(0), &exception, &fourth);
    const bool refused = IsRefusedArgument(hr, exception, 4, L"в ссылку на значение") &&
                         storage[0] == first && outData.value.vt == VT_EMPTY;
    if (!refused) std::printf("    by-reference kind %u was not refused\n", kind);
    all = all && refused;
  }
  Check(
      all,
      "by-reference I1, I8, UI8, INT, UINT, ERROR, DECIMAL and UNKNOWN: the 1004 exception, nothing written");
  Variant inData;
  Variant outData;
  EXCEPINFO exception{};
  const VARIANT noText = ScalarRef(VT_BSTR, nullptr);
  const HRESULT hr =
      DeviceInfo(object, ByRef(&inData.value), ByRef(&outData.value), Int4(0), &exception, &noText);
  Check(IsRefusedArgument(hr, exception, 4, L"ссылка не указывает на значение"),
        "VT_BYREF|VT_BSTR without storage: the 1004 exception");
}

void CheckTimeOutKinds(IDispatch* object) {
  struct Case {
    VARTYPE kind;
    HRESULT expected;
  };
  bool all = true;
  for (const Case c : {Case{VT_INT, E_INVALIDARG}, Case{VT_UINT, E_INVALIDARG}, Case{VT_R8, E_INVALIDARG},
                       Case{VT_I1, S_OK}, Case{VT_UI8, S_OK}, Case{VT_BOOL, S_OK}}) {
    VARIANT timeOut;
    ::VariantInit(&timeOut);
    timeOut.vt = c.kind;
    Variant inData;
    Variant outData;
    const HRESULT hr = DeviceInfo(object, ByRef(&inData.value), ByRef(&outData.value), timeOut, nullptr);
    if (hr != c.expected) std::printf("    time-out of kind %u answered 0x%08lX\n", c.kind, hr);
    all = all && hr == c.expected;
  }
  Check(all, "a time-out of kind INT, UINT or R8 is refused, I1, UI8 and BOOL are taken");
}

void CheckInitTakesOnlyADispatchReference(IDispatch* object) {
  VARIANT unknown;
  ::VariantInit(&unknown);
  unknown.vt = VT_UNKNOWN;
  unknown.punkVal = &silentObject;
  Variant description;
  Variant result;
  const HRESULT hr = Call(object, 0, {unknown, ByRef(&description.value)}, &result.value, nullptr);
  Check(hr == S_OK && result.value.vt == VT_BOOL && result.value.boolVal == VARIANT_FALSE &&
            description.value.vt == VT_BSTR &&
            std::wstring(description.value.bstrVal) == L"Ошибка входных параметров команды",
        "Init with VT_UNKNOWN answers False with the 1004 description");
}

void CheckException(IDispatch* object) {
  // Open before Init: the device folder needs the manager, so the private method raises.
  Variant deviceId;
  deviceId.value = Text(L"1");
  Variant description;
  Variant result;
  EXCEPINFO exception{};
  const HRESULT hr = Call(object, 1, {deviceId.value, ByRef(&description.value)}, &result.value, &exception);
  Check(hr == DISP_E_EXCEPTION && exception.scode == 1001,
        "a private method's exception is DISP_E_EXCEPTION 1001");
  Check(exception.bstrDescription != nullptr &&
            std::wstring(exception.bstrDescription) == L"Менеджер оборудования недоступен",
        "the exception carries its message");
  Check(exception.bstrSource != nullptr && ::SysStringLen(exception.bstrSource) > 0,
        "the exception names its class as source");
  Check(description.value.vt == VT_EMPTY, "a failed call writes no argument");
  ClearException(exception);
}

void CheckErrorInfo(IDispatch* object) {
  ISupportErrorInfo* errorInfo = nullptr;
  const bool supported =
      SUCCEEDED(object->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&errorInfo)));
  Check(supported && errorInfo->InterfaceSupportsErrorInfo(IID_IDispatch) == S_OK &&
            errorInfo->InterfaceSupportsErrorInfo(IID_IClassFactory) == S_FALSE,
        "ISupportErrorInfo answers S_OK for IDispatch and S_FALSE for others");
  if (errorInfo != nullptr) errorInfo->Release();
  IUnknown* other = nullptr;
  Check(object->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&other)) == E_NOINTERFACE,
        "other interfaces give E_NOINTERFACE");
  UINT count = 9;
  Check(object->GetTypeInfoCount(&count) == S_OK && count == 0, "no type information");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const wchar_t* progId = argc > 1 ? argv[1] : L"hwEq.tallowmer";
  const wchar_t* module = argc > 2 ? argv[2] : L"ls_tallowmer.dll";
  ::CoInitialize(nullptr);
  CLSID clsid;
  IDispatch* object = nullptr;
  const bool created = SUCCEEDED(::CLSIDFromProgID(progId, &clsid)) &&
                       SUCCEEDED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                                    reinterpret_cast<void**>(&object)));
  Check(created, "the object is created by its ProgID");
  if (created) {
    CheckRegistry(object);
    CheckRefusals(object);
    CheckWriteBack(object);
    CheckTypedArrays(object);
    CheckReferenceKinds(object);
    CheckTimeOutKinds(object);
    CheckInitTakesOnlyADispatchReference(object);
    CheckException(object);
    CheckErrorInfo(object);
    object->Release();
  }
  // With the last reference gone the module may unload.
  HMODULE loaded = ::GetModuleHandleW(module);
  using CanUnload = HRESULT(__stdcall*)();
  auto canUnloadNow =
      loaded != nullptr ? reinterpret_cast<CanUnload>(::GetProcAddress(loaded, "DllCanUnloadNow")) : nullptr;
  Check(canUnloadNow != nullptr && canUnloadNow() == S_OK,
        "DllCanUnloadNow answers S_OK after the last release");
  ::CoUninitialize();
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
