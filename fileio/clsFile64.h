// The file object: at most one open file, raw transfers of caller-chosen
// byte counts, 64-bit absolute seek, flush and close. Each transfer, flush
// and seek is exactly one system call (a write with auto-flush, two).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>

#include "platform/os.h"

// A misuse of the file object, with its number, source and description.
class Win32FileError : public std::runtime_error {
 public:
  static constexpr int kNoOpenFile = 45603;
  static constexpr int kSeekError = 45604;

  Win32FileError(int number, const std::string& description)
      : std::runtime_error(description), number_(number) {}
  int Number() const { return number_; }
  std::string Source() const { return "Win32File Object"; }
  std::string Description() const { return what(); }

 private:
  int number_;
};

class clsFile64 {
 public:
  clsFile64() = default;
  // Closes a file still open, without flushing and without throwing.
  ~clsFile64();
  clsFile64(const clsFile64&) = delete;
  clsFile64& operator=(const clsFile64&) = delete;

  os::HANDLE FileHandle() const;
  std::string FileName() const;
  bool IsOpen() const noexcept { return handle_ != os::INVALID_HANDLE_VALUE; }
  bool AutoFlush() const;
  void AutoFlush(bool NewVal);

  // Opens or creates the file, never truncating it. False when it cannot be
  // opened, or when this object already holds a file.
  bool OpenFile(const std::string& sFileName, std::int32_t FileFlags);
  // The same for a plain name inside an open folder (os::OpenFolder).
  bool OpenFileIn(os::HANDLE folder, const std::string& name, std::int32_t FileFlags);
  void CloseFile();

  // The byte-array members transfer at most the array's length.
  std::int32_t ReadBytes(std::int32_t ByteCount, std::span<std::byte> Bytes);
  std::int32_t ReadBytesToPointer(std::int32_t ByteCount, void* pData);
  std::int32_t WriteBytesN(std::int32_t BytesToDeal, std::span<const std::byte> DataBytes);
  std::int32_t WriteBytesFromPointer(std::int32_t BytesToDeal, const void* pData);
  void WriteBytes(std::span<const std::byte> DataBytes);

  // True when the system confirmed that the data reached the disk.
  bool Flush();
  // The system's error code of the latest transfer or flush that failed.
  os::DWORD LastError() const noexcept { return lastError_; }
  // True once an automatic flush after a write has failed, until the close.
  bool FlushFailed() const noexcept { return flushFailed_; }
  // Positions at HighPos x 2^32 + LowPos (LowPos taken as unsigned).
  void SeekAbsolute(std::int32_t HighPos, std::int32_t LowPos);
  void SeekRelative(std::int32_t Offset);

 private:
  // Checked before every transfer: the throw stays out of the block loop.
  void RequireOpen() const {
    if (!IsOpen()) [[unlikely]]
      ThrowNoOpenFile();
  }
  [[noreturn]] static void ThrowNoOpenFile();
  std::int32_t Read(std::span<std::byte> buffer);
  std::int32_t Write(std::span<const std::byte> buffer);

  os::HANDLE handle_ = os::INVALID_HANDLE_VALUE;
  std::string fileName_;
  bool autoFlush_ = false;
  bool flushFailed_ = false;
  os::DWORD lastError_ = 0;
};
