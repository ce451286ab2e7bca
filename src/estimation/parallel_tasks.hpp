// Independent tasks on a few threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <vector>

// MinGW's win32 thread model has no std::thread to start (nor a mutex):
// there the tasks run one after another on the calling thread, with the
// same results, since a task's result never depends on where it ran.
#if defined(__GLIBCXX__) && !defined(_GLIBCXX_HAS_GTHREADS)
#define KESTRUM_TASKS_ON_ONE_THREAD 1
#else
#include <thread>
#endif

namespace kestrum {

// task(0), ..., task(count - 1), each once, on up to `threads` threads; the
// first exception a task throws is rethrown here.
template <class Task>
void run_tasks(size_t count, size_t threads, const Task& task) {
  threads = std::max<size_t>(1, std::min(threads, count));
  std::atomic<size_t> next{0};
  std::exception_ptr failure;  // written by the one task that sets failed
  std::atomic<bool> failed{false};
  auto work = [&] {
    for (size_t t = next++; t < count; t = next++) {
      try {
        task(t);
      } catch (...) {
        if (!failed.exchange(true)) failure = std::current_exception();
      }
    }
  };
#ifdef KESTRUM_TASKS_ON_ONE_THREAD
  (void)threads;
  work();
#else
  std::vector<std::thread> helpers;
  helpers.reserve(threads - 1);
  for (size_t t = 1; t < threads; ++t) helpers.emplace_back(work);
  work();
  for (std::thread& helper : helpers) helper.join();
#endif
  if (failure) std::rethrow_exception(failure);
}

}  // namespace kestrum
