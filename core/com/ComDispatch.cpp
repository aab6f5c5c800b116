#include "core/com/ComDispatch.h"

#include <dispex.h>

#include <deque>
#include <vector>

#include "common/Exceptions.h"
#include "common/Unicode.h"
#include "common/uEquipmentErrors.h"
#include "core/com/ComVariant.h"

namespace tallowmer::com {
namespace {

std::atomic<LONG> liveObjects{0};

// One host argument as the portable dispatch sees it, with the storage a by-reference argument
// points at during the call and the way back into the host's memory afterwards.
struct HostArgument {
  VARIANT* host = nullptr;    // what the host passed
  VARIANT* target = nullptr;  // end of its by-reference-variant chain
  OleVariant portable;
  OleVariant shadowVariant;
  int64_t shadowInteger = 0;
  int16_t shadowSmall = 0;
  int8_t shadowTiny = 0;
  uint8_t shadowByte = 0;
  float shadowSingle = 0;
  double shadowDouble = 0;
  Currency shadowCurrency{};
  std::u16string shadowText;
  DispatchPtr shadowDispatch;
  SafeArrayPtr shadowArray;
  SafeArray* arrayBefore = nullptr;
};

// A typed reference for a by-reference slot of the host, or false when the kind is one the
// portable side cannot point at (the value is then passed as a copy and not written back).
bool BindTypedReference(HostArgument& argument, const VARIANT& slot, OleVariant& reference) {
  void* data = slot.byref;
  if (data == nullptr) return false;
  switch (slot.vt & VT_TYPEMASK) {
    case VT_I1:
      argument.shadowTiny = *static_cast<int8_t*>(data);
      reference = OleVariant::RefShortInt(&argument.shadowTiny);
      return true;
    case VT_UI1:
      argument.shadowByte = *static_cast<uint8_t*>(data);
      reference = OleVariant::RefByte(&argument.shadowByte);
      return true;
    case VT_I2:
      argument.shadowSmall = *static_cast<int16_t*>(data);
      reference = OleVariant::RefSmallint(&argument.shadowSmall);
      return true;
    case VT_UI2:
      argument.shadowSmall = static_cast<int16_t>(*static_cast<uint16_t*>(data));
      reference = OleVariant::RefWord(reinterpret_cast<uint16_t*>(&argument.shadowSmall));
      return true;
    case VT_I4:
    case VT_INT:
      argument.shadowInteger = *static_cast<int32_t*>(data);
      reference = OleVariant::RefInteger(reinterpret_cast<int32_t*>(&argument.shadowInteger));
      return true;
    case VT_UI4:
    case VT_UINT:
      argument.shadowInteger = *static_cast<uint32_t*>(data);
      reference = OleVariant::RefLongWord(reinterpret_cast<uint32_t*>(&argument.shadowInteger));
      return true;
    case VT_I8:
      argument.shadowInteger = *static_cast<int64_t*>(data);
      reference = OleVariant::RefInt64(&argument.shadowInteger);
      return true;
    case VT_R4:
      argument.shadowSingle = *static_cast<float*>(data);
      reference = OleVariant::RefSingle(&argument.shadowSingle);
      return true;
    case VT_R8:
      argument.shadowDouble = *static_cast<double*>(data);
      reference = OleVariant::RefDouble(&argument.shadowDouble);
      return true;
    case VT_DATE:
      argument.shadowDouble = *static_cast<double*>(data);
      reference = OleVariant::RefDate(&argument.shadowDouble);
      return true;
    case VT_CY:
      argument.shadowCurrency.value = static_cast<CY*>(data)->int64;
      reference = OleVariant::RefCurrency(&argument.shadowCurrency);
      return true;
    case VT_BOOL:
      argument.shadowSmall = *static_cast<VARIANT_BOOL*>(data);
      reference = OleVariant::RefBoolean(&argument.shadowSmall);
      return true;
    case VT_BSTR:
      argument.shadowText = FromBstr(*static_cast<BSTR*>(data));
      reference = OleVariant::RefOleStr(&argument.shadowText);
      return true;
    case VT_DISPATCH:
      argument.shadowDispatch = FromComDispatch(*static_cast<::IDispatch**>(data));
      reference = OleVariant::RefDispatch(&argument.shadowDispatch);
      return true;
    default:
      return false;
  }
}

void WriteTypedReference(HostArgument& argument, VARIANT& slot) {
  void* data = slot.byref;
  switch (slot.vt & VT_TYPEMASK) {
    case VT_I1:
      *static_cast<int8_t*>(data) = argument.shadowTiny;
      break;
    case VT_UI1:
      *static_cast<uint8_t*>(data) = argument.shadowByte;
      break;
    case VT_I2:
    case VT_BOOL:
      *static_cast<int16_t*>(data) = argument.shadowSmall;
      break;
    case VT_UI2:
      *static_cast<uint16_t*>(data) = static_cast<uint16_t>(argument.shadowSmall);
      break;
    case VT_I4:
    case VT_INT:
    case VT_UI4:
    case VT_UINT:
      *static_cast<int32_t*>(data) = static_cast<int32_t>(argument.shadowInteger);
      break;
    case VT_I8:
      *static_cast<int64_t*>(data) = argument.shadowInteger;
      break;
    case VT_R4:
      *static_cast<float*>(data) = argument.shadowSingle;
      break;
    case VT_R8:
    case VT_DATE:
      *static_cast<double*>(data) = argument.shadowDouble;
      break;
    case VT_CY:
      static_cast<CY*>(data)->int64 = argument.shadowCurrency.value;
      break;
    case VT_BSTR: {
      BSTR& text = *static_cast<BSTR*>(data);
      if (FromBstr(text) != argument.shadowText) {
        ::SysFreeString(text);
        text = ToBstr(argument.shadowText);
      }
      break;
    }
    case VT_DISPATCH: {
      ::IDispatch*& object = *static_cast<::IDispatch**>(data);
      ::IDispatch* replacement = ToComDispatch(argument.shadowDispatch);
      if (object != nullptr) object->Release();
      object = replacement;
      break;
    }
    default:
      break;
  }
}

bool SameShape(const SafeArray& value, SAFEARRAY* host) {
  if (host == nullptr || ::SafeArrayGetDim(host) != static_cast<UINT>(value.DimensionCount())) return false;
  for (int d = 1; d <= value.DimensionCount(); ++d) {
    LONG lower = 0;
    LONG upper = 0;
    ::SafeArrayGetLBound(host, static_cast<UINT>(d), &lower);
    ::SafeArrayGetUBound(host, static_cast<UINT>(d), &upper);
    if (lower != value.LowBound(d) || upper != value.HighBound(d)) return false;
  }
  return true;
}

// Writes an array back into a host's array variable. Script engines' fixed-size arrays must keep
// their descriptor, so an array of the same shape is written element by element; another shape
// replaces the descriptor only where the host's array may be freed, and is dropped otherwise.
void WriteArray(const SafeArray& value, SAFEARRAY*& host) {
  if (SameShape(value, host)) {
    VARIANT* elements = nullptr;
    if (FAILED(::SafeArrayAccessData(host, reinterpret_cast<void**>(&elements)))) return;
    for (size_t i = 0; i < value.Elements().size(); ++i) {
      ::VariantClear(&elements[i]);
      ToComVariant(value.Elements()[i], &elements[i]);
    }
    ::SafeArrayUnaccessData(host);
    return;
  }
  constexpr USHORT kNotFreeable = FADF_AUTO | FADF_STATIC | FADF_EMBEDDED | FADF_FIXEDSIZE;
  if (host != nullptr && ((host->fFeatures & kNotFreeable) != 0 || FAILED(::SafeArrayDestroy(host)))) return;
  UniqueVariant converted;
  ToComVariant(OleVariant::Array(std::make_unique<SafeArray>(value)), converted.get());
  host = converted.release().parray;
}

// The host's arguments for one call, in the platform's order (last argument first).
class HostArguments {
 public:
  explicit HostArguments(DISPPARAMS* params) {
    const UINT count = params != nullptr ? params->cArgs : 0;
    for (UINT i = 0; i < count; ++i) Bind(params->rgvarg[i]);
    for (HostArgument& argument : arguments_) portable_.push_back(argument.portable);
  }

  DispParams Portable() { return DispParams{portable_.data(), static_cast<uint32_t>(portable_.size())}; }

  // Copies what the call left in the by-reference targets back into the host's memory. By-value
  // arguments belong to the caller and stay as they were.
  void WriteBack() {
    for (HostArgument& argument : arguments_) {
      if (argument.target == nullptr) continue;
      VARIANT& target = *argument.target;
      if ((target.vt & VT_BYREF) == 0) {
        ::VariantClear(&target);
        ToComVariant(argument.shadowVariant, &target);
      } else if (target.vt == (VT_BYREF | VT_ARRAY | VT_VARIANT)) {
        if (argument.shadowArray.get() != argument.arrayBefore && argument.shadowArray) {
          WriteArray(*argument.shadowArray, *target.pparray);
        }
      } else {
        WriteTypedReference(argument, target);
      }
    }
  }

 private:
  void Bind(VARIANT& host) {
    HostArgument& argument = arguments_.emplace_back();
    argument.host = &host;
    if ((host.vt & VT_BYREF) == 0) {
      argument.portable = FromComVariant(host);
      return;
    }
    VARIANT* target = &host;
    while (target->vt == (VT_BYREF | VT_VARIANT) && target->pvarVal != nullptr) target = target->pvarVal;
    OleVariant reference;
    if ((target->vt & VT_BYREF) == 0) {
      argument.shadowVariant = FromComVariant(*target);
      argument.target = target;
      argument.portable = OleVariant::RefVariant(&argument.shadowVariant);
      return;
    }
    if (target->vt == (VT_BYREF | VT_ARRAY | VT_VARIANT) && target->pparray != nullptr) {
      OleVariant copy = FromComVariant(*target);
      argument.shadowArray =
          copy.ArrayValue() != nullptr ? std::make_unique<SafeArray>(*copy.ArrayValue()) : nullptr;
      argument.arrayBefore = argument.shadowArray.get();
      argument.target = target;
      reference = OleVariant::RefArray(&argument.shadowArray);
    } else if (BindTypedReference(argument, *target, reference)) {
      argument.target = target;
    } else {
      argument.portable = FromComVariant(*target);
      return;
    }
    // A reference reached through variant links stays one link away, as the host built it.
    if (target != &host) {
      argument.shadowVariant = reference;
      argument.portable = OleVariant::RefVariant(&argument.shadowVariant);
    } else {
      argument.portable = reference;
    }
  }

  std::deque<HostArgument> arguments_;
  std::vector<OleVariant> portable_;
};

void FillExcepInfo(EXCEPINFO* target, const ExcepInfo& source) {
  if (target == nullptr) return;
  target->scode = source.scode;
  target->bstrDescription = ToBstr(source.description);
  target->bstrSource = ToBstr(source.source);
}

}  // namespace

ComDispatchObject::ComDispatchObject(DispatchPtr core) : core_(std::move(core)) {
  ++liveObjects;
}

ComDispatchObject::~ComDispatchObject() {
  --liveObjects;
}

LONG ComDispatchObject::LiveObjects() {
  return liveObjects;
}

::HRESULT ComDispatchObject::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch)) {
    *object = static_cast<::IDispatch*>(this);
  } else if (IsEqualIID(iid, IID_ISupportErrorInfo)) {
    *object = static_cast<ISupportErrorInfo*>(this);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG ComDispatchObject::AddRef() {
  return ++references_;
}

ULONG ComDispatchObject::Release() {
  const ULONG remaining = --references_;
  if (remaining == 0) delete this;
  return remaining;
}

::HRESULT ComDispatchObject::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_INVALIDARG;
  *count = 0;
  return S_OK;
}

::HRESULT ComDispatchObject::GetTypeInfo(UINT, LCID, ITypeInfo**) {
  return E_NOTIMPL;
}

::HRESULT ComDispatchObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT nameCount, LCID, DISPID* dispIds) {
  static_assert(sizeof(OLECHAR) == sizeof(char16_t));
  if (names == nullptr) return E_INVALIDARG;
  const auto* first = reinterpret_cast<const char16_t*>(names[0]);
  return core_->GetIDsOfNames(&first, nameCount, reinterpret_cast<DispID*>(dispIds));
}

::HRESULT ComDispatchObject::Invoke(DISPID dispId, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                    VARIANT* result, EXCEPINFO* excepInfo, UINT*) {
  try {
    HostArguments arguments(params);
    DispParams portable = arguments.Portable();
    OleVariant portableResult;
    ExcepInfo exception;
    const tallowmer::HRESULT hr =
        core_->Invoke(dispId, flags, portable, result != nullptr ? &portableResult : nullptr, &exception);
    if (hr == hrDispException) FillExcepInfo(excepInfo, exception);
    if (hr != hrOk) return hr;
    arguments.WriteBack();
    if (result != nullptr) ToComVariant(portableResult, result);
    return S_OK;
  } catch (const std::exception& error) {
    FillExcepInfo(excepInfo, ExcepInfo{kResultUnknownError, u"Exception", Utf8ToUtf16(error.what())});
    return DISP_E_EXCEPTION;
  } catch (...) {
    FillExcepInfo(excepInfo, ExcepInfo{kResultUnknownError, u"Exception",
                                       Utf8ToUtf16(GetResultDescription(kResultUnknownError, ""))});
    return DISP_E_EXCEPTION;
  }
}

::HRESULT ComDispatchObject::InterfaceSupportsErrorInfo(REFIID iid) {
  const bool implemented = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
                           IsEqualIID(iid, IID_ISupportErrorInfo);
  return implemented ? S_OK : S_FALSE;
}

uint32_t HostDispatch::Release() {
  const uint32_t remaining = --references_;
  if (remaining == 0) delete this;
  return remaining;
}

tallowmer::HRESULT HostDispatch::GetTypeInfoCount(uint32_t* count) {
  UINT value = 0;
  const ::HRESULT hr = original_->GetTypeInfoCount(&value);
  if (count != nullptr) *count = value;
  return hr;
}

tallowmer::HRESULT HostDispatch::GetIDsOfNames(const char16_t* const* names, uint32_t, DispID* dispIds) {
  if (names == nullptr || names[0] == nullptr || dispIds == nullptr) return E_INVALIDARG;
  LPOLESTR name = const_cast<LPOLESTR>(reinterpret_cast<const OLECHAR*>(names[0]));
  DISPID id = DISPID_UNKNOWN;
  ::HRESULT hr = original_->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) {
    ComPtr<IDispatchEx> extended;
    if (SUCCEEDED(
            original_->QueryInterface(__uuidof(IDispatchEx), reinterpret_cast<void**>(extended.put())))) {
      const UniqueBstr nameText(::SysAllocString(name));
      hr = extended->GetDispID(nameText.get(), fdexNameCaseInsensitive, &id);
    }
  }
  dispIds[0] = id;
  return hr;
}

tallowmer::HRESULT HostDispatch::Invoke(DispID dispId, uint16_t flags, DispParams& params, OleVariant* result,
                                        ExcepInfo* excepInfo) {
  // By-reference variants travel as VT_BYREF|VT_VARIANT to a temporary that comes back afterwards.
  std::vector<UniqueVariant> values(params.count);
  std::vector<VARIANTARG> arguments(params.count);
  for (uint32_t i = 0; i < params.count; ++i) {
    const OleVariant& argument = params.args[i];
    ToComVariant(argument, values[i].get());
    if (argument.IsVariantRef()) {
      ::VariantInit(&arguments[i]);
      arguments[i].vt = VT_BYREF | VT_VARIANT;
      arguments[i].pvarVal = values[i].get();
    } else {
      arguments[i] = values[i].release();
    }
  }
  DISPPARAMS hostParams{arguments.data(), nullptr, static_cast<UINT>(params.count), 0};
  UniqueVariant hostResult;
  EXCEPINFO hostException{};
  const ::HRESULT hr = original_->Invoke(dispId, IID_NULL, LOCALE_USER_DEFAULT, flags, &hostParams,
                                         hostResult.get(), &hostException, nullptr);
  const UniqueBstr description(hostException.bstrDescription);
  const UniqueBstr source(hostException.bstrSource);
  const UniqueBstr helpFile(hostException.bstrHelpFile);
  for (uint32_t i = 0; i < params.count; ++i) {
    if (params.args[i].IsVariantRef()) {
      params.args[i].Resolved() = FromComVariant(*values[i].get());
    } else {
      ::VariantClear(&arguments[i]);
    }
  }
  if (hr == DISP_E_EXCEPTION && excepInfo != nullptr) {
    excepInfo->scode = hostException.scode != 0 ? hostException.scode : hostException.wCode;
    excepInfo->description = FromBstr(description.get());
    excepInfo->source = FromBstr(source.get());
  }
  if (SUCCEEDED(hr) && result != nullptr) *result = FromComVariant(*hostResult.get());
  return hr;
}

}  // namespace tallowmer::com
