#include "fileio/clsFile64.h"

#include <algorithm>

#include "fileio/basFiles.h"

namespace {

std::size_t Count(std::int32_t n) { return n > 0 ? static_cast<std::size_t>(n) : 0; }

}  // namespace

clsFile64::~clsFile64() {
  if (IsOpen()) os::CloseHandle(handle_);
}

void clsFile64::ThrowNoOpenFile() {
  throw Win32FileError(Win32FileError::kNoOpenFile, "There is no open file.");
}

os::HANDLE clsFile64::FileHandle() const {
  RequireOpen();
  return handle_;
}

std::string clsFile64::FileName() const {
  RequireOpen();
  return fileName_;
}

bool clsFile64::AutoFlush() const {
  RequireOpen();
  return autoFlush_;
}

void clsFile64::AutoFlush(bool NewVal) {
  RequireOpen();
  autoFlush_ = NewVal;
}

bool clsFile64::OpenFile(const std::string& sFileName, std::int32_t FileFlags) {
  // A second open would lose the handle already held.
  if (IsOpen()) return false;
  handle_ =
      os::CreateFileA(sFileName, os::GENERIC_READ | os::GENERIC_WRITE, gShareMode, os::OPEN_ALWAYS,
                      static_cast<os::DWORD>(FileFlags) | os::FILE_ATTRIBUTE_NORMAL);
  fileName_ = sFileName;
  return IsOpen();
}

bool clsFile64::OpenFileIn(os::HANDLE folder, const std::string& name, std::int32_t FileFlags) {
  if (IsOpen()) return false;
  handle_ = os::CreateFileInFolder(folder, name, os::GENERIC_READ | os::GENERIC_WRITE, gShareMode,
                                   os::OPEN_ALWAYS,
                                   static_cast<os::DWORD>(FileFlags) | os::FILE_ATTRIBUTE_NORMAL);
  fileName_ = name;
  return IsOpen();
}

void clsFile64::CloseFile() {
  RequireOpen();
  os::CloseHandle(handle_);
  fileName_.clear();
  autoFlush_ = false;
  flushFailed_ = false;
  handle_ = os::INVALID_HANDLE_VALUE;
}

std::int32_t clsFile64::Read(std::span<std::byte> buffer) {
  os::DWORD count = 0;
  // A short read at the end of the file is no error: it leaves 0.
  lastError_ = os::ReadFile(handle_, buffer, &count) == os::TRUE ? 0 : os::GetLastError();
  return static_cast<std::int32_t>(count);
}

std::int32_t clsFile64::Write(std::span<const std::byte> buffer) {
  os::DWORD count = 0;
  lastError_ = os::WriteFile(handle_, buffer, &count) == os::TRUE ? 0 : os::GetLastError();
  if (autoFlush_ && !Flush() && FlushDroppedData(lastError_)) flushFailed_ = true;
  return static_cast<std::int32_t>(count);
}

std::int32_t clsFile64::ReadBytes(std::int32_t ByteCount, std::span<std::byte> Bytes) {
  RequireOpen();
  return Read(Bytes.first(std::min(Count(ByteCount), Bytes.size())));
}

std::int32_t clsFile64::ReadBytesToPointer(std::int32_t ByteCount, void* pData) {
  RequireOpen();
  return Read({static_cast<std::byte*>(pData), pData ? Count(ByteCount) : 0});
}

std::int32_t clsFile64::WriteBytesN(std::int32_t BytesToDeal,
                                    std::span<const std::byte> DataBytes) {
  RequireOpen();
  return Write(DataBytes.first(std::min(Count(BytesToDeal), DataBytes.size())));
}

std::int32_t clsFile64::WriteBytesFromPointer(std::int32_t BytesToDeal, const void* pData) {
  RequireOpen();
  return Write({static_cast<const std::byte*>(pData), pData ? Count(BytesToDeal) : 0});
}

void clsFile64::WriteBytes(std::span<const std::byte> DataBytes) {
  RequireOpen();
  Write(DataBytes);
}

bool clsFile64::Flush() {
  RequireOpen();
  if (os::FlushFileBuffers(handle_) == os::TRUE) return true;
  lastError_ = os::GetLastError();
  return false;
}

void clsFile64::SeekAbsolute(std::int32_t HighPos, std::int32_t LowPos) {
  RequireOpen();
  os::LONG high = HighPos;
  os::SetFilePointer(handle_, LowPos, &high, os::FILE_BEGIN);
}

void clsFile64::SeekRelative(std::int32_t Offset) {
  RequireOpen();
  const os::DWORD result = os::SetFilePointer(handle_, Offset, nullptr, os::FILE_CURRENT);
  const os::DWORD error = os::GetLastError();
  if (result == os::INVALID_SET_FILE_POINTER && error != 0) {
    const std::string code = std::to_string(error);
    throw Win32FileError(Win32FileError::kSeekError,
                         "Seek Error.\r\nError " + code + ".\r\n" + code);
  }
}
