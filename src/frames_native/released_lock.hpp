// Pure C++ work run without the interpreter lock.
//
// The partition functions hand the lock back while the kernels run, so that
// the threads of a scheduler compute partitions on every core. The work
// touches no Python object; a C++ exception it throws is carried across and
// rethrown once the lock is held again, where the call protocol reports it.
#pragma once

#include <Python.h>

#include <exception>
#include <optional>
#include <utility>

namespace kestrum {

template <class Work>
auto without_interpreter_lock(Work&& work) -> decltype(work()) {
  std::optional<decltype(work())> result;
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    result.emplace(work());
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

}  // namespace kestrum
