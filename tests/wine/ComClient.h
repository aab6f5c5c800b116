// What every late-bound test client needs: the driver's method names in DispID order, owners for a
// VARIANT, a COM reference and an exception's strings, and the argument forms a script host builds.

#pragma once

#include <windows.h>

#include <objbase.h>
#include <oleauto.h>

#include <string>
#include <utility>
#include <vector>

namespace com_client {

inline const wchar_t* const kMethodNames[] = {
    L"Init",          L"Open",           L"Close",           L"ShowSettingsDlg",
    L"GetDeviceInfo", L"Enable",         L"Disable",         L"GetSettings",
    L"SetSettings",   L"CheckHealth",    L"GetCustomerData", L"RegisterCustomer",
    L"CreateOrder",   L"CloseOrder",     L"CancelOrder",     L"GetAvailableProduct",
    L"VerifyClient",  L"VerifyPromocode"};
inline constexpr DISPID kMethodCount = 18;

// Owns one VARIANT.
class Variant {
 public:
  Variant() { ::VariantInit(&value); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  ~Variant() { ::VariantClear(&value); }
  VARIANT value;
};

// Owns one COM reference.
template <typename T>
class Ref {
 public:
  Ref() = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() {
    if (pointer_ != nullptr) pointer_->Release();
  }
  T* get() const { return pointer_; }
  // Releases what it holds first: a reference reused for a second call must not leak the first.
  T** put() {
    if (pointer_ != nullptr) std::exchange(pointer_, nullptr)->Release();
    return &pointer_;
  }

 private:
  T* pointer_ = nullptr;
};

// Frees the strings a callee put into an exception and makes it ready for the next call.
inline void ClearException(EXCEPINFO& exception) {
  ::SysFreeString(exception.bstrSource);
  ::SysFreeString(exception.bstrDescription);
  ::SysFreeString(exception.bstrHelpFile);
  exception = EXCEPINFO{};
}

// A new string variant; the receiver owns it.
inline VARIANT Text(const std::wstring& text) {
  VARIANT v;
  ::VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return v;
}

inline VARIANT Int4(LONG value) {
  VARIANT v;
  ::VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}

// A variable passed by reference, as script hosts pass every argument.
inline VARIANT ByRef(VARIANT* target) {
  VARIANT reference;
  ::VariantInit(&reference);
  reference.vt = VT_BYREF | VT_VARIANT;
  reference.pvarVal = target;
  return reference;
}

// A typed variable passed by reference (VT_BYREF | type), as compiled hosts pass one.
inline VARIANT ScalarRef(VARTYPE type, void* data) {
  VARIANT reference;
  ::VariantInit(&reference);
  reference.vt = VT_BYREF | type;
  reference.byref = data;
  return reference;
}

// The bytes of every heap of the process that are in use. Unlike the private bytes, free space
// that a heap keeps after a large call does not count, so growth here is memory nobody released.
inline SIZE_T HeapBytesInUse() {
  std::vector<HANDLE> heaps(256);
  const DWORD count = ::GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
  SIZE_T total = 0;
  for (DWORD i = 0; i < count && i < heaps.size(); ++i) {
    PROCESS_HEAP_ENTRY entry{};
    if (!::HeapLock(heaps[i])) continue;
    while (::HeapWalk(heaps[i], &entry)) {
      if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) total += entry.cbData;
    }
    ::HeapUnlock(heaps[i]);
  }
  return total;
}

// The driver's object through its ProgID, as a host creates it; null when COM cannot make it.
inline IDispatch* CreateDriver() {
  CLSID clsid;
  IDispatch* object = nullptr;
  if (FAILED(::CLSIDFromProgID(L"hwEq.tallowmer", &clsid)) ||
      FAILED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                reinterpret_cast<void**>(&object)))) {
    return nullptr;
  }
  return object;
}

}  // namespace com_client
