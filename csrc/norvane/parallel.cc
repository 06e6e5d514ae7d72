#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "norvane/parallel.h"

namespace norvane {

unsigned WorkerCount(unsigned threads) {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  return threads != 0 ? std::min(threads, 16 * cores) : cores;
}

namespace {

unsigned WorkersFor(size_t n, unsigned threads) {
  const unsigned workers = WorkerCount(threads);
  return n < workers ? static_cast<unsigned>(n) : workers;
}

// Starts work on up to workers - 1 new threads and joins them when destroyed.
// Fewer threads than asked for still finish the work: the calling thread
// takes whatever the others do not.
class Pool {
 public:
  template <class Work>
  Pool(unsigned workers, const Work& work) {
    threads_.reserve(workers > 0 ? workers - 1 : 0);
    for (unsigned k = 1; k < workers; ++k) {
      try {
        threads_.emplace_back(work);
      } catch (const std::system_error&) {
        break;
      }
    }
  }
  ~Pool() { Join(); }
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  void Join() {
    for (std::thread& t : threads_) t.join();
    threads_.clear();
  }

 private:
  std::vector<std::thread> threads_;
};

// The first exception of any thread, and whether one was thrown.
class FirstError {
 public:
  void Catch() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!error_) error_ = std::current_exception();
    failed_ = true;
  }
  bool failed() const { return failed_.load(std::memory_order_relaxed); }
  void Rethrow() const {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  std::mutex mutex_;
  std::exception_ptr error_;
  std::atomic<bool> failed_{false};
};

}  // namespace

void ParallelFor(size_t n, unsigned threads, const std::function<void(size_t)>& fn) {
  const unsigned workers = WorkersFor(n, threads);
  if (workers <= 1) {
    for (size_t i = 0; i < n; ++i) fn(i);
    return;
  }
  // Items are handed out one at a time: texts differ in length, so a fixed
  // split would leave one thread idle while the other finishes a long one.
  std::atomic<size_t> next{0};
  FirstError error;
  auto work = [&] {
    while (!error.failed()) {
      const size_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= n) return;
      try {
        fn(i);
      } catch (...) {
        error.Catch();
      }
    }
  };
  {
    Pool pool(workers, work);
    work();
  }
  error.Rethrow();
}

void OrderedFor(size_t n, unsigned threads, const std::function<void(size_t)>& produce,
                const std::function<void(size_t)>& consume,
                const std::function<void(const std::function<void()>&)>& unlocked) {
  std::atomic<size_t> next{0};
  std::vector<char> done(n, 0);  // guarded by mutex
  std::mutex mutex;
  std::condition_variable finished;
  FirstError error;
  // Produces the next unclaimed item; false when none is left.
  auto produce_next = [&] {
    const size_t i = next.fetch_add(1, std::memory_order_relaxed);
    if (i >= n) return false;
    try {
      produce(i);
    } catch (...) {
      error.Catch();
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      done[i] = 1;
    }
    finished.notify_all();
    return true;
  };
  auto work = [&] {
    while (!error.failed() && produce_next()) {
    }
  };
  Pool pool(WorkersFor(n, threads), work);
  auto stop = [&] {
    next.store(n, std::memory_order_relaxed);
    unlocked([&] { pool.Join(); });
  };
  try {
    for (size_t i = 0; i < n && !error.failed();) {
      bool ready;
      {
        std::lock_guard<std::mutex> lock(mutex);
        ready = done[i] != 0;
      }
      if (ready) {
        if (!error.failed()) consume(i++);
        continue;
      }
      unlocked([&] {
        if (produce_next()) return;
        std::unique_lock<std::mutex> lock(mutex);
        finished.wait(lock, [&] { return done[i] != 0; });
      });
    }
  } catch (...) {
    stop();
    throw;
  }
  stop();
  error.Rethrow();
}

}  // namespace norvane
