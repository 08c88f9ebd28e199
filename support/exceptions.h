// The exception classes of the program. Every failure that reaches the user is
// printed with its class name and message ("ERROR EFOpenError: ..."), so each
// class reports the name it is known by.
#pragma once

#include <exception>
#include <new>
#include <string>

namespace hv {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }
  void SetMessage(std::string message) { message_ = std::move(message); }

  virtual const char* ClassName() const noexcept { return "Exception"; }

 private:
  std::string message_;
};

#define HV_DECLARE_EXCEPTION(Name, Base)                                   \
  class Name : public Base {                                             \
   public:                                                               \
    using Base::Base;                                                    \
    const char* ClassName() const noexcept override { return #Name; }    \
  }

// Stopping a command: the immediate abort and the delayed one derive from it.
HV_DECLARE_EXCEPTION(EAbort, Exception);

HV_DECLARE_EXCEPTION(EConvertError, Exception);
HV_DECLARE_EXCEPTION(ERangeError, Exception);
HV_DECLARE_EXCEPTION(EStringError, Exception);
HV_DECLARE_EXCEPTION(EOSError, Exception);
HV_DECLARE_EXCEPTION(EInOutError, Exception);
HV_DECLARE_EXCEPTION(EListError, Exception);

HV_DECLARE_EXCEPTION(EStreamError, Exception);
HV_DECLARE_EXCEPTION(EFOpenError, EStreamError);
HV_DECLARE_EXCEPTION(EFCreateError, EStreamError);
HV_DECLARE_EXCEPTION(EReadError, EStreamError);
HV_DECLARE_EXCEPTION(EWriteError, EStreamError);

HV_DECLARE_EXCEPTION(ERegularExpressionError, Exception);
HV_DECLARE_EXCEPTION(EDigestError, Exception);

// Fixed texts shared by more than one unit.
inline constexpr char kStreamReadError[] = "Stream read error";
inline constexpr char kStreamWriteError[] = "Stream write error";

// The class name under which any exception reaches the user.
inline const char* ExceptionClassName(const std::exception& e) noexcept {
  if (const auto* own = dynamic_cast<const Exception*>(&e)) return own->ClassName();
  if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr) return "EOutOfMemory";
  return "Exception";
}

}  // namespace hv
