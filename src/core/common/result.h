// Error values of the core. Core operations never throw: they return a
// `Result<T>` (a value or an `Error`) and the Python binding alone maps the
// error kind to an exception class.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace karvalith {

enum class ErrorKind {
  NotFound,      // a named collection or document does not exist
  InvalidInput,  // the caller's input is malformed or inconsistent
  InvalidData,   // stored bytes (snapshot, log, sealed blob) fail to decode or check
  Io,            // the operating system refused a file operation
  Busy,          // another handle holds what the call needs (a data directory's lock)
  Other,         // an encoding failure or similar, reported with its message
  Internal,      // a state the code treats as impossible
  Cancelled,     // the caller's Progress asked the call to stop (progress.h)
};

struct Error {
  ErrorKind kind;
  std::string message;
};

template <class T>
using Result = std::expected<T, Error>;

using Status = std::expected<void, Error>;

inline std::unexpected<Error> make_error(ErrorKind kind, std::string message) {
  return std::unexpected<Error>(Error{kind, std::move(message)});
}

}  // namespace karvalith
