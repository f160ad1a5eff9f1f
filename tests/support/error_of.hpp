#pragma once
// The text of the exception a call raises ("no error" when it returns), so
// that a test can compare a message exactly.
#include <exception>
#include <string>

template <class F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}
