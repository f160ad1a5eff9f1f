// Subcommand registry of the `quorin` tool. Each cmd_*.cpp registers its
// subcommands with a static QUORIN_COMMAND object.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorin_cli {

// Parsed command line of one subcommand: positional arguments and --options.
// "--name value" and "--name=value" are options; flags listed in
// `flag_names` take no value; "--" ends option parsing.
struct Args {
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> options;  // in order, repeats kept
  bool has(const std::string& name) const;
  std::optional<std::string> get(const std::string& name) const;
  std::string get_or(const std::string& name, const std::string& fallback) const;
};

// A usage error: printed with the subcommand's usage line, exit status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

Args parse_args(const std::vector<std::string>& argv, const std::vector<std::string>& flag_names,
                const std::vector<std::string>& value_names, bool allow_unknown = false);

// A comma-separated list, each item trimmed of spaces; empty items dropped.
std::vector<std::string> split_list(const std::string& s);

struct Command {
  std::string name;
  std::string summary;  // one line for `quorin --help`
  std::string usage;    // full help text for `quorin NAME --help`
  std::function<int(const std::vector<std::string>& argv)> run;  // argv after the name
};

std::map<std::string, Command>& registry();

struct Register {
  explicit Register(Command c) { registry()[c.name] = std::move(c); }
};

}  // namespace quorin_cli

#define QUORIN_CONCAT2(a, b) a##b
#define QUORIN_CONCAT(a, b) QUORIN_CONCAT2(a, b)
#define QUORIN_COMMAND(...) \
  static ::quorin_cli::Register QUORIN_CONCAT(quorin_register_, __LINE__)(::quorin_cli::Command{__VA_ARGS__})
