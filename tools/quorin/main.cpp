// quorin: look at and change the object store, decode local files and compute
// indicators from a shell. Errors print one line on stderr and exit non-zero.
#include <iostream>

#include "commands.hpp"
#include "quorin_data/core/errors.hpp"

namespace quorin_cli {

std::map<std::string, Command>& registry() {
  static std::map<std::string, Command> r;
  return r;
}

bool Args::has(const std::string& name) const {
  for (const auto& [k, v] : options)
    if (k == name) return true;
  return false;
}

std::optional<std::string> Args::get(const std::string& name) const {
  std::optional<std::string> out;
  for (const auto& [k, v] : options)
    if (k == name) out = v;  // the last one wins
  return out;
}

std::string Args::get_or(const std::string& name, const std::string& fallback) const {
  auto v = get(name);
  return v ? *v : fallback;
}

static bool contains(const std::vector<std::string>& v, const std::string& s) {
  for (const auto& x : v)
    if (x == s) return true;
  return false;
}

std::vector<std::string> split_list(const std::string& s) {
  std::vector<std::string> out;
  std::size_t b = 0;
  for (;;) {
    auto c = s.find(',', b);
    std::string item = s.substr(b, c == std::string::npos ? std::string::npos : c - b);
    auto f = item.find_first_not_of(' '), l = item.find_last_not_of(' ');
    if (f != std::string::npos) out.push_back(item.substr(f, l - f + 1));
    if (c == std::string::npos) break;
    b = c + 1;
  }
  return out;
}

Args parse_args(const std::vector<std::string>& argv, const std::vector<std::string>& flag_names,
                const std::vector<std::string>& value_names, bool allow_unknown) {
  Args a;
  bool options_done = false;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const std::string& s = argv[i];
    if (options_done || s.size() < 3 || s.compare(0, 2, "--") != 0) {
      if (s == "--") {
        options_done = true;
        continue;
      }
      a.positional.push_back(s);
      continue;
    }
    std::string name = s.substr(2), value;
    bool inline_value = false;
    if (auto eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      inline_value = true;
    }
    if (contains(flag_names, name)) {
      if (inline_value) throw UsageError("option --" + name + " takes no value");
      a.options.emplace_back(name, "");
      continue;
    }
    if (!contains(value_names, name) && !allow_unknown) throw UsageError("unknown option --" + name);
    if (!inline_value) {
      if (i + 1 >= argv.size()) throw UsageError("option --" + name + " needs a value");
      value = argv[++i];
    }
    a.options.emplace_back(name, value);
  }
  return a;
}

}  // namespace quorin_cli

static void print_overview() {
  std::cout << "usage: quorin COMMAND [ARGS...]   (quorin COMMAND --help for details)\n\ncommands:\n";
  for (const auto& [name, cmd] : quorin_cli::registry())
    std::cout << "  " << name << std::string(name.size() < 12 ? 12 - name.size() : 1, ' ')
              << cmd.summary << "\n";
}

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    print_overview();
    return args.empty() ? 2 : 0;
  }
  auto& reg = quorin_cli::registry();
  auto it = reg.find(args[0]);
  if (it == reg.end()) {
    std::cerr << "quorin: unknown command '" << args[0] << "' (see quorin --help)\n";
    return 2;
  }
  std::vector<std::string> rest(args.begin() + 1, args.end());
  for (const auto& a : rest) {
    if (a == "--") break;  // every word after it is an argument
    if (a == "--help" || a == "-h") {
      std::cout << it->second.usage << "\n";
      return 0;
    }
  }
  try {
    return it->second.run(rest);
  } catch (const quorin_cli::UsageError& e) {
    std::cerr << "quorin " << args[0] << ": " << e.what() << "\n" << it->second.usage << "\n";
    return 2;
  } catch (const std::exception& e) {
    std::string msg = e.what();
    for (auto& c : msg)
      if (c == '\n') c = ' ';
    std::cerr << "quorin " << args[0] << ": error: " << msg << "\n";
    return 1;
  }
}
