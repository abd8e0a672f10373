// A malloc-backed array whose storage can be handed over to a foreign owner
// (the module gives it to a NumPy array without copying).
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>

#include "core/error.hpp"

namespace velmora {

template <class T>
class HeapArray {
 public:
  HeapArray() = default;
  // `count` uninitialised elements of a trivial type.
  explicit HeapArray(std::size_t count) : size_(count) {
    if (count != 0) {
      data_ = static_cast<T*>(std::malloc(checked_bytes(count, sizeof(T))));
      if (data_ == nullptr) throw std::bad_alloc();
    }
  }
  HeapArray(const HeapArray&) = delete;
  HeapArray& operator=(const HeapArray&) = delete;
  HeapArray(HeapArray&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}
  HeapArray& operator=(HeapArray&& o) noexcept {
    if (this != &o) {
      std::free(data_);
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
    }
    return *this;
  }
  ~HeapArray() { std::free(data_); }

  T* data() { return data_; }
  const T* data() const { return data_; }
  std::size_t size() const { return size_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }

  // Gives up ownership: the caller must std::free the returned pointer
  // (null for an empty array).
  T* release() noexcept {
    size_ = 0;
    return std::exchange(data_, nullptr);
  }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace velmora
