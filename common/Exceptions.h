#pragma once

// The one exception hierarchy of the system. Every error raised by our code and by the routines it
// relies on derives from Exception; ClassName() is what a host sees as the source of a failure.

#include <stdexcept>
#include <string>

namespace tallowmer {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  virtual const char* ClassName() const noexcept { return "Exception"; }
  std::string Message() const { return what(); }
};

// A class's name and its base cannot stand in parentheses.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define TALLOWMER_EXCEPTION_CLASS(Name, Base)                         \
  class Name : public Base {                                          \
   public:                                                            \
    using Base::Base;                                                 \
    const char* ClassName() const noexcept override { return #Name; } \
  }
// NOLINTEND(bugprone-macro-parentheses)

// A value that cannot be converted to the requested kind.
TALLOWMER_EXCEPTION_CLASS(EConvertError, Exception);
// A number outside the range of the requested kind.
TALLOWMER_EXCEPTION_CLASS(ERangeError, Exception);
// A file that cannot be opened, written or closed.
TALLOWMER_EXCEPTION_CLASS(EInOutError, Exception);
// An operating-system call that failed.
TALLOWMER_EXCEPTION_CLASS(EOSError, Exception);
// A late-bound call on another object that failed.
TALLOWMER_EXCEPTION_CLASS(EOleException, Exception);

#undef TALLOWMER_EXCEPTION_CLASS

}  // namespace tallowmer
