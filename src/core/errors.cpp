#include "quorin_data/core/errors.hpp"

namespace quorin_data {

std::string truncate_to(const std::string& s, std::size_t n) {
  return s.size() <= n ? s : s.substr(0, n);
}

std::string argument_type_message(const std::string& name, const std::string& expected,
                                  const std::string& got) {
  return "Argument '" + truncate_to(name, 200) + "' has incorrect type (expected " +
         truncate_to(expected, 200) + ", got " + truncate_to(got, 200) + ")";
}

void throw_argument_type(const std::string& name, const std::string& expected,
                         const std::string& got) {
  throw TypeError(argument_type_message(name, expected, got));
}

static std::string store_message(const std::string& code, const std::string& message, int status,
                                 const std::string& request_id, const std::string& operation,
                                 const std::string& resource) {
  std::string m = "An error occurred (" + (code.empty() ? std::string("Unknown") : code) + ")";
  if (!operation.empty()) m += " when calling the " + operation + " operation";
  m += ": " + (message.empty() ? std::string("(no message)") : message);
  if (!resource.empty()) m += " [" + resource + "]";
  m += " (HTTP " + std::to_string(status);
  if (!request_id.empty()) m += ", request id " + request_id;
  m += ")";
  return m;
}

StoreError::StoreError(std::string code, std::string message, int http_status,
                       std::string request_id, std::string operation, std::string resource)
    : Error(ErrorKind::Store,
            store_message(code, message, http_status, request_id, operation, resource)),
      code_(std::move(code)),
      service_message_(std::move(message)),
      http_status_(http_status),
      request_id_(std::move(request_id)),
      operation_(std::move(operation)) {}

static std::string format_message(const std::string& format, const std::string& source,
                                  const std::string& place, const std::string& what) {
  std::string m = format + " error";
  if (!source.empty()) m += " in " + source;
  if (!place.empty()) m += " at " + place;
  m += ": " + what;
  return m;
}

FormatError::FormatError(std::string format, std::string source, std::string place,
                         std::string what)
    : Error(ErrorKind::Format, format_message(format, source, place, what)),
      format_(std::move(format)),
      source_(std::move(source)),
      place_(std::move(place)) {}

FormatError::FormatError(Whole, std::string format, std::string source, std::string place, const std::string& message)
    : Error(ErrorKind::Format, message),
      format_(std::move(format)),
      source_(std::move(source)),
      place_(std::move(place)) {}

PythonPickleError::PythonPickleError(const std::string& source)
    : FormatError(Whole{}, "pickle", source, "offset 0",
                  source + " was written by Python's pickle, not by quorin_data's \"pickle\" format. It is "
                           "not unpickled implicitly: unpickling runs code that the object names. If you "
                           "trust where it comes from, read it with allow_python_pickle=True.") {}

}  // namespace quorin_data
