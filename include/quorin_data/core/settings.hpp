// Process settings read from the environment once, and the warning channel.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace quorin_data {

// True exactly when the environment variable SHOW_WARNINGS equals "1": the
// only reader of the variable. This reads it now; settings() keeps what it
// read first, for the modules' SHOW_WARNINGS values.
bool read_show_warnings();

// The environment variable `name`, or `fallback` when it is unset.
std::string env_or(const char* name, const std::string& fallback);

// A limit from the environment variable `name`: a positive whole number in
// decimal digits, or nullopt when the variable is unset or empty. Any other
// text (a sign, a unit, a fraction, 0, a number past 64 bits) is refused with
// ValueError naming the variable and its value, so that a limit someone set
// is never silently replaced by the default.
std::optional<std::uint64_t> env_limit(const char* name);

struct Settings {
  bool show_warnings;   // SHOW_WARNINGS == "1"
  std::string bucket;   // TRELUX_SANDBOX_BUCKET, else "NOT_DEFINED"
};
// Read on first use, then fixed for the process: the modules' SHOW_WARNINGS
// and bucketry's BUCKET.
const Settings& settings();

// Emits `text` through the warning channel, at most once per process for each
// text. The default handler writes "Warning: <text>" to stderr.
void warn(const std::string& text);
// Replaces the handler (nullptr restores the default). Returns the old one.
using WarningHandler = std::function<void(const std::string&)>;
WarningHandler set_warning_handler(WarningHandler h);
// Forgets which texts were already emitted (for tests).
void reset_warning_registry();

}  // namespace quorin_data
