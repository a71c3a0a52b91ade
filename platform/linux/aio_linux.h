// Shared by the Linux queues of platform/aio.h.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "platform/aio.h"

namespace os::aio::detail {

// depth buffers of one stride each, page-aligned, as one mapping.
class Buffers {
 public:
  Buffers(std::uint32_t depth, std::size_t bufferSize)
      : stride_((bufferSize + 4095) & ~std::size_t{4095}), size_(stride_ * depth) {
    void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    base_ = p == MAP_FAILED ? nullptr : static_cast<std::byte*>(p);
  }
  ~Buffers() {
    if (base_) munmap(base_, size_);
  }
  Buffers(const Buffers&) = delete;
  Buffers& operator=(const Buffers&) = delete;
  bool Ok() const { return base_ != nullptr; }
  std::byte* At(std::uint32_t slot) const { return base_ + stride_ * slot; }
  std::size_t Stride() const { return stride_; }

 private:
  std::size_t stride_, size_;
  std::byte* base_ = nullptr;
};

// Plain positioned transfers, in the calling thread (depth 1) or in a pool
// of depth threads; nullptr with the last error set.
std::unique_ptr<Queue> OpenSync(int fd, std::size_t bufferSize);
std::unique_ptr<Queue> OpenThreadPool(int fd, std::uint32_t depth, std::size_t bufferSize);

}  // namespace os::aio::detail
