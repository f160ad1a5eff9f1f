// quorin_data._boot: installs the warning handler before the module
// libraries load. Their load-time warnings ("'boto3' is not installed.", ...)
// are queued here; the package hands them to Python's warnings module once
// the extension has loaded, and later warnings go there directly.
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "quorin_data/core/settings.hpp"

namespace py = pybind11;

namespace {

struct Channel {
  std::mutex mu;
  std::vector<std::string> pending;
  std::unique_ptr<py::object> sink;  // a Python callable taking the text
};

Channel& channel() {
  // Never destroyed: the sink must not be released after the interpreter.
  static Channel* c = new Channel;
  return *c;
}

void handle(const std::string& text) {
  auto& c = channel();
  {
    std::lock_guard<std::mutex> lock(c.mu);
    if (!c.sink) {
      c.pending.push_back(text);
      return;
    }
  }
  if (!Py_IsInitialized()) return;
  py::gil_scoped_acquire gil;
  (*c.sink)(text);
}

}  // namespace

PYBIND11_MODULE(_boot, m) {
  m.doc() = "Warning channel of quorin_data, installed before the module libraries load.";
  quorin_data::set_warning_handler(handle);
  m.def("take_pending", [] {
    auto& c = channel();
    std::lock_guard<std::mutex> lock(c.mu);
    auto out = std::move(c.pending);
    c.pending.clear();
    return out;
  }, "The warnings emitted before a sink was set, in order; the queue is emptied.");
  m.def("set_sink", [](py::object sink) {
    auto& c = channel();
    std::lock_guard<std::mutex> lock(c.mu);
    c.sink = sink.is_none() ? nullptr : std::make_unique<py::object>(std::move(sink));
  }, "Sends every later warning to `sink(text)` (None queues them again).");
}
