#include "core/com/ComDispatch.h"

#include <dispex.h>

#include <new>
#include <vector>

#include "common/Exceptions.h"
#include "common/Unicode.h"
#include "common/uEquipmentErrors.h"
#include "core/com/ComVariant.h"
#include "core/com/HostArguments.h"

namespace tallowmer::com {
namespace {

std::atomic<LONG> liveObjects{0};

// The thread's error object tells the same as the exception record: interop layers (.NET's among
// them) build their message from it, and an object left by an earlier call would tell them
// another call's failure.
void PublishErrorInfo(const ExcepInfo& source) {
  ComPtr<ICreateErrorInfo> creator;
  ComPtr<IErrorInfo> info;
  if (SUCCEEDED(::CreateErrorInfo(creator.put()))) {
    std::u16string description = source.description;
    std::u16string origin = source.source;
    creator->SetGUID(IID_IDispatch);
    creator->SetDescription(reinterpret_cast<LPOLESTR>(description.data()));
    creator->SetSource(reinterpret_cast<LPOLESTR>(origin.data()));
    creator->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(info.put()));
  }
  ::SetErrorInfo(0, info.get());
}

::HRESULT ReportException(EXCEPINFO* target, const ExcepInfo& source) {
  if (target != nullptr) {
    target->scode = source.scode;
    target->bstrDescription = ToBstr(source.description);
    target->bstrSource = ToBstr(source.source);
  }
  PublishErrorInfo(source);
  return DISP_E_EXCEPTION;
}

// A record of arguments that cannot be what it says: more names than arguments, or names counted
// without their list.
bool MalformedNames(const DISPPARAMS& params) {
  return params.cNamedArgs > params.cArgs || (params.cNamedArgs > 0 && params.rgdispidNamedArgs == nullptr);
}

// Reports a failure caught at the boundary; where even its record cannot be made for want of
// memory, the host gets E_OUTOFMEMORY instead of an exception.
template <typename MakeRecord>
::HRESULT ReportFailure(EXCEPINFO* target, MakeRecord makeRecord) noexcept {
  try {
    return ReportException(target, makeRecord());
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

::HRESULT InvokeCore(tallowmer::IDispatch& core, DISPID dispId, WORD flags, DISPPARAMS* params,
                     VARIANT* result, EXCEPINFO* excepInfo) {
  if (MalformedNames(*params)) return E_INVALIDARG;
  HostArguments arguments(params);
  DispParams portable = arguments.Portable();
  OleVariant portableResult;
  ExcepInfo exception;
  const tallowmer::HRESULT hr =
      core.Invoke(dispId, flags, portable, result != nullptr ? &portableResult : nullptr, &exception);
  if (hr == hrDispException) {
    // An argument refused here reached the dispatch as one nothing can be stored into, which it
    // refuses before any method runs; the refusal here knows which argument and why.
    if (const ArgumentRefusal* refusal = arguments.Refusal()) {
      exception.scode = refusal->code;
      exception.description = Utf8ToUtf16(refusal->description);
    }
    return ReportException(excepInfo, exception);
  }
  if (hr != hrOk) return hr;
  arguments.WriteBack();
  if (result != nullptr) ToComVariant(portableResult, result);
  return S_OK;
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
  // Without a name there is nothing to resolve, and the caller's slots stay as they are.
  if (names == nullptr || nameCount == 0) return E_INVALIDARG;
  const auto* first = reinterpret_cast<const char16_t*>(names[0]);
  try {
    return core_->GetIDsOfNames(&first, nameCount, reinterpret_cast<DispID*>(dispIds));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

::HRESULT ComDispatchObject::Invoke(DISPID dispId, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                    VARIANT* result, EXCEPINFO* excepInfo, UINT*) {
  ::HRESULT hr = E_INVALIDARG;
  try {
    // Without the arguments' record there is no call to make.
    if (params != nullptr) hr = InvokeCore(*core_.get(), dispId, flags, params, result, excepInfo);
  } catch (const Exception& error) {
    hr = ReportFailure(excepInfo, [&] {
      return ExcepInfo{kResultUnknownError, Utf8ToUtf16(error.ClassName()), Utf8ToUtf16(error.what())};
    });
  } catch (const std::exception& error) {
    hr = ReportFailure(excepInfo, [&] {
      return ExcepInfo{kResultUnknownError, u"Exception", Utf8ToUtf16(error.what())};
    });
  } catch (...) {
    hr = ReportFailure(excepInfo, [] {
      return ExcepInfo{kResultUnknownError, u"Exception",
                       Utf8ToUtf16(GetResultDescription(kResultUnknownError, ""))};
    });
  }
  if (hr != DISP_E_EXCEPTION) ::SetErrorInfo(0, nullptr);
  return hr;
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
    ToComVariant(argument, values[i].put());
    if (argument.IsVariantRef()) {
      ::VariantInit(&arguments[i]);
      arguments[i].vt = VT_BYREF | VT_VARIANT;
      arguments[i].pvarVal = values[i].get();
    } else {
      // The callee only reads a value passed by value; `values` keeps owning it.
      arguments[i] = *values[i].get();
    }
  }
  DISPPARAMS hostParams{arguments.data(), nullptr, static_cast<UINT>(params.count), 0};
  UniqueVariant hostResult;
  EXCEPINFO hostException{};
  const ::HRESULT hr = original_->Invoke(dispId, IID_NULL, LOCALE_USER_DEFAULT, flags, &hostParams,
                                         hostResult.put(), &hostException, nullptr);
  // An object may leave its texts to be filled in only when someone asks for them.
  if (hr == DISP_E_EXCEPTION && hostException.pfnDeferredFillIn != nullptr) {
    hostException.pfnDeferredFillIn(&hostException);
  }
  const UniqueBstr description(hostException.bstrDescription);
  const UniqueBstr source(hostException.bstrSource);
  const UniqueBstr helpFile(hostException.bstrHelpFile);
  for (uint32_t i = 0; i < params.count; ++i) {
    if (params.args[i].IsVariantRef()) params.args[i].Resolved() = FromComVariant(*values[i].get());
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
