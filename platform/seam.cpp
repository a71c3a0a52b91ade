#include "platform/seam.h"

#include <array>

namespace os::seam {
namespace {

constexpr std::size_t kOps = static_cast<std::size_t>(Op::Count_);
std::array<std::uint64_t, kOps> calls{};
std::array<std::optional<Fault>, kOps> faults{};
std::function<std::uint32_t()> fakeClock;
std::uint32_t lastCreateFlags = 0;
std::vector<IoControlCall> ioControlCalls;
bool recordIoControls = false;

}  // namespace

void Inject(const Fault& fault) { faults[static_cast<std::size_t>(fault.op)] = fault; }

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
  calls.fill(0);
  faults.fill(std::nullopt);
  fakeClock = nullptr;
  ioControlCalls.clear();
  recordIoControls = false;
}

void RecordIoControls() { recordIoControls = true; }
const std::vector<IoControlCall>& IoControlCalls() { return ioControlCalls; }
void NoteIoControl(const IoControlCall& call) {
  if (recordIoControls) ioControlCalls.push_back(call);
}

std::uint32_t LastCreateFlags() { return lastCreateFlags; }
void NoteCreateFlags(std::uint32_t flags) { lastCreateFlags = flags; }

void SetClock(std::function<std::uint32_t()> clock) { fakeClock = std::move(clock); }
const std::function<std::uint32_t()>& Clock() { return fakeClock; }

std::uint64_t Calls(Op op) { return calls[static_cast<std::size_t>(op)]; }

std::optional<Fault> Enter(Op op) {
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
