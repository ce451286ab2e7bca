// Internal failures: a violated invariant, never a consequence of bad input
// that the module reports itself. The call protocol turns a Panic into
// PanicException; the code that throws it needs no Python.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace kestrum {

class Panic : public std::exception {
 public:
  Panic(std::string message, std::source_location where) : message_(std::move(message)), where_(where) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

[[noreturn]] inline void panic(std::string message, std::source_location where = std::source_location::current()) {
  throw Panic(std::move(message), where);
}

}  // namespace kestrum

#define KESTRUM_ASSERT(condition)                                          \
  do {                                                                     \
    if (!(condition)) ::kestrum::panic("assertion failed: " #condition); \
  } while (0)
