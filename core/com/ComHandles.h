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

// SafeArrayDestroy without its recursion: arrays of variants nested in each other, however deep (a
// host's or an equipment manager's value may nest 200,000 levels), are taken apart one level after
// another.
void DestroyArray(SAFEARRAY* array) noexcept;

// Strings and arrays of OLE Automation through the one owner template, so they move and reset
// like every other handle.
using UniqueBstr = platform::windows::UniqueReleasedBy<BSTR, ::SysFreeString>;
using UniqueSafeArray = platform::windows::UniqueReleasedBy<SAFEARRAY*, DestroyArray>;

// VariantClear without its recursion (see DestroyArray).
void ClearVariant(VARIANT& value) noexcept;

// A VARIANT that is cleared when it goes. A variant is a value, not a handle, so it has an owner of
// its own beside the template, with the same face: get, put (which clears what it held first, for
// a function that fills in a fresh variant), release and reset.
class UniqueVariant {
 public:
  UniqueVariant() { ::VariantInit(&value_); }
  UniqueVariant(const UniqueVariant&) = delete;
  UniqueVariant& operator=(const UniqueVariant&) = delete;
  UniqueVariant(UniqueVariant&& other) noexcept : value_(other.release()) {}
  UniqueVariant& operator=(UniqueVariant&& other) noexcept {
    if (this != &other) {
      reset();
      value_ = other.release();
    }
    return *this;
  }
  ~UniqueVariant() { ClearVariant(value_); }
  VARIANT* get() { return &value_; }
  VARIANT* put() {
    reset();
    return &value_;
  }
  void reset() {
    ClearVariant(value_);
    ::VariantInit(&value_);
  }
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
