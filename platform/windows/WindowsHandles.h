#pragma once

// The one owner of Windows handles, for every layer: each handle closes exactly once.

#include <windows.h>

#include <aclapi.h>

#include <utility>

namespace tallowmer::platform::windows {

// Traits give the handle type, its invalid value and how to close it.
template <typename Traits>
class UniqueHandle {
  using T = typename Traits::Type;
  static T Invalid() { return Traits::Invalid(); }

 public:
  UniqueHandle() = default;
  explicit UniqueHandle(T value) : value_(value) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : value_(std::exchange(other.value_, Invalid())) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    reset(std::exchange(other.value_, Invalid()));
    return *this;
  }
  ~UniqueHandle() { reset(); }

  T get() const { return value_; }
  T* put() {
    reset();
    return &value_;
  }
  T release() { return std::exchange(value_, Invalid()); }
  explicit operator bool() const { return value_ != Invalid(); }
  void reset(T value = Invalid()) {
    if (value_ != Invalid()) {
      // Closing must not clobber the error code the caller is about to report.
      const DWORD lastError = ::GetLastError();
      Traits::Close(value_);
      ::SetLastError(lastError);
    }
    value_ = value;
  }

 private:
  T value_ = Invalid();
};

// A handle that is empty as null and is released by the function `Release`.
template <typename T, auto Release>
struct ReleasedBy {
  using Type = T;
  static T Invalid() { return nullptr; }
  static void Close(T value) { Release(value); }
};

// A handle of any kind that is empty as null and closed by `Release`: GDI objects, menus, icons,
// modules, hooks, memory WinHTTP allocated for the caller.
template <typename T, auto Release>
using UniqueReleasedBy = UniqueHandle<ReleasedBy<T, Release>>;

// CreateFileW fails with INVALID_HANDLE_VALUE, not null: the one handle here with traits of its own.
struct FileTraits {
  using Type = HANDLE;
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE handle) { ::CloseHandle(handle); }
};

using UniqueFile = UniqueHandle<FileTraits>;
using UniqueLocal = UniqueReleasedBy<HLOCAL, ::LocalFree>;
using UniqueSid = UniqueReleasedBy<PSID, ::FreeSid>;
using UniqueRegKey = UniqueReleasedBy<HKEY, ::RegCloseKey>;

}  // namespace tallowmer::platform::windows
