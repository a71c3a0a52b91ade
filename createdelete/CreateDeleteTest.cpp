// Creates and deletes many empty files beside the test file and times both
// phases and the volume flush after each.
#include <chrono>
#include <cmath>
#include <memory>
#include <vector>

#include "app/frmMain.h"
#include "createdelete/basCreateDelete.h"
#include "fileio/NumberText.h"
#include "fileio/basFiles.h"
#include "fileio/basStrings.h"

namespace {

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

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

void frmMain::cmdCreateAndDeleteFiles_Click() {
  CreateDeleteRecord rec;
  auto fileName = [&](std::int32_t i) {
    return form_.Text(Ctl::txtTestFile) + "." + numtext::Format(i, "0000", '.');
  };

  bool volumeFound = false;
  const os::HANDLE H = OpenVolumeOf(form_.Text(Ctl::txtTestFile), volumeFound);
  rec.volumeOpened = volumeFound && H != os::INVALID_HANDLE_VALUE;
  // Without a volume name there is nothing to flush; the times show 0.
  auto flushVolume = [&] {
    if (volumeFound) os::FlushFileBuffers(H);
  };
  flushVolume();

  const std::int32_t F = CheckedFileFlags(form_);
  const std::int32_t N = NumberOfFiles(form_.Text(Ctl::txtNumberOfFiles));
  form_.SetText(Ctl::txtNumberOfFiles, 0, std::to_string(N));
  rec.files = N;

  // One volume flush with its caption in status line `line`.
  auto TimedFlush = [&](int line, std::int32_t& ms, std::int64_t& ns) {
    form_.SetText(Ctl::lblReadStatus, line, "flushing...");
    form_.Refresh(Ctl::lblReadStatus, line);
    os::Sleep(0);
    const os::DWORD before = os::timeGetTime();
    const std::int64_t nsBefore = NowNs();
    flushVolume();
    const os::DWORD after = os::timeGetTime();
    ns = NowNs() - nsBefore;
    ms = Elapsed(before, after);
    form_.SetText(Ctl::lblReadStatus, line, std::to_string(ms) + " ms flush time");
    form_.Refresh(Ctl::lblReadStatus, line);
  };

  std::vector<std::unique_ptr<clsFile64>> files;
  files.reserve(static_cast<std::size_t>(N));
  ClearReadStatus();
  form_.SetMousePointer(vbHourglass);

  os::Sleep(100);
  const os::DWORD T0 = os::timeGetTime();
  const std::int64_t ns0 = NowNs();
  std::int32_t C = 0;
  for (std::int32_t i = 0; i < N; ++i) {
    const std::string name = fileName(i);
    auto& file = files.emplace_back(std::make_unique<clsFile64>());
    bool created = file->OpenFile(name, F);
    // A name someone else owns is never counted as ours, so never deleted.
    if (created && os::GetLastError() == os::ERROR_ALREADY_EXISTS) {
      file->CloseFile();
      os::SetLastError(os::ERROR_FILE_EXISTS);
      created = false;
    }
    if (!created) {
      form_.MsgBox("Error: " + GetLastErrorText() + name, vbOKOnly);
      form_.SetMousePointer(vbDefault);
      break;
    }
    file->CloseFile();
    ++C;
    form_.SetText(Ctl::lblReadStatus, 0, std::to_string(i));
    form_.Refresh(Ctl::lblReadStatus, 0);
  }
  rec.created = C;
  auto finish = [&] {
    if (H != os::INVALID_HANDLE_VALUE) os::CloseHandle(H);
    form_.SetMousePointer(vbDefault);
    lastCreateDelete_ = rec;
  };
  if (C == 0) return finish();

  const char sep = form_.DecimalSeparator();
  const os::DWORD T1 = os::timeGetTime();
  rec.createNs = NowNs() - ns0;
  rec.createMs = Elapsed(T0, T1);
  form_.SetText(Ctl::lblReadStatus, 0,
                numtext::Format(static_cast<double>(rec.createMs) / C, "0.0", sep) + " ms per file creation");
  form_.Refresh(Ctl::lblReadStatus, 0);

  TimedFlush(1, rec.flushAfterCreateMs, rec.flushAfterCreateNs);

  os::Sleep(100);
  const os::DWORD T4 = os::timeGetTime();
  const std::int64_t ns4 = NowNs();
  for (std::int32_t j = 0; j < C; ++j) {
    KillFiles(fileName(j));
    form_.SetText(Ctl::lblReadStatus, 2, std::to_string(j));
    form_.Refresh(Ctl::lblReadStatus, 2);
  }
  const os::DWORD T5 = os::timeGetTime();
  rec.deleteNs = NowNs() - ns4;
  rec.deleteMs = Elapsed(T4, T5);
  form_.SetText(Ctl::lblReadStatus, 2,
                numtext::Format(static_cast<double>(rec.deleteMs) / C, "0.0", sep) + " ms per file delete");
  form_.Refresh(Ctl::lblReadStatus, 2);

  TimedFlush(3, rec.flushAfterDeleteMs, rec.flushAfterDeleteNs);
  finish();
}
