#pragma once

// Owners for the COM and OLE Automation resources the binding touches.

#include <windows.h>

#include <oleauto.h>

#include <utility>

#include "platform/windows/WindowsHandles.h"

namespace tallowmer::com {

// A counted COM reference (like wil::com_ptr, which does not build with mingw).
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  explicit ComPtr(T* object) : object_(object) {
    if (object_ != nullptr) object_->AddRef();
  }
  ComPtr(const ComPtr& other) : ComPtr(other.object_) {}
  ComPtr(ComPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~ComPtr() { reset(); }

  static ComPtr Attach(T* object) {
    ComPtr result;
    result.object_ = object;
    return result;
  }
  T* get() const { return object_; }
  T* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  T** put() {
    reset();
    return &object_;
  }
  void reset() {
    if (object_ != nullptr) std::exchange(object_, nullptr)->Release();
  }
  T* detach() { return std::exchange(object_, nullptr); }

 private:
  T* object_ = nullptr;
};

class UniqueBstr {
 public:
  UniqueBstr() = default;
  explicit UniqueBstr(BSTR value) : value_(value) {}
  UniqueBstr(const UniqueBstr&) = delete;
  UniqueBstr& operator=(const UniqueBstr&) = delete;
  ~UniqueBstr() { ::SysFreeString(value_); }
  BSTR get() const { return value_; }
  BSTR release() { return std::exchange(value_, nullptr); }

 private:
  BSTR value_ = nullptr;
};

class UniqueSafeArray {
 public:
  UniqueSafeArray() = default;
  explicit UniqueSafeArray(SAFEARRAY* value) : value_(value) {}
  UniqueSafeArray(const UniqueSafeArray&) = delete;
  UniqueSafeArray& operator=(const UniqueSafeArray&) = delete;
  ~UniqueSafeArray() {
    if (value_ != nullptr) ::SafeArrayDestroy(value_);
  }
  SAFEARRAY* get() const { return value_; }
  SAFEARRAY* release() { return std::exchange(value_, nullptr); }

 private:
  SAFEARRAY* value_ = nullptr;
};

// A VARIANT that is cleared when it goes.
class UniqueVariant {
 public:
  UniqueVariant() { ::VariantInit(&value_); }
  UniqueVariant(const UniqueVariant&) = delete;
  UniqueVariant& operator=(const UniqueVariant&) = delete;
  ~UniqueVariant() { ::VariantClear(&value_); }
  VARIANT* get() { return &value_; }
  VARIANT release() {
    VARIANT result = value_;
    ::VariantInit(&value_);
    return result;
  }

 private:
  VARIANT value_;
};

using platform::windows::UniqueRegKey;

}  // namespace tallowmer::com
