#include "quorin_data/core/settings.hpp"

#include "quorin_data/core/errors.hpp"

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <set>

namespace quorin_data {

bool read_show_warnings() {
  const char* v = std::getenv("SHOW_WARNINGS");
  return v != nullptr && std::string(v) == "1";
}

std::string env_or(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : fallback;
}

std::optional<std::uint64_t> env_limit(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return std::nullopt;
  bool digits = true;
  for (const char* p = v; *p; ++p) digits = digits && *p >= '0' && *p <= '9';
  errno = 0;
  const unsigned long long n = digits ? std::strtoull(v, nullptr, 10) : 0;
  if (!digits || errno == ERANGE || n == 0)
    throw ValueError(std::string(name) + "=\"" + v +
                     "\" is not a valid limit: expected a positive whole number in decimal digits");
  return static_cast<std::uint64_t>(n);
}

const Settings& settings() {
  static const Settings s{read_show_warnings(), env_or("TRELUX_SANDBOX_BUCKET", "NOT_DEFINED")};
  return s;
}

namespace {
struct WarningChannel {
  std::mutex mu;
  std::set<std::string> seen;
  WarningHandler handler;
};
WarningChannel& channel() {
  static WarningChannel c;
  return c;
}
}  // namespace

void warn(const std::string& text) {
  auto& c = channel();
  WarningHandler h;
  {
    std::lock_guard<std::mutex> lock(c.mu);
    if (!c.seen.insert(text).second) return;
    h = c.handler;
  }
  if (h)
    h(text);
  else
    std::cerr << "Warning: " << text << std::endl;
}

WarningHandler set_warning_handler(WarningHandler h) {
  auto& c = channel();
  std::lock_guard<std::mutex> lock(c.mu);
  std::swap(c.handler, h);
  return h;
}

void reset_warning_registry() {
  auto& c = channel();
  std::lock_guard<std::mutex> lock(c.mu);
  c.seen.clear();
}

}  // namespace quorin_data
