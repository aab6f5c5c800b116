#pragma once

// The two faces of late binding across COM:
// - ComDispatchObject: the COM IDispatch a host holds for one of our objects; it translates the
//   host's VARIANTs and hands the call to the portable dispatch.
// - HostDispatch: the portable IDispatch for an object of the host (its equipment manager).

#include <windows.h>

#include <oaidl.h>

#include <atomic>

#include "common/Dispatch.h"
#include "core/com/ComHandles.h"

namespace tallowmer::com {

class ComDispatchObject final : public ::IDispatch, public ISupportErrorInfo {
 public:
  explicit ComDispatchObject(DispatchPtr core);
  ComDispatchObject(const ComDispatchObject&) = delete;
  ComDispatchObject& operator=(const ComDispatchObject&) = delete;

  ::HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  ::HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  ::HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** typeInfo) override;
  ::HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT nameCount, LCID locale,
                                            DISPID* dispIds) override;
  ::HRESULT STDMETHODCALLTYPE Invoke(DISPID dispId, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) override;

  ::HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override;

  // Driver objects alive in this module, for DllCanUnloadNow.
  static LONG LiveObjects();

 private:
  ~ComDispatchObject();

  std::atomic<ULONG> references_{1};
  DispatchPtr core_;
};

class HostDispatch final : public tallowmer::IDispatch {
 public:
  explicit HostDispatch(::IDispatch* original) : original_(original) {}

  uint32_t AddRef() override { return ++references_; }
  uint32_t Release() override;
  tallowmer::HRESULT GetTypeInfoCount(uint32_t* count) override;
  // Names resolve through GetIDsOfNames and, where an object answers only IDispatchEx (script
  // engines' classes do), through a case-insensitive GetDispID.
  tallowmer::HRESULT GetIDsOfNames(const char16_t* const* names, uint32_t nameCount,
                                   DispID* dispIds) override;
  tallowmer::HRESULT Invoke(DispID dispId, uint16_t flags, DispParams& params, OleVariant* result,
                            ExcepInfo* excepInfo) override;

  ::IDispatch* Original() const { return original_.get(); }

 private:
  std::atomic<uint32_t> references_{1};
  ComPtr<::IDispatch> original_;
};

}  // namespace tallowmer::com
