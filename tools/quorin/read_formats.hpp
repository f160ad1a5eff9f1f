// Registry of the formats `quorin read FORMAT PATH` can print. The generic
// `read` command looks the format name up here; each format's command file
// registers its handler with a static RegisterReadFormat object.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "commands.hpp"

namespace quorin_cli {

// Runs `quorin read FORMAT PATH ...`; `args` holds the parsed options (the
// positional arguments after FORMAT and PATH, if any, and the --options).
// Returns the exit status.
using ReadHandler = std::function<int(const std::string& path, const Args& args)>;

struct ReadFormat {
  ReadHandler run;
  std::vector<std::string> value_options;  // option names that take a value, e.g. "columns"
  std::vector<std::string> flag_options;   // option names without a value
  std::string usage;                       // help lines for this format
};

std::map<std::string, ReadFormat>& read_formats();
// The handlers alone, by format name.
std::map<std::string, ReadHandler>& read_handlers();

struct RegisterReadFormat {
  RegisterReadFormat(const std::string& name, ReadFormat f) {
    read_handlers()[name] = f.run;
    read_formats()[name] = std::move(f);
  }
};

}  // namespace quorin_cli
