// Sections of the library demo. Each demo/*.cpp registers one or more
// sections; the demo runs them in order of `order`, against the local S3
// server that `./run demo` starts (AWS_ENDPOINT_URL_S3 points at it) and the
// bucket "quorin-demo".
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace quorin_demo {

struct Section {
  int order;
  std::string title;
  std::function<void()> run;  // prints what it does to stdout; throws on failure
};

std::vector<Section>& sections();

struct RegisterSection {
  explicit RegisterSection(Section s) { sections().push_back(std::move(s)); }
};

}  // namespace quorin_demo

#define QUORIN_DEMO_CONCAT2(a, b) a##b
#define QUORIN_DEMO_CONCAT(a, b) QUORIN_DEMO_CONCAT2(a, b)
#define QUORIN_DEMO_SECTION(order, title, fn) \
  static ::quorin_demo::RegisterSection QUORIN_DEMO_CONCAT(quorin_demo_section_, __LINE__)({order, title, fn})
