// Error kinds of quorin_data. Every failure is raised as one of these; the
// message texts that callers match on are built by the helpers below.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace quorin_data {

enum class ErrorKind {
  Value,      // bad argument value / bad format name
  Type,       // argument of the wrong kind
  Assertion,  // violated precondition
  Name,       // undefined name (a missing optional component)
  Key,        // lookup of a missing key
  Store,      // object store answered with a service error
  Transport,  // connection / DNS / timeout / TLS failure
  Format,     // bytes that do not decode
  Index,      // position out of range
  Runtime,    // anything else
};

class Error : public std::runtime_error {
 public:
  Error(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  ErrorKind kind() const noexcept { return kind_; }

 private:
  ErrorKind kind_;
};

class ValueError : public Error {
 public:
  explicit ValueError(const std::string& m) : Error(ErrorKind::Value, m) {}
};

class TypeError : public Error {
 public:
  explicit TypeError(const std::string& m) : Error(ErrorKind::Type, m) {}
};

class AssertionError : public Error {
 public:
  explicit AssertionError(const std::string& m) : Error(ErrorKind::Assertion, m) {}
};

// Raised when a call needs a component (an SDK handle, a service handle) that
// was not available when its module loaded.
class NameError : public Error {
 public:
  explicit NameError(const std::string& m) : Error(ErrorKind::Name, m) {}
};

class KeyError : public Error {
 public:
  explicit KeyError(const std::string& m) : Error(ErrorKind::Key, m) {}
};

class IndexError : public Error {
 public:
  explicit IndexError(const std::string& m) : Error(ErrorKind::Index, m) {}
};

class RuntimeError : public Error {
 public:
  explicit RuntimeError(const std::string& m) : Error(ErrorKind::Runtime, m) {}
};

// A service error answered by the object store (any HTTP status >= 300 that
// carries, or stands for, an error code).
class StoreError : public Error {
 public:
  StoreError(std::string code, std::string message, int http_status, std::string request_id,
             std::string operation = {}, std::string resource = {});
  const std::string& code() const noexcept { return code_; }
  const std::string& service_message() const noexcept { return service_message_; }
  int http_status() const noexcept { return http_status_; }
  const std::string& request_id() const noexcept { return request_id_; }
  const std::string& operation() const noexcept { return operation_; }

 private:
  std::string code_, service_message_;
  int http_status_;
  std::string request_id_, operation_;
};

// A failure below the service: no connection, timeout, TLS, bad endpoint,
// missing credentials.
class TransportError : public Error {
 public:
  explicit TransportError(const std::string& m) : Error(ErrorKind::Transport, m) {}
};

// Bytes that do not decode. `source` names the object or file, `place` the
// offset/line/row, `what` what was expected or found.
class FormatError : public Error {
 public:
  FormatError(std::string format, std::string source, std::string place, std::string what);
  const std::string& format() const noexcept { return format_; }
  const std::string& source() const noexcept { return source_; }
  const std::string& place() const noexcept { return place_; }

 protected:
  // A message given whole rather than composed from the parts.
  struct Whole {};
  FormatError(Whole, std::string format, std::string source, std::string place, const std::string& message);

 private:
  std::string format_, source_, place_;
};

// A "pickle" object that Python's pickle module wrote, not our serialization.
// It is never unpickled implicitly: unpickling runs code that the object
// names, so a caller opts in (the Python package's allow_python_pickle).
class PythonPickleError : public FormatError {
 public:
  explicit PythonPickleError(const std::string& source);
};

// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
std::string argument_type_message(const std::string& name, const std::string& expected,
                                  const std::string& got);
[[noreturn]] void throw_argument_type(const std::string& name, const std::string& expected,
                                      const std::string& got);

// Truncates a text to at most n bytes, as the %.Ns conversions of the
// message templates do.
std::string truncate_to(const std::string& s, std::size_t n);

}  // namespace quorin_data
