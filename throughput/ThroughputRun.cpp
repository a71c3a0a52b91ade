// The Write and Read runs: one test file, block by block, timed with the
// millisecond clock the window shows, and with a nanosecond clock for
// scripts that want exact figures.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <limits>
#include <span>

#include "fileio/NumberText.h"
#include "fileio/basFiles.h"
#include "fileio/basStrings.h"
#include "form/basBase.h"
#include "form/frmMain.h"
#include "platform/paths.h"
#include "throughput/Rnd.h"
#include "throughput/TimelineRecorder.h"

namespace {

constexpr std::int64_t kFixed = 10000;  // four decimal places
constexpr std::int64_t kMB = 1048576;
constexpr std::int32_t kPage = 4096;

// Clock differences are taken modulo 2^32 and read as signed 32-bit values.
std::int32_t Elapsed(os::DWORD from, os::DWORD to) { return static_cast<std::int32_t>(to - from); }

// Whole bytes of a fixed-point count, halves to even.
std::int64_t RoundFixed(std::int64_t fixed) {
  std::int64_t whole = fixed / kFixed;
  const std::int64_t rest = fixed % kFixed;
  if (rest > kFixed / 2 || (rest == kFixed / 2 && (whole & 1))) ++whole;
  return whole;
}

// From the nanosecond interval: a cached run of a few MB takes a
// millisecond or two, where one tick more or less would change the figure
// by half.
std::string Throughput(std::int64_t testSize, std::int64_t ns, char sep) {
  const double mb = static_cast<double>(testSize) / kFixed / 1024 / 1024;
  return numtext::Format(mb * 1e9 / static_cast<double>(ns), "#0.0", sep) + " MB/s";
}

// The bytes a Write run of testSize puts into the file: whole blocks, then
// the rest rounded up to a page.
std::int64_t BytesWritten(std::int64_t testSize, std::int32_t blockSize, std::size_t bufferSize) {
  const std::int64_t blockFixed = static_cast<std::int64_t>(blockSize) * kFixed;
  const std::int64_t whole = testSize / blockFixed * blockSize;
  const std::int64_t rest =
      std::min<std::int64_t>(RoundFixed(testSize - whole * kFixed), bufferSize);
  return whole + (rest + kPage - 1) / kPage * kPage;
}

std::string FolderOf(const std::string& path) {
  const auto cut = path.find_last_of(std::string("/") + os::runtime::PathSeparator());
  if (cut == std::string::npos) return ".";
  return cut == 0 ? path.substr(0, 1) : path.substr(0, cut);
}

// The default test file's name, in any folder.
bool IsDefaultTestFile(const std::string& path) {
  const auto cut = path.find_last_of(std::string("/") + os::runtime::PathSeparator());
  const std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
  const std::string expected = os::rules::kTestFileName;
  return std::equal(name.begin(), name.end(), expected.begin(), expected.end(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  });
}

// Ends a run that met an exception; the guard releases everything even when
// showing the end fails as well.
template <typename Exit>
void EndWithError(Exit& exit, const std::string& detail) {
  try {
    exit(detail);
  } catch (...) {
  }
}

}  // namespace

std::int64_t Min(std::int64_t a, std::int64_t b) { return a < b ? a : b; }

std::int32_t frmMain::GetNextAlign(std::int32_t v, std::int32_t base) {
  return static_cast<std::int32_t>(
      (static_cast<std::uint32_t>(v) + static_cast<std::uint32_t>(base) - 1u) &
      ~(static_cast<std::uint32_t>(base) - 1u));
}

void frmMain::cmdFileReadWrite_Click(int Index) {
  if (gTestRunning) return;
  gTestRunning = true;
  const bool writing = Index == 1;
  RunRecord rec;
  rec.index = Index;
  form_.SetMousePointer(vbHourglass);
  for (int i = 0; i < 20; ++i) os::Sleep(1);
  ClearReadStatus();

  const char sep = form_.DecimalSeparator();
  // The size the label beside the field shows, not another reading of it.
  const auto blockBytes = numtext::ToInt32(BlockSectors(form_) * 512);
  if (blockBytes && *blockBytes == 0) {
    // Exit A: nothing to run.
    gTestRunning = false;
    form_.SetMousePointer(vbDefault);
    form_.SetFocus(Ctl::txtBlockSizeSectors, 0);
    lastRun_ = rec;
    return;
  }

  void* pBuffer = nullptr;
  std::size_t bufferSize = 0;
  os::HANDLE hVolume = os::INVALID_HANDLE_VALUE;
  bool released = false;
  TimelineRecorder timeline;
  // A file that took the run's data is the program's from now on.
  auto markWritten = [&] {
    if (writing && rec.transferred + rec.finalResult > 0 && oTestFile && oTestFile->IsOpen())
      os::runtime::MarkWrittenByProgram(oTestFile->FileHandle());
  };
  auto release = [&] {
    if (released) return;
    released = true;
    markWritten();
    SetHighPriority(false);
    if (hVolume != os::INVALID_HANDLE_VALUE) os::CloseHandle(hVolume);
    if (pBuffer) {
      os::VirtualUnlock(pBuffer, bufferSize);
      os::VirtualFree(pBuffer, 0, os::MEM_DECOMMIT);
      os::VirtualFree(pBuffer, 0, os::MEM_RELEASE);
    }
    form_.SetMousePointer(vbDefault);
    gTestRunning = false;
    timeline.Finish(rec);
    lastRun_ = rec;
  };
  // Whatever ends the run, its buffer, handles and flag are given back.
  struct Guard {
    decltype(release)& f;
    ~Guard() { f(); }
  } guard{release};
  auto fail = [&](const std::string& message, const std::string& detail) {
    rec.message = message;
    rec.detail = detail;
  };
  auto exitB = [&] { release(); };
  auto exitC = [&](const std::string& detail) {
    fail("Error", detail);
    ClearReadStatus();
    release();
    form_.MsgBox("Error", vbOKOnly, detail);
  };
  // Input the run cannot use is refused before anything is opened.
  auto refuse = [&](const std::string& why) {
    fail(why, "");
    form_.MsgBox(why, vbExclamation);
    exitB();
  };

  try {
    if (!blockBytes || *blockBytes < 0)
      return refuse("The block size must be a number of sectors from 1 to 4194303.");
    const std::int32_t BlockSize = *blockBytes;
    rec.blockSize = BlockSize;

    // One page more than a block, so that the final transfer rounded up to a
    // whole page still fits.
    bufferSize = static_cast<std::size_t>((static_cast<std::int64_t>(BlockSize) + kPage) &
                                          ~std::int64_t{kPage - 1});
    const std::string noBuffer =
        "Cannot reserve a buffer of " + std::to_string(bufferSize) + " bytes for the blocks.";
    // The system promises more than it has: a buffer beyond half of what this
    // process can really use would be met by the out-of-memory killer, not by
    // a failed reservation.
    const std::uint64_t memory = os::runtime::PhysicalMemory();
    if (memory != 0 && bufferSize > memory / 2) return refuse(noBuffer);
    pBuffer = os::VirtualAlloc(nullptr, bufferSize, os::MEM_COMMIT, os::PAGE_READWRITE);
    if (!pBuffer) return refuse(noBuffer);
    const std::span<std::byte> buffer(static_cast<std::byte*>(pBuffer), bufferSize);
    if (os::VirtualLock(pBuffer, bufferSize) != os::TRUE) {
      // Pages not locked come in on first touch: not inside the timed blocks.
      for (std::size_t at = 0; at < bufferSize; at += kPage) buffer[at] = std::byte{0};
    }
    if (form_.Value(Ctl::optDataType, 1)) FillRandomWords(buffer, BlockSize);

    const std::int32_t FileFlags = CheckedFileFlags(form_);
    rec.fileFlags = FileFlags;
    sTestFile = form_.Text(Ctl::txtTestFile);
    // The path and the system's reason, for the message's detail.
    // A link whose target is gone is named as such: the name itself exists.
    auto reason = [&](os::DWORD code) {
      if (code == os::ERROR_FILE_NOT_FOUND || code == os::ERROR_PATH_NOT_FOUND)
        if (const std::string target = os::runtime::MissingLinkTarget(sTestFile); !target.empty())
          return sTestFile + ": the link's target is missing: " + target;
      return sTestFile + ": " + SystemReason(code);
    };

    if (writing) {
      const auto mb = numtext::ToFixed4(form_.Text(Ctl::txtSize), sep);
      bool negative = false;
      if (!mb && numtext::IsNumber(form_.Text(Ctl::txtSize), sep, &negative))
        return refuse(negative ? "The file size must not be negative."
                               : "The file size is too large.");
      if (!mb) return refuse("The file size must be a number of MB.");
      if (*mb < 0) return refuse("The file size must not be negative.");
      if (*mb > std::numeric_limits<std::int64_t>::max() / kMB)
        return refuse("The file size is too large.");
      TestSize = *mb * kMB;
      // A run that would fill its file system is refused before it writes:
      // the system and its other programs need the space too.
      const std::int64_t current = GetFileSize64(sTestFile);
      // What the file occupies, not its length: the holes of a sparse file
      // take space when written.
      os::DWORD high = 0;
      const os::DWORD low = os::GetCompressedFileSizeA(sTestFile, &high);
      const std::int64_t allocated =
          low == os::INVALID_FILE_SIZE && os::GetLastError() != 0
              ? 0
              : static_cast<std::int64_t>((std::uint64_t{high} << 32) | low);
      const std::int64_t growth = BytesWritten(TestSize, BlockSize, bufferSize) - allocated;
      std::uint64_t available = 0;
      if (growth > 0 &&
          (os::GetDiskFreeSpaceExA(sTestFile, &available, nullptr, nullptr) == os::TRUE ||
           os::GetDiskFreeSpaceExA(FolderOf(sTestFile), &available, nullptr, nullptr) ==
               os::TRUE) &&
          static_cast<std::uint64_t>(growth) > available) {
        const std::string where = os::runtime::DriveOf(sTestFile);
        return refuse("Not enough free space: " + std::to_string((growth + kMB - 1) / kMB) +
                      " MB needed, " + std::to_string(available / kMB) + " MB free" +
                      (where.empty() ? "" : " on " + where));
      }
      // Contents of the user's own are replaced only when the user agrees.
      if (askBeforeReplacing && current > 0 && !IsDefaultTestFile(sTestFile) &&
          !os::runtime::WrittenByProgram(sTestFile) &&
          form_.MsgBox("This file was not written by this program. Replace its contents?",
                       vbYesNo | vbQuestion, sTestFile) != vbYes)
        return exitB();
    } else {
      if (!FileExists(sTestFile, "")) {
        // The text stays the window's; the detail is the system's own reason
        // (a name too long, a loop of links, a folder that may not be entered).
        const os::DWORD why = os::GetFileAttributesA(sTestFile) == os::INVALID_FILE_ATTRIBUTES
                                  ? os::GetLastError()
                                  : os::ERROR_FILE_NOT_FOUND;
        fail("File not found", reason(why));
        form_.MsgBox("File not found", vbCritical, rec.detail);
        return exitB();
      }
      const std::int64_t size = GetFileSize64(sTestFile);
      SetTxtSize(size);
      const auto mb = numtext::ToFixed4(form_.Text(Ctl::txtSize), sep).value_or(0);
      const std::int64_t fieldSize = mb > std::numeric_limits<std::int64_t>::max() / kMB
                                         ? std::numeric_limits<std::int64_t>::max()
                                         : mb * kMB;
      const std::int64_t fileSize = size > std::numeric_limits<std::int64_t>::max() / kFixed
                                        ? std::numeric_limits<std::int64_t>::max()
                                        : size * kFixed;
      TestSize = Min(fileSize, fieldSize);
    }
    rec.testSize = TestSize;
    os::Sleep(10);

    if (oTestFile && oTestFile->IsOpen()) {
      oTestFile->SeekAbsolute(0, 0);
      form_.SetEnabled(Ctl::cmdFileOp, 0, false);
    }
    if (!oTestFile) oTestFile = std::make_unique<clsFile64>();
    if (oTestFile->IsOpen()) {
      // The handle left open by a failed run is reused with its old flags.
      oTestFile->SeekAbsolute(0, 0);
    } else if (!oTestFile->OpenFile(sTestFile, FileFlags)) {
      fail("Error opening the file", reason(os::GetLastError()));
      form_.MsgBox("Error opening the file", vbExclamation, rec.detail);
      return exitB();
    }
    if (oTestFile->IsOpen()) {
      SetFragmentLabel(oTestFile->FileHandle());
      SetCompressedLabel(sTestFile);
    }
    form_.SetEnabled(Ctl::cmdFileOp, 0, true);

    // Earlier writes of anyone must not land in this run's time.
    bool volumeFound = false;
    hVolume = OpenVolumeOf(oTestFile->FileHandle(), volumeFound);
    if (volumeFound) os::FlushFileBuffers(hVolume);

    SetHighPriority(true);
    os::Sleep(10);
    if (!oTestFile->IsOpen()) return exitB();

    // A stop request ends the run where it is: the file closed, the
    // progress line cleared, no message.
    auto stopped = [&] {
      rec.stoppedBy = os::runtime::StopRequested();
      if (rec.stoppedBy == 0) return false;
      if (oTestFile->IsOpen()) oTestFile->CloseFile();
      ClearReadStatus();
      release();
      return true;
    };
    if (stopped()) return;

    // What preparing the run changed is painted before the clock starts, so
    // that the repaint at "0%" costs the run one caption.
    form_.RefreshForm();
    if (recordTimeline)
      timeline.Prepare(form_, writing, TestSize / (static_cast<std::int64_t>(BlockSize) * kFixed));
    const os::DWORD t0 = os::timeGetTime();
    const std::int64_t ns0 = os::runtime::ClockNs();
    timeline.Start(ns0);
    form_.SetText(Ctl::lblReadStatus, 0, "0%");
    form_.RefreshForm();
    if (form_.Value(Ctl::chkFlushAllBlocks)) oTestFile->AutoFlush(true);

    // The file may be closed under a Write run by the buttons it lets the
    // user press; a transfer on a closed file counts as failed.
    auto transfer = [&](std::int32_t count) -> std::int32_t {
      if (!oTestFile->IsOpen()) return 0;
      return writing ? oTestFile->WriteBytesFromPointer(count, pBuffer)
                     : oTestFile->ReadBytesToPointer(count, pBuffer);
    };
    // Why the latest transfer failed.
    // Why the latest transfer failed. A read that met the end of the file
    // early failed without any error: the file was shortened under it.
    auto transferFailure = [&] {
      if (!oTestFile->IsOpen()) return sTestFile + ": the file was closed during the run.";
      if (!writing && oTestFile->LastError() == 0)
        return sTestFile + ": the file ended after " +
               std::to_string(rec.transferred + rec.finalResult) +
               " bytes, before the end of the run.";
      return reason(oTestFile->LastError());
    };

    const std::int64_t blockFixed = static_cast<std::int64_t>(BlockSize) * kFixed;
    const std::int64_t wholeBlocks = TestSize / blockFixed;
    const double blocksInFile = static_cast<double>(TestSize) / kFixed / BlockSize;
    rec.wholeBlocks = wholeBlocks;
    std::int64_t total = 0;
    std::int64_t shownPercent = -1;
    // The percentage is worked out again only near the block where it can
    // change next; a block before that shows the same caption.
    std::int64_t nextPercentAt = 0;
    for (std::int64_t i = 0; i < wholeBlocks; ++i) {
      const std::int32_t count = transfer(BlockSize);
      if (count == 0 || oTestFile->FlushFailed()) return exitC(transferFailure());
      total += count;
      rec.transferred = total;
      timeline.Block(i + 1, total);
      if (i >= nextPercentAt) {
        const auto percent =
            static_cast<std::int64_t>(std::floor(static_cast<double>(i) / blocksInFile * 100));
        if (percent != shownPercent) {
          shownPercent = percent;
          form_.SetText(Ctl::lblReadStatus, 0, " " + std::to_string(percent) + "%");
          // Repainting a caption that did not change shows nothing new; a
          // repaint the window puts off is paid at the next change.
          form_.Refresh(Ctl::lblReadStatus, 0);
        }
        // One block of margin against the rounding of the division.
        nextPercentAt =
            std::max(i + 1, static_cast<std::int64_t>((percent + 1) * blocksInFile / 100) - 1);
      }
      if (writing) form_.DoEvents();
      if (os::runtime::StopRequested() != 0 && stopped()) return;
    }

    // Short transfers can leave more than a block; the final transfer never
    // runs past the buffer.
    if (!oTestFile->IsOpen()) return exitC(transferFailure());
    const std::int64_t remainder =
        std::min<std::int64_t>(RoundFixed(TestSize - total * kFixed), bufferSize);
    const std::int32_t finalCount = GetNextAlign(static_cast<std::int32_t>(remainder), kPage);
    rec.finalCount = finalCount;
    rec.finalResult = transfer(finalCount);
    // A write must place all of it; a read ends at the end of the file, which
    // lies beyond what the run counts.
    const std::int64_t needed = writing ? finalCount : remainder;
    if (rec.finalResult < needed || oTestFile->FlushFailed()) return exitC(transferFailure());

    form_.SetText(Ctl::lblReadStatus, 0, "100%");
    if (writing) form_.Refresh(Ctl::lblReadStatus, 0);
    form_.RefreshForm();
    if (writing && total + rec.finalResult > 0) {
      form_.SetEnabled(Ctl::cmdFileReadWrite, 0, true);
      form_.SetEnabled(Ctl::cmdFileOp, 1, true);
    }

    // The settling sleep stays, outside both measured intervals.
    const os::DWORD tEnd = os::timeGetTime();
    const std::int64_t nsEnd = os::runtime::ClockNs();
    rec.elapsedMs = Elapsed(t0, tEnd);
    rec.elapsedNs = nsEnd - ns0;
    timeline.End(total + rec.finalResult, nsEnd);
    os::Sleep(10);
    const os::DWORD tSlept = os::timeGetTime();
    const std::int64_t nsSlept = os::runtime::ClockNs();
    rec.sleepNs = nsSlept - nsEnd;
    timeline.Pause(nsEnd, nsSlept);

    // A flush the system refuses means it dropped data: the line says so
    // and why, and no figure is given with it.
    std::string flushFailure;
    int line = 1;
    const bool flushAtFinish =
        writing && (form_.Value(Ctl::chkFlushAtFinish, 0) || form_.Value(Ctl::chkFlushAtFinish, 1));
    if (flushAtFinish && form_.Value(Ctl::chkFlushAtFinish, 0) && !stopped()) {
      const os::DWORD tf = os::timeGetTime();
      const std::int64_t nsf = os::runtime::ClockNs();
      form_.SetText(Ctl::lblReadStatus, 1, "flushing file...");
      form_.Refresh(Ctl::lblReadStatus, 1);
      const bool flushed = oTestFile->Flush() || !FlushDroppedData(oTestFile->LastError());
      const os::DWORD error = oTestFile->LastError();
      rec.fileFlushMs = std::max(0, Elapsed(tf, os::timeGetTime()) - 1);
      rec.fileFlushNs = os::runtime::ClockNs() - nsf;
      timeline.Flush(FlushMark::File, nsf, nsf + rec.fileFlushNs);
      if (flushed) {
        form_.SetText(Ctl::lblReadStatus, 1,
                      "file flush time: " + std::to_string(rec.fileFlushMs) + " ms");
      } else {
        rec.fileFlushFailed = true;
        flushFailure = "flushing " + reason(error);
        form_.SetText(Ctl::lblReadStatus, 1, "file flush failed: " + SystemReason(error));
      }
      form_.Refresh(Ctl::lblReadStatus, 1);
      line = 2;
    }
    if (rec.stoppedBy || stopped()) return;
    if (flushAtFinish && form_.Value(Ctl::chkFlushAtFinish, 1) && !stopped()) {
      const os::DWORD tf = os::timeGetTime();
      const std::int64_t nsf = os::runtime::ClockNs();
      form_.SetText(Ctl::lblReadStatus, line, "flushing volume...");
      form_.Refresh(Ctl::lblReadStatus, line);
      const bool flushed = !volumeFound || os::FlushFileBuffers(hVolume) == os::TRUE ||
                           !FlushDroppedData(os::GetLastError());
      const os::DWORD error = os::GetLastError();
      rec.volumeFlushMs = std::max(0, Elapsed(tf, os::timeGetTime()));
      rec.volumeFlushNs = os::runtime::ClockNs() - nsf;
      timeline.Flush(FlushMark::Volume, nsf, nsf + rec.volumeFlushNs);
      if (flushed) {
        form_.SetText(Ctl::lblReadStatus, line,
                      "volume flush time: " + std::to_string(rec.volumeFlushMs) + " ms");
      } else {
        rec.volumeFlushFailed = true;
        if (flushFailure.empty()) flushFailure = "flushing the volume of " + reason(error);
        form_.SetText(Ctl::lblReadStatus, line, "volume flush failed: " + SystemReason(error));
      }
      form_.Refresh(Ctl::lblReadStatus, line);
      ++line;
    }
    // A request that came during the final transfer or a flush still ends
    // the run as stopped, not with its figures.
    if (rec.stoppedBy || stopped()) return;

    if (oTestFile->IsOpen()) {
      SetFragmentLabel(oTestFile->FileHandle());
      SetCompressedLabel(sTestFile);
    }
    markWritten();
    if (oTestFile->IsOpen()) oTestFile->CloseFile();
    const os::HANDLE h =
        os::CreateFileA(sTestFile, os::GENERIC_READ, os::FILE_SHARE_READ | os::FILE_SHARE_WRITE,
                        os::OPEN_EXISTING, 0);
    if (h != os::INVALID_HANDLE_VALUE) {
      SetFragmentLabel(h);
      SetCompressedLabel(sTestFile);
      os::CloseHandle(h);
    }
    form_.SetEnabled(Ctl::cmdFileOp, 0, true);
    rec.elapsedWithFlushMs = rec.elapsedMs + Elapsed(tSlept, os::timeGetTime());
    rec.elapsedWithFlushNs = rec.elapsedNs + (os::runtime::ClockNs() - nsSlept);
    os::Sleep(10);

    const std::string word = writing ? "Written" : "Read";
    const bool twoLines =
        writing && (form_.Value(Ctl::chkFlushAtFinish, 0) || form_.Value(Ctl::chkFlushAtFinish, 1));
    if (rec.elapsedNs <= 0) {
      form_.SetText(Ctl::lblReadStatus, 0, "---");
    } else if (!twoLines) {
      form_.SetText(Ctl::lblReadStatus, 0,
                    word + " with " + Throughput(TestSize, rec.elapsedNs, sep));
    } else {
      form_.SetText(Ctl::lblReadStatus, 0,
                    "without flush: " + word + " with " + Throughput(TestSize, rec.elapsedNs, sep));
      if (flushFailure.empty())
        form_.SetText(
            Ctl::lblReadStatus, line,
            "with flush: " + word + " with " + Throughput(TestSize, rec.elapsedWithFlushNs, sep));
    }
    form_.RefreshForm();
    if (!flushFailure.empty()) {
      fail("Error", flushFailure);
      release();
      form_.MsgBox("Error", vbOKOnly, flushFailure);
      return;
    }
    rec.finished = true;
    exitB();
  } catch (const Win32FileError& e) {
    // A file closed or lost under the run.
    EndWithError(exitC, sTestFile + ": " + e.Description());
  } catch (const std::exception& e) {
    EndWithError(exitC, sTestFile + ": " + e.what());
  }
}
