#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "norvane/tokenizer.h"

namespace norvane {

void ParallelFor(size_t n, unsigned threads, const std::function<void(size_t)>& fn) {
  unsigned workers = threads != 0 ? threads : std::max(1u, std::thread::hardware_concurrency());
  if (n < workers) workers = static_cast<unsigned>(n);
  if (workers <= 1) {
    for (size_t i = 0; i < n; ++i) fn(i);
    return;
  }
  // Items are handed out one at a time: texts differ in length, so a fixed
  // split would leave one thread idle while the other finishes a long one.
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr first_error;
  std::mutex error_mutex;
  auto work = [&] {
    while (!failed.load(std::memory_order_relaxed)) {
      const size_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= n) return;
      try {
        fn(i);
      } catch (...) {
        std::lock_guard<std::mutex> lock(error_mutex);
        if (!first_error) first_error = std::current_exception();
        failed = true;
      }
    }
  };
  std::vector<std::thread> pool;
  pool.reserve(workers - 1);
  for (unsigned k = 1; k < workers; ++k) {
    // Fewer threads than asked for still finish the work: the calling thread
    // takes whatever the others do not.
    try {
      pool.emplace_back(work);
    } catch (const std::system_error&) {
      break;
    }
  }
  work();
  for (std::thread& t : pool) t.join();
  if (first_error) std::rethrow_exception(first_error);
}

}  // namespace norvane
