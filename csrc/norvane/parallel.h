#pragma once
// Usage:
//   norvane::ParallelFor(n, threads, [&](size_t i) { work(i); });
//   norvane::OrderedFor(n, threads, produce, consume, unlocked);
//
// Thread safety: the functions may be called from any thread; fn and
// produce run on several threads at once and must be safe for that.
// Throws: the first exception fn, produce or consume threw, once every
// thread has stopped. A thread that cannot be started is no error: the
// threads there are, the calling one at least, do its share.

#include <cstddef>
#include <functional>

namespace norvane {

// The threads a call asked for `threads` uses: 0 means one per core. Large
// requests are capped at 16 per core, since work is split into a few pieces
// per thread and thousands of threads would only wait for a core.
unsigned WorkerCount(unsigned threads);

// Runs fn(i) for every i in [0, n) on up to `threads` native threads (0: one
// per core), the calling thread among them. The first exception thrown by fn
// is rethrown here after every thread has stopped.
void ParallelFor(size_t n, unsigned threads, const std::function<void(size_t)>& fn);

// Runs produce(i) for every i in [0, n) on up to `threads` native threads (0:
// one per core), and consume(i) on the calling thread in order of i, each as
// soon as produce(i) has finished: consuming overlaps producing. The calling
// thread produces too while the next item to consume is not ready; its
// producing and waiting run inside unlocked(step), with which a caller
// releases a lock that consume needs (the interpreter lock). The first
// exception thrown is rethrown once every thread has stopped; no consume
// runs after it.
void OrderedFor(size_t n, unsigned threads, const std::function<void(size_t)>& produce,
                const std::function<void(size_t)>& consume,
                const std::function<void(const std::function<void()>&)>& unlocked);

}  // namespace norvane
