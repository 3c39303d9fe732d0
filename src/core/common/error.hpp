// The one shape of every core error type: a kind, which the Python layer maps
// to an exception class, and the message text, formatted once by the factory
// that made the error. An error that wraps another keeps it as its cause, so
// the Python layer can report the wrapped error as that error's own exception.
//
//   class CodecError : public Error<CodecErrorKind> { ... static factories ... };
//   class CorpusError : public Error<CorpusErrorKind, codec::CodecError> { ... };
//
// Two errors are equal when kind, message and cause are.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace marrowfin {

// The cause of an error type that wraps nothing.
struct NoCause {
  friend bool operator==(const NoCause&, const NoCause&) = default;
};

template <class Kind, class Cause = NoCause>
class Error {
 public:
  Kind kind() const noexcept { return kind_; }
  const std::string& message() const noexcept { return message_; }
  // The wrapped error, or nullptr when this one wraps none.
  const Cause* cause() const noexcept { return cause_ ? &*cause_ : nullptr; }

  friend bool operator==(const Error&, const Error&) = default;

 protected:
  Error(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  Error(Kind kind, std::string message, Cause cause)
      : kind_(kind), message_(std::move(message)), cause_(std::in_place, std::move(cause)) {}

 private:
  Kind kind_;
  std::string message_;
  std::optional<Cause> cause_;
};

}  // namespace marrowfin
