// Independent tasks on a few threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

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
  std::vector<std::thread> helpers;
  helpers.reserve(threads - 1);
  for (size_t t = 1; t < threads; ++t) helpers.emplace_back(work);
  work();
  for (std::thread& helper : helpers) helper.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace kestrum
