#include "store/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

namespace quorin_data::store::detail {

void run_indexed(std::size_t n, std::size_t workers, const std::function<void(std::size_t)>& fn) {
  workers = std::min(workers, n);
  if (workers <= 1) {
    for (std::size_t i = 0; i < n; ++i) fn(i);
    return;
  }
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex mu;
  std::size_t failed_index = std::numeric_limits<std::size_t>::max();
  std::exception_ptr failure;
  auto work = [&] {
    for (;;) {
      if (failed.load()) return;
      const std::size_t i = next.fetch_add(1);
      if (i >= n) return;
      try {
        fn(i);
      } catch (...) {
        std::lock_guard<std::mutex> l(mu);
        if (i < failed_index) {
          failed_index = i;
          failure = std::current_exception();
        }
        failed = true;
      }
    }
  };
  std::vector<std::thread> threads;
  threads.reserve(workers - 1);
  try {
    for (std::size_t t = 1; t < workers; ++t) threads.emplace_back(work);
  } catch (...) {
    // No thread to spare: the ones started and the caller share the work.
  }
  work();
  for (auto& t : threads) t.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace quorin_data::store::detail
