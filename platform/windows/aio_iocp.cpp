// The queue on Windows: overlapped transfers on a completion port of the
// queue's own, one OVERLAPPED per slot.
#include <vector>

#include "platform/aio.h"
#include "platform/windows/internal.h"

namespace os::aio {
namespace {

using os::detail::Native;

class IocpQueue final : public Queue {
 public:
  IocpQueue(::HANDLE file, ::HANDLE port, std::byte* buffers, std::size_t stride,
            std::uint32_t depth)
      : file_(file), port_(port), buffers_(buffers), stride_(stride), overlapped_(depth) {}
  ~IocpQueue() override {
    // Transfers still in flight write into the buffers: they end first.
    ::CancelIo(file_);
    while (outstanding_ > 0) {
      ::DWORD n = 0;
      ULONG_PTR key = 0;
      OVERLAPPED* o = nullptr;
      ::GetQueuedCompletionStatus(port_, &n, &key, &o, 5000);
      if (!o) break;
      --outstanding_;
    }
    ::CloseHandle(port_);
    ::VirtualFree(buffers_, 0, MEM_RELEASE);
  }
  const char* Engine() const override { return "iocp"; }
  std::span<std::byte> Buffer(std::uint32_t slot) override {
    return {buffers_ + stride_ * slot, stride_};
  }
  void Add(std::uint32_t slot, bool write, std::uint64_t offset, std::uint32_t length) override {
    added_.push_back({slot, write, offset, length});
  }
  int Reap(std::span<Completion> out, std::uint32_t wait) override {
    std::size_t count = 0;
    for (const Request& r : added_) {
      OVERLAPPED& o = overlapped_[r.slot];
      o = OVERLAPPED{};
      o.Offset = static_cast<::DWORD>(r.offset);
      o.OffsetHigh = static_cast<::DWORD>(r.offset >> 32);
      std::byte* p = buffers_ + stride_ * r.slot;
      const BOOL ok = r.write ? ::WriteFile(file_, p, r.length, nullptr, &o)
                              : ::ReadFile(file_, p, r.length, nullptr, &o);
      const ::DWORD error = ok ? 0 : ::GetLastError();
      // Done at once or pending, its completion comes through the port.
      if (ok || error == ERROR_IO_PENDING)
        ++outstanding_;
      else
        failed_.push_back({r.slot, -1, error});
    }
    added_.clear();
    while (!failed_.empty() && count < out.size()) {
      out[count++] = failed_.back();
      failed_.pop_back();
    }
    while (count < out.size() && outstanding_ > 0) {
      ::DWORD n = 0;
      ULONG_PTR key = 0;
      OVERLAPPED* o = nullptr;
      const ::DWORD timeout = count < wait ? INFINITE : 0;
      const BOOL ok = ::GetQueuedCompletionStatus(port_, &n, &key, &o, timeout);
      if (!o) {
        if (timeout == 0 && ::GetLastError() == WAIT_TIMEOUT) break;
        return -1;
      }
      --outstanding_;
      const auto slot = static_cast<std::uint32_t>(o - overlapped_.data());
      // The end of the file is where a read stops short, not a failure.
      const ::DWORD error = ok ? 0 : ::GetLastError();
      if (ok || error == ERROR_HANDLE_EOF)
        out[count++] = {slot, static_cast<std::int64_t>(n), 0};
      else
        out[count++] = {slot, -1, error};
    }
    return static_cast<int>(count);
  }

 private:
  struct Request {
    std::uint32_t slot;
    bool write;
    std::uint64_t offset;
    std::uint32_t length;
  };
  ::HANDLE file_, port_;
  std::byte* buffers_;
  std::size_t stride_;
  std::vector<OVERLAPPED> overlapped_;
  std::vector<Request> added_;
  std::vector<Completion> failed_;
  std::uint32_t outstanding_ = 0;
};

}  // namespace

std::unique_ptr<Queue> Open(HANDLE file, std::uint32_t depth, std::size_t bufferSize) {
  if (depth == 0 || bufferSize == 0) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::size_t stride = (bufferSize + 4095) & ~std::size_t{4095};
  auto* buffers = static_cast<std::byte*>(
      ::VirtualAlloc(nullptr, stride * depth, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (!buffers) return nullptr;
  ::HANDLE port = ::CreateIoCompletionPort(Native(file), nullptr, 0, 1);
  if (!port) {
    const ::DWORD error = ::GetLastError();
    ::VirtualFree(buffers, 0, MEM_RELEASE);
    ::SetLastError(error);
    return nullptr;
  }
  return std::make_unique<IocpQueue>(Native(file), port, buffers, stride, depth);
}

}  // namespace os::aio
