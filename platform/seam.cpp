#include "platform/seam.h"

#include <chrono>

#include "platform/os.h"

#include <array>

namespace os::seam {
namespace {

constexpr std::size_t kOps = static_cast<std::size_t>(Op::Count_);
std::array<std::uint64_t, kOps> calls{};
std::array<std::optional<Fault>, kOps> faults{};
std::function<std::uint32_t()> fakeClock;
std::function<std::int64_t()> fakeClockNs;
std::uint32_t lastCreateFlags = 0;
std::function<void(std::span<const std::byte>)> transferObserver;
std::vector<IoControlCall> ioControlCalls;
bool recordIoControls = false;

}  // namespace

namespace detail {
bool active = false;
}  // namespace detail

void Inject(const Fault& fault) {
  detail::active = true;
  faults[static_cast<std::size_t>(fault.op)] = fault;
}

void FailNext(Op op, std::uint32_t error, std::uint32_t skip, std::uint32_t times) {
  Fault f;
  f.op = op;
  f.skip = skip;
  f.times = times;
  f.error = error;
  Inject(f);
}

void ShortenNext(Op op, std::uint32_t count, std::uint32_t error) {
  Fault f;
  f.op = op;
  f.error = error;
  f.shortCount = count;
  Inject(f);
}

void Reset() {
  detail::active = true;
  calls.fill(0);
  faults.fill(std::nullopt);
  fakeClock = nullptr;
  fakeClockNs = nullptr;
  transferObserver = nullptr;
  ioControlCalls.clear();
  recordIoControls = false;
}

void RecordIoControls() {
  detail::active = true;
  recordIoControls = true;
}
const std::vector<IoControlCall>& IoControlCalls() { return ioControlCalls; }
void NoteIoControl(const IoControlCall& call) {
  if (recordIoControls) ioControlCalls.push_back(call);
}

void SetTransferObserver(std::function<void(std::span<const std::byte>)> observer) {
  detail::active = true;
  transferObserver = std::move(observer);
}
const std::function<void(std::span<const std::byte>)>& TransferObserver() {
  return transferObserver;
}

std::uint32_t LastCreateFlags() { return lastCreateFlags; }
void NoteCreateFlags(std::uint32_t flags) { lastCreateFlags = flags; }

void SetClock(std::function<std::uint32_t()> clock) {
  detail::active = true;
  fakeClock = std::move(clock);
}
const std::function<std::uint32_t()>& Clock() { return fakeClock; }

void SetClockNs(std::function<std::int64_t()> clock) {
  detail::active = true;
  fakeClockNs = std::move(clock);
}
const std::function<std::int64_t()>& ClockNs() { return fakeClockNs; }

std::uint64_t Calls(Op op) {
  detail::active = true;
  return calls[static_cast<std::size_t>(op)];
}

std::optional<Fault> detail::EnterActive(Op op) {
  const auto i = static_cast<std::size_t>(op);
  ++calls[i];
  auto& f = faults[i];
  if (!f) return std::nullopt;
  if (f->skip > 0) {
    --f->skip;
    return std::nullopt;
  }
  Fault hit = *f;
  if (--f->times == 0) f.reset();
  return hit;
}

}  // namespace os::seam

namespace os::runtime {

std::int64_t ClockNs() {
  if (seam::Active() && seam::ClockNs()) [[unlikely]]
    return seam::ClockNs()();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace os::runtime
