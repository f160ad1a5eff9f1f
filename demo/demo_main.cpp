// The library demo: runs every registered section in order and prints what
// each does. A failing section ends the demo with a non-zero exit status.
#include <algorithm>
#include <exception>
#include <iostream>

#include "sections.hpp"

namespace quorin_demo {
std::vector<Section>& sections() {
  static std::vector<Section> s;
  return s;
}
}  // namespace quorin_demo

int main() {
  auto all = quorin_demo::sections();
  std::stable_sort(all.begin(), all.end(),
                   [](const quorin_demo::Section& a, const quorin_demo::Section& b) { return a.order < b.order; });
  std::cout << "quorin_data demo: " << all.size() << " sections\n";
  for (const auto& s : all) {
    std::cout << "\n=== " << s.order << ". " << s.title << " ===" << std::endl;
    try {
      s.run();
    } catch (const std::exception& e) {
      std::cout.flush();
      std::cerr << "demo section \"" << s.title << "\" failed: " << e.what() << std::endl;
      return 1;
    }
    std::cout.flush();
  }
  std::cout << "\ndemo finished: every section ran" << std::endl;
  return 0;
}
