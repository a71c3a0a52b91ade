// The random-order run: checks and preparation on the calling thread, then
// one worker per thread with a queue of its own, started together; the
// calling thread meanwhile asks the observer about stops and progress.
#include "random/RandomTest.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/FileRules.h"
#include "fileio/basFiles.h"
#include "platform/aio.h"
#include "platform/paths.h"
#include "random/Order.h"
#include "throughput/Rnd.h"

namespace {

constexpr std::int64_t kMB = 1048576;
constexpr std::int64_t kMinBlock = 512, kMaxBlock = 64 * kMB;
constexpr std::int64_t kPage = 4096;
constexpr std::int64_t kPrepareChunk = kMB;

// Every 4 KiB of written data starts with its offset and the transfer's
// number (from 1; 0 for the preparation): with the generator's words behind
// them no two written blocks are alike, so deduplication has nothing to take.
void Stamp(std::byte* block, std::int64_t length, std::uint64_t offset, std::uint64_t k) {
  for (std::int64_t at = 0; at + 16 <= length; at += kPage) {
    const std::uint64_t words[2] = {offset + static_cast<std::uint64_t>(at), k};
    std::memcpy(block + at, words, sizeof words);
  }
}

std::string Bytes(std::int64_t n) { return std::to_string(n) + " bytes"; }

// Ticks of the processor's counter onto the run's clock.
struct TickClock {
  explicit TickClock(double nsPerTick)
      : baseNs(os::runtime::ClockNs()), baseTicks(os::runtime::Ticks()), nsPerTick(nsPerTick) {}
  std::int64_t Ns(std::uint64_t ticks) const {
    return static_cast<std::int64_t>(static_cast<double>(ticks) * nsPerTick);
  }
  std::int64_t At(std::uint64_t ticks) const { return baseNs + Ns(ticks - baseTicks); }
  std::int64_t baseNs;
  std::uint64_t baseTicks;
  double nsPerTick;
};

// Latencies in ticks, put into the histogram a batch at a time: each system
// call leaves the caches cold, and the histogram's lines would miss once a
// transfer.
class LatencyBatch {
 public:
  LatencyBatch(Histogram& histogram, const TickClock& clock)
      : histogram_(histogram), clock_(clock) {}
  void Add(std::uint64_t ticks) {
    ticks_[pending_++] = ticks;
    if (pending_ == ticks_.size()) Fold();
  }
  void Fold() {
    for (std::size_t i = 0; i < pending_; ++i)
      histogram_.Record(static_cast<std::uint64_t>(clock_.Ns(ticks_[i])));
    pending_ = 0;
  }

 private:
  Histogram& histogram_;
  const TickClock& clock_;
  std::array<std::uint64_t, 256> ticks_;
  std::size_t pending_ = 0;
};

// What the workers share.
struct Shared {
  Shared(const RandomDescription& d, std::uint64_t blocks)
      : order(blocks, d.seed, d.sequential),
        limit(d.count ? static_cast<std::uint64_t>(d.count) : ~std::uint64_t{0}) {}
  BlockOrder order;
  std::uint64_t limit;
  std::int64_t deadline = 0;
  std::int64_t t0 = 0;
  std::atomic<std::uint64_t> next{0};
  std::atomic<bool> stop{false};
  std::atomic<std::int64_t> inFlight{0}, maxInFlight{0};
  std::mutex mutex;
  std::condition_variable cv;
  int ready = 0;
  bool go = false, abort = false;
};

struct Worker {
  RandomRecord part;  // this thread's counts, histogram and seconds
  std::atomic<std::int64_t> done{0};
  std::int64_t endNs = 0;
  std::string error;  // why it failed, with the path
  os::DWORD errorCode = 0;
  std::atomic<bool> finished{false};
};

class Run {
 public:
  Run(const RandomDescription& d, RandomObserver& o) : d_(d), observer_(o) {}
  RandomRecord Go();

 private:
  bool Refuse(const std::string& why) {
    rec_.message = why;
    return false;
  }
  bool Fail(const std::string& message, os::DWORD code) {
    rec_.message = message;
    rec_.detail = d_.file + ": " + SystemReason(code);
    return false;
  }
  bool Check();
  bool Prepare(std::int64_t current);
  bool Stopped() {
    if (rec_.stoppedBy == 0) rec_.stoppedBy = observer_.StopRequested();
    return rec_.stoppedBy != 0;
  }
  // alone: the only worker, on the calling thread, watching for itself.
  void Work(Shared& s, Worker& w, bool alone);
  void OneAtATime(Shared& s, Worker& w, os::aio::Queue& q);
  void Transfers(Shared& s, Worker& w, os::aio::Queue& q, bool alone);
  bool Begin(Shared& s, const std::vector<std::unique_ptr<Worker>>& workers);
  void Watch(Shared& s, const std::vector<std::unique_ptr<Worker>>& workers, std::int64_t now);

  const RandomDescription& d_;
  RandomObserver& observer_;
  RandomRecord rec_;
  std::int64_t size_ = 0;
  std::size_t stride_ = 0;
  bool writes_ = false;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::int64_t lastPolled_ = 0, lastShown_ = 0;
  double nsPerTick_ = 1;
};

bool Run::Check() {
  const RandomDescription& d = d_;
  if (d.blockSize < kMinBlock || d.blockSize > kMaxBlock)
    return Refuse("The block size must be from 512 bytes to 64 MiB.");
  if (d.depth < 1 || d.depth > 256) return Refuse("The queue depth must be from 1 to 256.");
  if (d.threads < 1 || d.threads > 64) return Refuse("The threads must be from 1 to 64.");
  if (d.readPercent < 0 || d.readPercent > 100)
    return Refuse("The share of reads must be from 0 to 100 percent.");
  if (d.seconds < 0 || d.count < 0 || (d.seconds == 0) == (d.count == 0))
    return Refuse("Either a duration or a count of transfers is needed.");
  if (d.size < 0) return Refuse("The file size must not be negative.");
  if ((d.fileFlags & static_cast<std::int32_t>(os::FILE_FLAG_NO_BUFFERING)) &&
      d.blockSize % kMinBlock != 0)
    return Refuse("Past the cache (direct I/O) the block size must be a multiple of 512 bytes; " +
                  Bytes(d.blockSize) + " is not.");
  if (d.file.empty()) return Refuse("No test file was given.");
  stride_ = static_cast<std::size_t>((d.blockSize + kPage - 1) / kPage * kPage);
  const std::uint64_t buffers = std::uint64_t{stride_} * static_cast<std::uint64_t>(d.depth) *
                                static_cast<std::uint64_t>(d.threads);
  const std::uint64_t memory = os::runtime::PhysicalMemory();
  if (memory != 0 && buffers > memory / 2)
    return Refuse("Cannot reserve a buffer of " + std::to_string(buffers) +
                  " bytes for the transfers.");
  writes_ = d.readPercent < 100;
  return true;
}

bool Run::Prepare(std::int64_t current) {
  // A run that would fill its file system is refused before it writes.
  if (const std::string full = FreeSpaceRefusal(d_.file, size_); !full.empty()) return Refuse(full);
  // Through the cache: the data is flushed before the run starts.
  const os::HANDLE h =
      os::CreateFileA(d_.file, os::GENERIC_READ | os::GENERIC_WRITE,
                      os::FILE_SHARE_READ | os::FILE_SHARE_WRITE, os::OPEN_ALWAYS, 0);
  if (h == os::INVALID_HANDLE_VALUE) return Fail("Error opening the file", os::GetLastError());
  struct Closer {
    os::HANDLE h;
    ~Closer() { os::CloseHandle(h); }
  } closer{h};
  void* p = os::VirtualAlloc(nullptr, kPrepareChunk, os::MEM_COMMIT, os::PAGE_READWRITE);
  if (!p) return Refuse("Cannot reserve a buffer of " + Bytes(kPrepareChunk) + " for writing.");
  struct Freer {
    void* p;
    ~Freer() { os::VirtualFree(p, 0, os::MEM_RELEASE); }
  } freer{p};
  const std::span<std::byte> chunk(static_cast<std::byte*>(p), kPrepareChunk);
  FillRandomWords(chunk, kPrepareChunk);
  std::int64_t at = current / kPage * kPage;
  os::LONG highPos = static_cast<os::LONG>(at >> 32);
  os::SetFilePointer(h, static_cast<os::LONG>(at & 0xFFFFFFFF), &highPos, os::FILE_BEGIN);
  const std::int64_t start = at;
  std::int64_t lastShown = 0;
  while (at < size_) {
    if (Stopped()) return false;
    const std::int64_t n = std::min(kPrepareChunk, size_ - at);
    Stamp(chunk.data(), n, static_cast<std::uint64_t>(at), 0);
    os::DWORD written = 0;
    if (os::WriteFile(h, chunk.first(static_cast<std::size_t>(n)), &written) != os::TRUE ||
        written != static_cast<os::DWORD>(n))
      return Fail("Error writing the file",
                  written == 0 ? os::GetLastError() : os::ERROR_DISK_FULL);
    at += n;
    rec_.preparedBytes = at - start;
    if (const auto now = static_cast<std::int64_t>(os::runtime::FrameClockMs());
        now - lastShown >= 100) {
      lastShown = now;
      RandomProgress pr;
      pr.preparing = true;
      pr.bytes = rec_.preparedBytes;
      pr.fraction = static_cast<double>(at - start) / static_cast<double>(size_ - start);
      observer_.Progress(pr);
    }
  }
  os::runtime::MarkWrittenByProgram(h);
  // Written data still in the cache would be written back during the run.
  if (os::FlushFileBuffers(h) != os::TRUE && FlushDroppedData(os::GetLastError()))
    return Fail("Error flushing the file", os::GetLastError());
  return true;
}

// Starts the clock once every worker is ready; false when one failed.
bool Run::Begin(Shared& s, const std::vector<std::unique_ptr<Worker>>& workers) {
  for (auto& w : workers)
    if (!w->error.empty()) s.abort = true;
  if (s.abort) return false;
  s.t0 = lastPolled_ = lastShown_ = os::runtime::ClockNs();
  if (d_.seconds > 0) s.deadline = s.t0 + static_cast<std::int64_t>(d_.seconds * 1e9);
  if (d_.stopAfterSeconds > 0) {
    const std::int64_t cut = s.t0 + static_cast<std::int64_t>(d_.stopAfterSeconds * 1e9);
    s.deadline = s.deadline ? std::min(s.deadline, cut) : cut;
  }
  rec_.startNs = s.t0;
  s.go = true;
  return true;
}

// Stop requests every 10 ms, progress ten times a second.
void Run::Watch(Shared& s, const std::vector<std::unique_ptr<Worker>>& workers, std::int64_t now) {
  if (now - lastPolled_ < 10000000) return;
  lastPolled_ = now;
  if (!s.stop && Stopped()) s.stop = true;
  if (now - lastShown_ < 100000000) return;
  lastShown_ = now;
  RandomProgress pr;
  for (auto& w : workers) pr.transfers += w->done.load(std::memory_order_relaxed);
  pr.bytes = pr.transfers * d_.blockSize;
  pr.elapsedNs = now - s.t0;
  pr.fraction = d_.count ? static_cast<double>(pr.transfers) / static_cast<double>(d_.count)
                         : static_cast<double>(pr.elapsedNs) / (d_.seconds * 1e9);
  observer_.Progress(pr);
}

void Run::Work(Shared& s, Worker& w, bool alone) {
  const os::DWORD access = os::GENERIC_READ | (writes_ ? os::GENERIC_WRITE : 0);
  const os::HANDLE h = os::CreateFileA(
      d_.file, access, os::FILE_SHARE_READ | os::FILE_SHARE_WRITE, os::OPEN_EXISTING,
      static_cast<os::DWORD>(d_.fileFlags) | os::FILE_FLAG_OVERLAPPED);
  std::unique_ptr<os::aio::Queue> q;
  if (h == os::INVALID_HANDLE_VALUE) {
    w.error = "Error opening the file";
    w.errorCode = os::GetLastError();
  } else if (q = os::aio::Open(h, static_cast<std::uint32_t>(d_.depth), stride_); !q) {
    w.error = "Cannot start the transfers";
    w.errorCode = os::GetLastError();
  }
  if (q) {
    w.part.engine = q->Engine();
    // Pseudo-random data once per buffer; each write stamps its own.
    if (writes_)
      for (int slot = 0; slot < d_.depth; ++slot)
        FillRandomWords(q->Buffer(static_cast<std::uint32_t>(slot)), d_.blockSize);
  }
  if (alone) {
    Begin(s, workers_);
  } else {
    std::unique_lock lock(s.mutex);
    ++s.ready;
    s.cv.notify_all();
    s.cv.wait(lock, [&] { return s.go || s.abort; });
  }
  if (q && !s.abort) {
    if (alone && d_.depth == 1)
      OneAtATime(s, w, *q);
    else
      Transfers(s, w, *q, alone);
  }
  q.reset();  // before its file
  if (h != os::INVALID_HANDLE_VALUE) os::CloseHandle(h);
  w.finished = true;
  std::lock_guard lock(s.mutex);
  s.cv.notify_all();
}

// One transfer at a time on the calling thread, paced from the queue's own
// loop. Each system call leaves the caches cold, so what the pacer needs
// between transfers is kept in its own members and handed to the worker's
// record at the end.
void Run::OneAtATime(Shared& s, Worker& w, os::aio::Queue& q) {
  struct Serial final : os::aio::Pacer {
    Serial(Run& run, Shared& s, Worker& w, os::aio::Queue& q)
        : run(run),
          s(s),
          w(w),
          length(static_cast<std::uint32_t>(run.d_.blockSize)),
          limit(s.limit),
          seed(run.d_.seed),
          deadline(s.deadline),
          readPercent(run.d_.readPercent),
          buffer(q.Buffer(0).data()),
          order(s.order),
          clock(run.nsPerTick_),
          latency(w.part.latency, clock),
          now(s.t0),
          secondEnds(s.t0),
          nextWatch(s.t0) {}

    bool Next(const os::aio::Completion* done, os::aio::Request& next) override {
      if (done) {
        const std::uint64_t reaped = os::runtime::Ticks();
        now = clock.At(reaped);
        if (done->bytes != static_cast<std::int64_t>(length)) {
          w.error = done->bytes < 0 ? "Error during the transfers" : "The file ended";
          w.errorCode = done->bytes < 0 ? done->error : 0;
          s.stop = true;
          return false;
        }
        latency.Add(reaped - handed);
        ++transfers;
        if (now >= secondEnds) {
          if (!seconds.empty()) seconds.back() += inSecond;
          inSecond = 0;
          for (; now >= secondEnds; secondEnds += 1000000000) seconds.push_back(0);
        }
        ++inSecond;
        if (now >= nextWatch) {
          w.done.store(transfers, std::memory_order_relaxed);
          run.Watch(s, run.workers_, now);
          nextWatch = now + 10000000;
          if (s.stop) return false;
        }
      }
      if (k >= limit || (deadline && now >= deadline)) return false;
      const bool read = IsRead(k, readPercent, seed);
      const std::uint64_t offset = order.Block(k) * length;
      if (!read) Stamp(buffer, length, offset, k + 1);
      ++(read ? reads : writes);
      ++k;
      next = {!read, offset, length};
      handed = os::runtime::Ticks();
      return true;
    }

    Run& run;
    Shared& s;
    Worker& w;
    const std::uint32_t length;
    const std::uint64_t limit, seed;
    const std::int64_t deadline;
    const int readPercent;
    std::byte* const buffer;
    BlockOrder order;
    const TickClock clock;
    LatencyBatch latency;
    std::vector<std::int64_t>& seconds = w.part.iopsPerSecond;
    std::int64_t now, secondEnds, nextWatch, reads = 0, writes = 0, transfers = 0, inSecond = 0;
    std::uint64_t k = 0, handed = 0;
  } serial(*this, s, w, q);
  q.OneByOne(serial);

  serial.latency.Fold();
  auto& seconds = serial.seconds;
  if (!seconds.empty()) seconds.back() += serial.inSecond;
  if (serial.reads + serial.writes > 0) w.endNs = serial.now;
  w.part.reads = serial.reads;
  w.part.writes = serial.writes;
  w.part.transfers = serial.transfers;
  w.part.bytes = serial.transfers * serial.length;
  w.done.store(serial.transfers, std::memory_order_relaxed);
  s.maxInFlight = serial.reads + serial.writes > 0 ? 1 : 0;
}

void Run::Transfers(Shared& s, Worker& w, os::aio::Queue& q, bool alone) {
  const auto length = static_cast<std::uint32_t>(d_.blockSize);
  std::vector<std::uint32_t> freeSlots;
  for (int slot = d_.depth - 1; slot >= 0; --slot)
    freeSlots.push_back(static_cast<std::uint32_t>(slot));
  std::vector<std::uint64_t> started(static_cast<std::size_t>(d_.depth));
  const TickClock clock(nsPerTick_);
  std::vector<std::uint32_t> added;
  std::vector<os::aio::Completion> done(static_cast<std::size_t>(d_.depth));
  LatencyBatch latency(w.part.latency, clock);
  std::int64_t inFlight = 0, last = s.t0;
  bool claiming = true;
  // Shared counters cost a locked instruction per transfer; a lone worker
  // claims its transfers in batches and keeps the depth to itself.
  const std::uint64_t batch = alone ? 256 : 1;
  std::uint64_t claimed = 0, claimEnd = 0;
  std::int64_t mostInFlight = 0;
  std::int64_t secondEnds = s.t0;
  BlockOrder order = s.order;
  for (;;) {
    // The latest completion's time tells the deadline: no clock of its own.
    if (claiming && (s.stop.load(std::memory_order_relaxed) || (s.deadline && last >= s.deadline)))
      claiming = false;
    while (claiming && !freeSlots.empty()) {
      if (claimed == claimEnd) {
        claimed = s.next.fetch_add(batch, std::memory_order_relaxed);
        claimEnd = claimed + batch;
      }
      const std::uint64_t k = claimed++;
      if (k >= s.limit) {
        claiming = false;
        break;
      }
      const std::uint32_t slot = freeSlots.back();
      freeSlots.pop_back();
      const bool read = IsRead(k, d_.readPercent, d_.seed);
      const std::uint64_t offset = order.Block(k) * static_cast<std::uint64_t>(d_.blockSize);
      if (!read) Stamp(q.Buffer(slot).data(), d_.blockSize, offset, k + 1);
      q.Add(slot, !read, offset, length);
      added.push_back(slot);
      ++(read ? w.part.reads : w.part.writes);
    }
    if (!added.empty() && alone) {
      inFlight += static_cast<std::int64_t>(added.size());
      mostInFlight = std::max(mostInFlight, inFlight);
    } else if (!added.empty()) {
      inFlight += static_cast<std::int64_t>(added.size());
      const std::int64_t all =
          s.inFlight.fetch_add(static_cast<std::int64_t>(added.size()), std::memory_order_relaxed) +
          static_cast<std::int64_t>(added.size());
      std::int64_t seen = s.maxInFlight.load(std::memory_order_relaxed);
      while (all > seen && !s.maxInFlight.compare_exchange_weak(seen, all)) {
      }
    }
    if (inFlight == 0) break;
    const std::uint64_t handed = os::runtime::Ticks();
    for (std::uint32_t slot : added) started[slot] = handed;
    added.clear();
    const int n = q.Reap(done, 1);
    const std::uint64_t reaped = os::runtime::Ticks();
    const std::int64_t now = clock.At(reaped);
    if (n < 0) {
      // The queue itself broke: what is in flight cannot be waited for.
      w.error = "Error during the transfers";
      w.errorCode = os::GetLastError();
      s.stop = true;
      break;
    }
    if (!alone) s.inFlight.fetch_sub(n, std::memory_order_relaxed);
    inFlight -= n;
    // A division per transfer would cost a cached read 1 %.
    while (now >= secondEnds) {
      w.part.iopsPerSecond.push_back(0);
      secondEnds += 1000000000;
    }
    for (int i = 0; i < n; ++i) {
      const os::aio::Completion& c = done[static_cast<std::size_t>(i)];
      freeSlots.push_back(c.slot);
      if (c.bytes != static_cast<std::int64_t>(length)) {
        if (w.error.empty()) {
          w.error = c.bytes < 0 ? "Error during the transfers" : "The file ended";
          w.errorCode = c.bytes < 0 ? c.error : 0;
        }
        s.stop = true;
        continue;
      }
      latency.Add(reaped - started[c.slot]);
      w.part.bytes += c.bytes;
      ++w.part.transfers;
      ++w.part.iopsPerSecond.back();
    }
    w.done.store(w.part.transfers, std::memory_order_relaxed);
    w.endNs = last = now;
    if (alone) Watch(s, workers_, now);
  }
  latency.Fold();
  if (alone) s.maxInFlight = mostInFlight;
}

RandomRecord Run::Go() {
  if (!Check()) return rec_;
  const os::DWORD attributes = os::GetFileAttributesA(d_.file);
  const bool exists = attributes != os::INVALID_FILE_ATTRIBUTES;
  if (!exists && os::GetLastError() != os::ERROR_FILE_NOT_FOUND)
    return Fail("Error opening the file", os::GetLastError()), rec_;
  if (exists && (attributes & os::FILE_ATTRIBUTE_DIRECTORY))
    return Refuse(d_.file + ": is a folder, not a file."), rec_;
  const std::int64_t current = exists ? GetFileSize64(d_.file) : 0;
  size_ = d_.size ? d_.size : current;
  if (size_ == 0)
    return Refuse(exists ? d_.file + ": the file is empty; a size is needed to write it."
                         : d_.file + ": the file does not exist; a size is needed to write it."),
           rec_;
  if (d_.blockSize > size_)
    return Refuse("The block size (" + Bytes(d_.blockSize) + ") is larger than the file (" +
                  Bytes(size_) + ")."),
           rec_;
  // Contents of the user's own are replaced only when the user agrees.
  if (writes_ && current > 0 && !IsDefaultTestFile(d_.file) &&
      !os::runtime::WrittenByProgram(d_.file) && !observer_.MayReplace(d_.file))
    return rec_;
  if (Stopped()) return rec_;
  if (current < size_ && !Prepare(current)) return rec_;
  observer_.Prepared();
  if (Stopped()) return rec_;

  rec_.blocks = size_ / d_.blockSize;
  nsPerTick_ = os::runtime::NsPerTick();
  Shared s(d_, static_cast<std::uint64_t>(rec_.blocks));
  auto& workers = workers_;
  for (int i = 0; i < d_.threads; ++i) workers.push_back(std::make_unique<Worker>());
  if (d_.threads == 1) {
    // A process of one thread pays less for each system call on a file.
    Work(s, *workers[0], true);
  } else {
    std::vector<std::thread> threads;
    auto joinAll = [&] {
      for (auto& t : threads) t.join();
    };
    try {
      for (int i = 0; i < d_.threads; ++i)
        threads.emplace_back([&, i] { Work(s, *workers[static_cast<std::size_t>(i)], false); });
    } catch (const std::exception&) {
      {
        std::lock_guard lock(s.mutex);
        s.abort = true;
      }
      s.cv.notify_all();
      joinAll();
      return Refuse("Cannot start " + std::to_string(d_.threads) + " threads."), rec_;
    }
    {
      std::unique_lock lock(s.mutex);
      s.cv.wait(lock, [&] { return s.ready == d_.threads; });
      Begin(s, workers);
    }
    s.cv.notify_all();
    auto allFinished = [&] {
      return std::all_of(workers.begin(), workers.end(),
                         [](auto& w) { return w->finished.load(); });
    };
    for (;;) {
      {
        std::unique_lock lock(s.mutex);
        s.cv.wait_for(lock, std::chrono::milliseconds(10), allFinished);
      }
      if (allFinished()) break;
      Watch(s, workers, os::runtime::ClockNs());
    }
    joinAll();
  }

  std::int64_t end = s.t0;
  for (auto& w : workers) {
    RandomRecord& p = w->part;
    if (rec_.engine.empty()) rec_.engine = p.engine;
    rec_.latency.Merge(p.latency);
    rec_.bytes += p.bytes;
    rec_.transfers += p.transfers;
    rec_.reads += p.reads;
    rec_.writes += p.writes;
    if (rec_.iopsPerSecond.size() < p.iopsPerSecond.size())
      rec_.iopsPerSecond.resize(p.iopsPerSecond.size());
    for (std::size_t i = 0; i < p.iopsPerSecond.size(); ++i)
      rec_.iopsPerSecond[i] += p.iopsPerSecond[i];
    end = std::max(end, w->endNs);
    if (rec_.message.empty() && !w->error.empty()) {
      rec_.message = w->error;
      rec_.detail =
          d_.file + ": " +
          (w->errorCode ? SystemReason(w->errorCode)
                        : "a transfer ended early: the file is shorter than " + Bytes(size_) + ".");
    }
  }
  if (writes_ && rec_.writes > 0) {
    const os::HANDLE h =
        os::CreateFileA(d_.file, os::GENERIC_READ, os::FILE_SHARE_READ | os::FILE_SHARE_WRITE,
                        os::OPEN_EXISTING, 0);
    if (h != os::INVALID_HANDLE_VALUE) {
      os::runtime::MarkWrittenByProgram(h);
      os::CloseHandle(h);
    }
  }
  rec_.maxInFlight = s.maxInFlight.load();
  // Only whole seconds: the last one is cut short by the end of the run.
  const auto whole = static_cast<std::size_t>((end - s.t0) / 1000000000);
  if (rec_.iopsPerSecond.size() > whole) rec_.iopsPerSecond.resize(whole);
  rec_.elapsedNs = end - s.t0;
  if (rec_.elapsedNs > 0) {
    rec_.iops = static_cast<double>(rec_.transfers) * 1e9 / static_cast<double>(rec_.elapsedNs);
    rec_.mbPerSec =
        static_cast<double>(rec_.bytes) / kMB * 1e9 / static_cast<double>(rec_.elapsedNs);
  }
  if (rec_.message.empty() && !s.stop) rec_.finished = true;
  return rec_;
}

}  // namespace

RandomRecord RunRandom(const RandomDescription& d, RandomObserver& observer) {
  return Run(d, observer).Go();
}
