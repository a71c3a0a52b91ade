// Transfers at a queue depth on one open file: a fixed set of buffers (one
// per slot), transfers queued and handed to the system in batches, their
// completions reaped. One queue per thread; a queue is never shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "platform/os.h"

namespace os::aio {

struct Completion {
  std::uint32_t slot = 0;
  // Bytes transferred; -1 when the transfer failed, with error set.
  std::int64_t bytes = 0;
  DWORD error = 0;
};

// One transfer: what OneByOne asks its pacer for.
struct Request {
  bool write = false;
  std::uint64_t offset = 0;
  std::uint32_t length = 0;
};

// Says what to transfer next, one transfer at a time.
class Pacer {
 public:
  // Called first with done == nullptr, then after each transfer with its
  // completion (a failed queue reports bytes -1 with its error). Fills next
  // and returns true to hand over another transfer into slot 0's buffer.
  virtual bool Next(const Completion* done, Request& next) = 0;

 protected:
  ~Pacer() = default;
};

class Queue {
 public:
  virtual ~Queue() = default;
  // The mechanism: "io_uring", "threads", "pread" or "iocp".
  virtual const char* Engine() const = 0;
  // The slot's buffer, aligned for transfers past the cache.
  virtual std::span<std::byte> Buffer(std::uint32_t slot) = 0;
  // Queues a transfer of the slot's first length bytes at offset; the next
  // Reap hands it to the system. A slot is queued again only after its
  // completion was reaped.
  virtual void Add(std::uint32_t slot, bool write, std::uint64_t offset, std::uint32_t length) = 0;
  // Hands over what was queued, waits until at least `wait` completions are
  // there, and moves up to out.size() of them into out. Returns how many;
  // -1 with the last error set when the queue itself failed.
  virtual int Reap(std::span<Completion> out, std::uint32_t wait) = 0;
  // Transfers one at a time, on the calling thread, for as long as the pacer
  // asks. Queues that transfer in the calling thread call the system from
  // their own loop: a return from a function right after a system call is
  // mispredicted, and every level between the call and the pacer costs one.
  virtual void OneByOne(Pacer& pacer) {
    Completion c;
    const Completion* done = nullptr;
    for (Request r; pacer.Next(done, r); done = &c) {
      Add(0, r.write, r.offset, r.length);
      if (Reap({&c, 1}, 1) != 1) c = {0, -1, GetLastError()};
    }
  }
};

// A queue of depth slots of bufferSize bytes each on file. On Windows the
// file must be opened with FILE_FLAG_OVERLAPPED and not be on another
// queue. Linux does depth 1 with plain positioned transfers in the calling
// thread, deeper queues on io_uring, and falls back to a pool of depth
// threads doing such transfers where the kernel refuses io_uring (or
// ORVANDEL_IO_URING=off asks for the fallback). nullptr with the last error
// set when no queue can be made.
std::unique_ptr<Queue> Open(HANDLE file, std::uint32_t depth, std::size_t bufferSize);

}  // namespace os::aio
