#pragma once

#include <string>
#include <utility>

#include "pelk/PelkEnums.h"

namespace pelk {

// The one error value the kit hands to the app: a code (an ErrorCode text, or
// the code a server reply carried) and a message.
class PelkError {
 public:
  PelkError(std::string code, std::string message) : code_(std::move(code)), message_(std::move(message)) {}
  PelkError(ErrorCode code, std::string message) : code_(rawValue(code)), message_(std::move(message)) {}

  const std::string& code() const { return code_; }
  const std::string& message() const { return message_; }

  friend bool operator==(const PelkError& a, const PelkError& b) {
    return a.code_ == b.code_ && a.message_ == b.message_;
  }

 private:
  std::string code_;
  std::string message_;
};

}  // namespace pelk
