// Failures of the engine. None of them is an argument error: the module maps
// InternalError to RuntimeError, CapacityOverflow and std::bad_alloc to
// MemoryError, and Cancelled to the exception that the cancellation check left
// pending.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <new>
#include <stdexcept>
#include <string>

namespace velmora {

// A failure that ends the call without a result.
class InternalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A size whose byte count cannot even be represented.
class CapacityOverflow : public std::bad_alloc {
 public:
  const char* what() const noexcept override { return "capacity overflow"; }
};

// The cancellation check asked the computation to stop.
class Cancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "cancelled"; }
};

// Polled by long computations; `poll` returns true when they must stop.
class CancelCheck {
 public:
  using PollFn = bool (*)(void*);

  CancelCheck() = default;
  CancelCheck(PollFn poll, void* context) : poll_(poll), context_(context) {}

  void check() const {
    if (poll_ != nullptr && poll_(context_)) throw Cancelled();
  }

 private:
  PollFn poll_ = nullptr;
  void* context_ = nullptr;
};

// Number of bytes of `count` elements of `size` bytes, or CapacityOverflow when
// that exceeds what an allocation can ever ask for.
std::size_t checked_bytes(std::size_t count, std::size_t size);

// Sum of byte counts, or CapacityOverflow.
std::size_t checked_sum(std::initializer_list<std::size_t> bytes);

// Throws std::bad_alloc when `bytes` exceed the machine's memory (RAM and
// swap together), so that a request that can never be served fails at once
// instead of being granted by overcommit and then killed by the kernel.
void ensure_fits_in_memory(std::size_t bytes);

}  // namespace velmora
