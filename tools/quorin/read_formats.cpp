// Registry of the formats of `quorin read`.
#include "read_formats.hpp"

namespace quorin_cli {

std::map<std::string, ReadFormat>& read_formats() {
  static std::map<std::string, ReadFormat> m;
  return m;
}

std::map<std::string, ReadHandler>& read_handlers() {
  static std::map<std::string, ReadHandler> m;
  return m;
}

}  // namespace quorin_cli
