// Creates and deletes many empty files beside the test file and times both
// phases and the volume flush after each.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <vector>

#include "createdelete/basCreateDelete.h"
#include "fileio/NumberText.h"
#include "fileio/basFiles.h"
#include "fileio/basStrings.h"
#include "form/frmMain.h"

namespace {

std::int32_t Elapsed(os::DWORD from, os::DWORD to) { return static_cast<std::int32_t>(to - from); }

}  // namespace

std::string GetLastErrorText() {
  std::string buffer(1024, ' ');
  os::FormatMessageA(os::FORMAT_MESSAGE_FROM_SYSTEM, os::GetLastError(), 0x400,
                     std::span<char>(buffer.data(), buffer.size()));
  return TrimNull(buffer);
}

bool KillFiles(const std::string& sPattern) { return os::DeleteFileA(sPattern) != os::FALSE; }

std::int32_t NumberOfFiles(const std::string& text) {
  const double n = std::nearbyint(numtext::LeadingNumber(text));
  if (!(n >= 10)) return 10;  // NaN too
  if (n > 10000) return 10000;
  return static_cast<std::int32_t>(n);
}

// Milliseconds per file: "#0.0" from 0.1 ms up; below that, where "#0.0"
// would show 0.0 for every run on a current disk, two significant digits
// of the nanosecond figure.
std::string PerFile(std::int32_t totalMs, std::int64_t totalNs, std::int32_t files, char sep) {
  const double ms = static_cast<double>(totalMs) / files;
  if (ms >= 0.1) return numtext::Format(ms, "#0.0", sep);
  const double precise = static_cast<double>(totalNs) / files / 1e6;
  if (precise <= 0) return numtext::Format(0, "#0.0", sep);
  int decimals = std::max(2, 1 - static_cast<int>(std::floor(std::log10(precise))));
  std::string text =
      numtext::Format(precise, "#0." + std::string(static_cast<std::size_t>(decimals), '0'), sep);
  // 0.0996 rounds up to 0.100: one decimal fewer keeps two digits (0.10).
  if (decimals > 2 && text.size() - text.find_first_not_of(std::string("0") + sep) > 2)
    text = numtext::Format(precise,
                           "#0." + std::string(static_cast<std::size_t>(decimals - 1), '0'), sep);
  return text;
}

void frmMain::cmdCreateAndDeleteFiles_Click() {
  CreateDeleteRecord rec;
  // The folder is opened once; every file is made and deleted in it, so a
  // folder renamed or replaced meanwhile never sends a deletion elsewhere.
  const PathParts parts = SplitPath(form_.Text(Ctl::txtTestFile));
  const os::HANDLE folder = os::OpenFolder(parts.folder);
  const os::DWORD folderError = os::GetLastError();
  auto fileName = [&](std::int32_t i) {
    return parts.name + "." + numtext::Format(i, "0000", '.');
  };
  // The name the user reads: as the test file's path was typed.
  auto shownName = [&](std::int32_t i) {
    return form_.Text(Ctl::txtTestFile) + "." + numtext::Format(i, "0000", '.');
  };

  bool volumeFound = false;
  const os::HANDLE H = OpenVolumeOf(folder, volumeFound);
  rec.volumeOpened = volumeFound;
  // Without a volume there is nothing to flush; the times show 0.
  auto flushVolume = [&] {
    return !volumeFound || os::FlushFileBuffers(H) == os::TRUE ||
           !FlushDroppedData(os::GetLastError());
  };

  std::int32_t C = 0;
  bool deleted = false;
  // A deletion that fails leaves a file behind: counted and named, never
  // passed over.
  std::string firstLeft;
  auto kill = [&](std::int32_t j) {
    if (os::DeleteFileInFolder(folder, fileName(j))) return;
    if (rec.notDeleted++ == 0) firstLeft = shownName(j) + ": " + SystemReason(os::GetLastError());
  };
  // Exactly the files this run created are deleted again, whatever ends it.
  auto deleteCreated = [&] {
    if (deleted) return;
    deleted = true;
    for (std::int32_t j = 0; j < C; ++j) kill(j);
  };
  auto leftBehind = [&] {
    return std::to_string(rec.notDeleted) + " of " + std::to_string(C) +
           " files could not be deleted and are still there; the first: " + firstLeft;
  };
  auto finish = [&] {
    deleteCreated();
    if (H != os::INVALID_HANDLE_VALUE) os::CloseHandle(H);
    if (folder != os::INVALID_HANDLE_VALUE) os::CloseHandle(folder);
    form_.SetMousePointer(vbDefault);
    lastCreateDelete_ = rec;
  };
  bool finished = false;
  struct Guard {
    decltype(finish)& f;
    bool& done;
    ~Guard() {
      if (!done) {
        done = true;
        try {
          f();
        } catch (...) {
        }
      }
    }
  } guard{finish, finished};
  auto end = [&] {
    finished = true;
    finish();
  };

  try {
    flushVolume();
    const std::int32_t F = CheckedFileFlags(form_);
    const std::int32_t N = NumberOfFiles(form_.Text(Ctl::txtNumberOfFiles));
    form_.SetText(Ctl::txtNumberOfFiles, 0, std::to_string(N));
    rec.files = N;

    std::string flushFailure;
    // One volume flush with its caption in status line `line`.
    auto TimedFlush = [&](int line, std::int32_t& ms, std::int64_t& ns, bool& failed) {
      form_.SetText(Ctl::lblReadStatus, line, "flushing...");
      form_.Refresh(Ctl::lblReadStatus, line);
      os::Sleep(0);
      const os::DWORD before = os::timeGetTime();
      const std::int64_t nsBefore = os::runtime::ClockNs();
      failed = !flushVolume();
      const os::DWORD error = os::GetLastError();
      const os::DWORD after = os::timeGetTime();
      ns = os::runtime::ClockNs() - nsBefore;
      ms = Elapsed(before, after);
      if (failed) {
        form_.SetText(Ctl::lblReadStatus, line, "flush failed: " + SystemReason(error));
        if (flushFailure.empty())
          flushFailure =
              "flushing the volume of " + form_.Text(Ctl::txtTestFile) + ": " + SystemReason(error);
      } else {
        form_.SetText(Ctl::lblReadStatus, line, std::to_string(ms) + " ms flush time");
      }
      form_.Refresh(Ctl::lblReadStatus, line);
    };
    // A stop request deletes what was made and ends without lines.
    auto stopped = [&] {
      rec.stoppedBy = os::runtime::StopRequested();
      if (rec.stoppedBy == 0) return false;
      rec.created = C;
      deleteCreated();
      if (rec.notDeleted > 0) rec.detail = leftBehind();
      ClearReadStatus();
      return true;
    };

    std::vector<std::unique_ptr<clsFile64>> files;
    files.reserve(static_cast<std::size_t>(N));
    ClearReadStatus();
    form_.SetMousePointer(vbHourglass);

    os::Sleep(100);
    const os::DWORD T0 = os::timeGetTime();
    const std::int64_t ns0 = os::runtime::ClockNs();
    os::DWORD T1 = T0;
    std::int64_t ns1 = ns0;
    bool failedCreation = false;
    for (std::int32_t i = 0; i < N; ++i) {
      if (stopped()) return end();
      const std::string name = shownName(i);
      auto& file = files.emplace_back(std::make_unique<clsFile64>());
      bool created = folder != os::INVALID_HANDLE_VALUE && file->OpenFileIn(folder, fileName(i), F);
      if (folder == os::INVALID_HANDLE_VALUE) os::SetLastError(folderError);
      // A name someone else owns is never counted as ours, so never deleted.
      if (created && os::GetLastError() == os::ERROR_ALREADY_EXISTS) {
        file->CloseFile();
        os::SetLastError(os::ERROR_FILE_EXISTS);
        created = false;
      }
      if (!created) {
        // The clock stops before the message: a box left open is not a
        // creation's time.
        T1 = os::timeGetTime();
        ns1 = os::runtime::ClockNs();
        failedCreation = true;
        // The message itself names the file and the cause.
        rec.message = "Error: " + GetLastErrorText() + name;
        form_.MsgBox(rec.message, vbOKOnly);
        form_.SetMousePointer(vbDefault);
        break;
      }
      file->CloseFile();
      ++C;
      form_.SetText(Ctl::lblReadStatus, 0, std::to_string(i));
      form_.Refresh(Ctl::lblReadStatus, 0);
    }
    rec.created = C;
    if (C == 0 || stopped()) return end();

    const char sep = form_.DecimalSeparator();
    if (!failedCreation) {
      T1 = os::timeGetTime();
      ns1 = os::runtime::ClockNs();
    }
    rec.createNs = ns1 - ns0;
    rec.createMs = Elapsed(T0, T1);
    form_.SetText(Ctl::lblReadStatus, 0,
                  PerFile(rec.createMs, rec.createNs, C, sep) + " ms per file creation");
    form_.Refresh(Ctl::lblReadStatus, 0);

    TimedFlush(1, rec.flushAfterCreateMs, rec.flushAfterCreateNs, rec.flushAfterCreateFailed);
    if (stopped()) return end();

    os::Sleep(100);
    const os::DWORD T4 = os::timeGetTime();
    const std::int64_t ns4 = os::runtime::ClockNs();
    // Once begun, the deletions run to the end even when a stop is asked.
    for (std::int32_t j = 0; j < C; ++j) {
      kill(j);
      form_.SetText(Ctl::lblReadStatus, 2, std::to_string(j));
      form_.Refresh(Ctl::lblReadStatus, 2);
    }
    deleted = true;
    const os::DWORD T5 = os::timeGetTime();
    rec.deleteNs = os::runtime::ClockNs() - ns4;
    rec.deleteMs = Elapsed(T4, T5);
    form_.SetText(Ctl::lblReadStatus, 2,
                  PerFile(rec.deleteMs, rec.deleteNs, C, sep) + " ms per file delete");
    form_.Refresh(Ctl::lblReadStatus, 2);

    TimedFlush(3, rec.flushAfterDeleteMs, rec.flushAfterDeleteNs, rec.flushAfterDeleteFailed);
    if (stopped()) return end();
    std::string failure = rec.notDeleted > 0 ? leftBehind() : flushFailure;
    if (!failure.empty() && rec.message.empty()) {
      rec.message = "Error";
      rec.detail = failure;
      end();
      form_.MsgBox("Error", vbOKOnly, failure);
      return;
    }
    rec.finished = !failedCreation && rec.notDeleted == 0;
    end();
  } catch (const std::exception& e) {
    rec.message = "Error";
    rec.detail = form_.Text(Ctl::txtTestFile) + ": " + e.what();
    end();
    try {
      form_.MsgBox("Error", vbOKOnly, rec.detail);
    } catch (...) {
    }
  }
}
