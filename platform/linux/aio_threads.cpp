// The queues of plain positioned transfers: where io_uring is unavailable,
// depth threads, each doing one pread or pwrite at a time, so that depth
// transfers can be in flight; at depth 1, the calling thread itself.
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/linux/aio_linux.h"
#include "platform/linux/internal.h"

namespace os::aio::detail {
namespace {

struct SlotRequest {
  std::uint32_t slot;
  bool write;
  std::uint64_t offset;
  std::uint32_t length;
};

// The whole length, or up to the end of the file for a read. Inlined, so
// that OneByOne calls the system from its own loop.
[[gnu::always_inline]] inline Completion Transfer(int fd, std::byte* p, const SlotRequest& r) {
  std::uint64_t done = 0;
  while (done < r.length) {
    const auto off = static_cast<off_t>(r.offset + done);
    const ssize_t n = r.write ? pwrite(fd, p + done, r.length - done, off)
                              : pread(fd, p + done, r.length - done, off);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return {r.slot, -1, os::detail::FromErrno(errno)};
    if (n == 0) break;
    done += static_cast<std::uint64_t>(n);
  }
  return {r.slot, static_cast<std::int64_t>(done), 0};
}

// One transfer at a time has nothing to overlap: the call itself costs less
// than handing it to a ring or a thread.
class SyncQueue final : public Queue {
 public:
  SyncQueue(int fd, std::size_t bufferSize) : fd_(fd), buffers_(1, bufferSize) {}
  bool Ok() const { return buffers_.Ok(); }
  const char* Engine() const override { return "pread"; }
  std::span<std::byte> Buffer(std::uint32_t slot) override {
    return {buffers_.At(slot), buffers_.Stride()};
  }
  void Add(std::uint32_t slot, bool write, std::uint64_t offset, std::uint32_t length) override {
    added_ = {slot, write, offset, length};
    pending_ = true;
  }
  int Reap(std::span<Completion> out, std::uint32_t /*wait*/) override {
    if (!pending_ || out.empty()) return 0;
    pending_ = false;
    out[0] = Transfer(fd_, buffers_.At(added_.slot), added_);
    return 1;
  }
  void OneByOne(Pacer& pacer) override {
    std::byte* const buffer = buffers_.At(0);
    Completion c;
    const Completion* done = nullptr;
    for (Request r; pacer.Next(done, r); done = &c)
      c = Transfer(fd_, buffer, {0, r.write, r.offset, r.length});
  }

 private:
  int fd_;
  Buffers buffers_;
  SlotRequest added_{};
  bool pending_ = false;
};

class PoolQueue final : public Queue {
 public:
  PoolQueue(int fd, std::uint32_t depth, std::size_t bufferSize)
      : fd_(fd), buffers_(depth, bufferSize) {
    workers_.reserve(depth);
    try {
      for (std::uint32_t i = 0; i < depth; ++i) workers_.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
      // Fewer threads than slots still transfer everything, less at once.
      if (workers_.empty()) throw;
    }
  }
  ~PoolQueue() override {
    {
      std::lock_guard lock(mutex_);
      closing_ = true;
    }
    work_.notify_all();
    for (auto& t : workers_) t.join();
  }
  bool Ok() const { return buffers_.Ok(); }
  const char* Engine() const override { return "threads"; }
  std::span<std::byte> Buffer(std::uint32_t slot) override {
    return {buffers_.At(slot), buffers_.Stride()};
  }
  void Add(std::uint32_t slot, bool write, std::uint64_t offset, std::uint32_t length) override {
    added_.push_back({slot, write, offset, length});
  }
  int Reap(std::span<Completion> out, std::uint32_t wait) override {
    std::unique_lock lock(mutex_);
    const bool many = added_.size() > 1;
    queued_.insert(queued_.end(), added_.begin(), added_.end());
    added_.clear();
    if (many)
      work_.notify_all();
    else
      work_.notify_one();
    done_.wait(lock, [&] { return completed_.size() >= wait; });
    const std::size_t n = std::min(out.size(), completed_.size());
    std::copy(completed_.end() - static_cast<std::ptrdiff_t>(n), completed_.end(), out.begin());
    completed_.resize(completed_.size() - n);
    return static_cast<int>(n);
  }

 private:
  void Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      work_.wait(lock, [&] { return closing_ || !queued_.empty(); });
      if (closing_) return;
      const SlotRequest r = queued_.front();
      queued_.pop_front();
      lock.unlock();
      const Completion c = Transfer(fd_, buffers_.At(r.slot), r);
      lock.lock();
      completed_.push_back(c);
      done_.notify_one();
    }
  }
  int fd_;
  Buffers buffers_;
  std::vector<SlotRequest> added_;  // the owner's, not yet handed over
  std::mutex mutex_;
  std::condition_variable work_, done_;
  std::deque<SlotRequest> queued_;
  std::vector<Completion> completed_;
  bool closing_ = false;
  std::vector<std::thread> workers_;  // last: they start on the members above
};

}  // namespace

std::unique_ptr<Queue> OpenSync(int fd, std::size_t bufferSize) {
  auto q = std::make_unique<SyncQueue>(fd, bufferSize);
  if (q->Ok()) return q;
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

std::unique_ptr<Queue> OpenThreadPool(int fd, std::uint32_t depth, std::size_t bufferSize) {
  try {
    auto q = std::make_unique<PoolQueue>(fd, depth, bufferSize);
    if (q->Ok()) return q;
  } catch (const std::exception&) {
  }
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

}  // namespace os::aio::detail
