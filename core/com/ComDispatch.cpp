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
  VARIANT* target = nullptr;  // end of the host's by-reference-variant chain; null for by-value
  OleVariant portable;
  OleVariant shadowVariant;
  int64_t shadowInteger = 0;
  int16_t shadowSmall = 0;
  uint8_t shadowByte = 0;
  float shadowSingle = 0;
  double shadowDouble = 0;
  Currency shadowCurrency{};
  std::u16string shadowText;
  DispatchPtr shadowDispatch;
  SafeArrayPtr shadowArray;
};

// A reference for a by-reference slot of the host. Kinds the write-back stores into get a typed
// shadow; every other kind, and a slot without storage, gets a reference that reads the value and
// takes nothing back, so the portable side refuses the call instead of losing the result.
OleVariant BindReference(HostArgument& argument, const VARIANT& slot) {
  const VARTYPE kind = slot.vt & VT_TYPEMASK;
  if ((slot.vt & VT_ARRAY) != 0) {
    // The SAFEARRAY** is never read as anything but an array variable.
    if (slot.pparray == nullptr) return OleVariant::RefArray(nullptr, kind);
    const OleVariant copy = FromComVariant(slot);
    if (copy.ArrayValue() != nullptr) argument.shadowArray = std::make_unique<SafeArray>(*copy.ArrayValue());
    return OleVariant::RefArray(&argument.shadowArray, kind);
  }
  void* data = slot.byref;
  if (data == nullptr) return OleVariant::RefOther(nullptr);
  switch (kind) {
    case VT_UI1:
      argument.shadowByte = *static_cast<uint8_t*>(data);
      return OleVariant::RefByte(&argument.shadowByte);
    case VT_I2:
      argument.shadowSmall = *static_cast<int16_t*>(data);
      return OleVariant::RefSmallint(&argument.shadowSmall);
    case VT_UI2:
      argument.shadowSmall = static_cast<int16_t>(*static_cast<uint16_t*>(data));
      return OleVariant::RefWord(reinterpret_cast<uint16_t*>(&argument.shadowSmall));
    case VT_I4:
      argument.shadowInteger = *static_cast<int32_t*>(data);
      return OleVariant::RefInteger(reinterpret_cast<int32_t*>(&argument.shadowInteger));
    case VT_UI4:
      argument.shadowInteger = *static_cast<uint32_t*>(data);
      return OleVariant::RefLongWord(reinterpret_cast<uint32_t*>(&argument.shadowInteger));
    case VT_R4:
      argument.shadowSingle = *static_cast<float*>(data);
      return OleVariant::RefSingle(&argument.shadowSingle);
    case VT_R8:
      argument.shadowDouble = *static_cast<double*>(data);
      return OleVariant::RefDouble(&argument.shadowDouble);
    case VT_DATE:
      argument.shadowDouble = *static_cast<double*>(data);
      return OleVariant::RefDate(&argument.shadowDouble);
    case VT_CY:
      argument.shadowCurrency.value = static_cast<CY*>(data)->int64;
      return OleVariant::RefCurrency(&argument.shadowCurrency);
    case VT_BOOL:
      argument.shadowSmall = *static_cast<VARIANT_BOOL*>(data);
      return OleVariant::RefBoolean(&argument.shadowSmall);
    case VT_BSTR:
      argument.shadowText = FromBstr(*static_cast<BSTR*>(data));
      return OleVariant::RefOleStr(&argument.shadowText);
    case VT_DISPATCH:
      argument.shadowDispatch = FromComDispatch(*static_cast<::IDispatch**>(data));
      return OleVariant::RefDispatch(&argument.shadowDispatch);
    default:
      argument.shadowVariant = FromComVariant(slot);
      return OleVariant::RefOther(&argument.shadowVariant);
  }
}

void WriteTypedReference(HostArgument& argument, VARIANT& slot) {
  void* data = slot.byref;
  switch (slot.vt & VT_TYPEMASK) {
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
    case VT_UI4:
      *static_cast<int32_t*>(data) = static_cast<int32_t>(argument.shadowInteger);
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
      // Kinds without a typed shadow never get here: the portable side refused the call.
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

// Writes an array back into a host's array variable, each element by the variable's element type.
// Script engines' fixed-size arrays must keep their descriptor, so an array of the same shape is
// written element by element; another shape replaces the descriptor where the host's array may be
// freed, and is refused with the bad-input exception where it may not.
void WriteArray(const SafeArray& value, VARTYPE elementType, SAFEARRAY*& host) {
  if (SameShape(value, host)) {
    PutElements(value, host);
    return;
  }
  UniqueSafeArray replacement(ToSafeArray(value, elementType));
  constexpr USHORT kNotFreeable = FADF_AUTO | FADF_STATIC | FADF_EMBEDDED | FADF_FIXEDSIZE;
  if (host != nullptr && ((host->fFeatures & kNotFreeable) != 0 || FAILED(::SafeArrayDestroy(host)))) {
    throw EquException(kResultBadInput, GetResultDescription(kResultBadInput, ""));
  }
  host = replacement.release();
}

// The end of a chain of variant references; a chain that does not end (it loops) gives null.
VARIANT* EndOfChain(VARIANT& host) {
  constexpr int kMaxLinks = 64;
  VARIANT* link = &host;
  for (int links = 0; link->vt == (VT_BYREF | VT_VARIANT) && link->pvarVal != nullptr; ++links) {
    if (links == kMaxLinks) return nullptr;
    link = link->pvarVal;
  }
  return link;
}

// The host's arguments for one call, in the platform's order (last argument first).
class HostArguments {
 public:
  explicit HostArguments(DISPPARAMS* params) {
    count_ = params != nullptr ? params->cArgs : 0;
    // Arguments announced without their array reach the portable side as such, which refuses them.
    if (count_ == 0 || params->rgvarg == nullptr) return;
    for (UINT i = 0; i < count_; ++i) Bind(params->rgvarg[i]);
    for (HostArgument& argument : arguments_) portable_.push_back(argument.portable);
  }

  DispParams Portable() { return DispParams{portable_.empty() ? nullptr : portable_.data(), count_}; }

  // Copies what the call left in the by-reference targets back into the host's memory. By-value
  // arguments belong to the caller and stay as they were.
  void WriteBack() {
    for (HostArgument& argument : arguments_) {
      if (argument.target == nullptr) continue;
      VARIANT& target = *argument.target;
      if ((target.vt & VT_BYREF) == 0) {
        ::VariantClear(&target);
        ToComVariant(argument.shadowVariant, &target);
      } else if ((target.vt & VT_ARRAY) != 0) {
        if (argument.shadowArray) WriteArray(*argument.shadowArray, target.vt & VT_TYPEMASK, *target.pparray);
      } else {
        WriteTypedReference(argument, target);
      }
    }
  }

 private:
  void Bind(VARIANT& host) {
    HostArgument& argument = arguments_.emplace_back();
    if ((host.vt & VT_BYREF) == 0) {
      argument.portable = FromComVariant(host);
      return;
    }
    VARIANT* target = EndOfChain(host);
    OleVariant reference;
    if (target == nullptr || target->vt == (VT_BYREF | VT_VARIANT)) {
      // A chain that loops or ends in a null link has no place to store into.
      reference = OleVariant::RefOther(nullptr);
    } else if ((target->vt & VT_BYREF) == 0) {
      argument.shadowVariant = FromComVariant(*target);
      argument.target = target;
      argument.portable = OleVariant::RefVariant(&argument.shadowVariant);
      return;
    } else {
      reference = BindReference(argument, *target);
      argument.target = target;
    }
    // A reference reached through variant links stays one link away, as the host built it.
    if (target != &host) {
      argument.shadowVariant = reference;
      argument.portable = OleVariant::RefVariant(&argument.shadowVariant);
    } else {
      argument.portable = reference;
    }
  }

  uint32_t count_ = 0;
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
  } catch (const Exception& error) {
    FillExcepInfo(excepInfo,
                  ExcepInfo{kResultUnknownError, Utf8ToUtf16(error.ClassName()), Utf8ToUtf16(error.what())});
    return DISP_E_EXCEPTION;
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
