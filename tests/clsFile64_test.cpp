// The file object on real files.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <functional>
#include <memory>

#include "fileio/clsFile64.h"
#include "platform/seam.h"
#include "tests/support.h"

using testing_support::TempDir;
namespace fs = std::filesystem;
namespace seam = os::seam;

namespace {

class File64Test : public ::testing::Test {
 protected:
  void SetUp() override {
    seam::Reset();
    handlesBefore = seam::OpenHandles();
  }
  void TearDown() override {
    seam::Reset();
    EXPECT_EQ(seam::OpenHandles(), handlesBefore) << "a handle was left open";
  }
  static std::span<const std::byte> Bytes(const std::string& s) {
    return std::as_bytes(std::span(s));
  }

  TempDir dir;
  std::size_t handlesBefore = 0;
};

void ExpectNoOpenFile(const std::function<void()>& member, const char* what) {
  try {
    member();
    ADD_FAILURE() << what << " did not raise";
  } catch (const Win32FileError& e) {
    EXPECT_EQ(e.Number(), 45603) << what;
    EXPECT_EQ(e.Source(), "Win32File Object");
    EXPECT_EQ(e.Description(), "There is no open file.");
  }
}

TEST_F(File64Test, EveryGuardedMemberRaisesWithoutAnOpenFile) {
  clsFile64 f;
  EXPECT_FALSE(f.IsOpen());
  std::array<std::byte, 4> buf{};
  ExpectNoOpenFile([&] { f.FileHandle(); }, "FileHandle");
  ExpectNoOpenFile([&] { f.FileName(); }, "FileName");
  ExpectNoOpenFile([&] { (void)f.AutoFlush(); }, "AutoFlush get");
  ExpectNoOpenFile([&] { f.AutoFlush(true); }, "AutoFlush let");
  ExpectNoOpenFile([&] { f.CloseFile(); }, "CloseFile");
  ExpectNoOpenFile([&] { f.Flush(); }, "Flush");
  ExpectNoOpenFile([&] { f.ReadBytes(4, buf); }, "ReadBytes");
  ExpectNoOpenFile([&] { f.ReadBytesToPointer(4, buf.data()); }, "ReadBytesToPointer");
  ExpectNoOpenFile([&] { f.WriteBytesN(4, buf); }, "WriteBytesN");
  ExpectNoOpenFile([&] { f.WriteBytesFromPointer(4, buf.data()); }, "WriteBytesFromPointer");
  ExpectNoOpenFile([&] { f.WriteBytes(buf); }, "WriteBytes");
  ExpectNoOpenFile([&] { f.SeekAbsolute(0, 0); }, "SeekAbsolute");
  ExpectNoOpenFile([&] { f.SeekRelative(0); }, "SeekRelative");
  EXPECT_EQ(seam::Calls(seam::Op::CloseHandle) + seam::Calls(seam::Op::ReadFile) +
                seam::Calls(seam::Op::WriteFile) + seam::Calls(seam::Op::SetFilePointer),
            0u)
      << "a guarded member reached the system";
}

TEST_F(File64Test, ASecondOpenIsRefusedAndKeepsTheFirstFile) {
  clsFile64 f;
  ASSERT_TRUE(f.OpenFile(dir.File("first"), 0));
  const auto handle = f.FileHandle();
  const auto open = seam::OpenHandles();
  EXPECT_FALSE(f.OpenFile(dir.File("second"), 0));
  EXPECT_EQ(seam::OpenHandles(), open);
  EXPECT_FALSE(fs::exists(dir.File("second")));
  EXPECT_EQ(f.FileHandle(), handle);
  EXPECT_EQ(f.FileName(), dir.File("first"));
}

TEST_F(File64Test, CloseForgetsNameAndAutoFlush) {
  clsFile64 f;
  ASSERT_TRUE(f.OpenFile(dir.File("a"), 0));
  f.AutoFlush(true);
  f.CloseFile();
  EXPECT_FALSE(f.IsOpen());
  ExpectNoOpenFile([&] { (void)f.AutoFlush(); }, "AutoFlush after close");
  ASSERT_TRUE(f.OpenFile(dir.File("a"), 0));
  EXPECT_FALSE(f.AutoFlush());
  f.CloseFile();
}

TEST_F(File64Test, SeekAbsoluteBuildsA64BitPositionWithAnUnsignedLowHalf) {
  const auto path = dir.File("sparse");
  clsFile64 f;
  ASSERT_TRUE(f.OpenFile(path, 0));
  const std::string x = "x";
  f.SeekAbsolute(1, 0);
  EXPECT_EQ(f.WriteBytesN(1, Bytes(x)), 1);
  EXPECT_EQ(fs::file_size(path), 4294967296ull + 1);
  f.SeekAbsolute(0, -1);
  f.WriteBytes(Bytes("yy"));
  EXPECT_EQ(fs::file_size(path), 4294967295ull + 2);
  f.SeekAbsolute(0, 0);
  std::array<std::byte, 1> first{std::byte{1}};
  EXPECT_EQ(f.ReadBytes(1, first), 1);
  EXPECT_EQ(first[0], std::byte{0});
  f.CloseFile();
}

TEST_F(File64Test, ArrayMembersTransferTheCountAskedOrTheWholeArray) {
  const auto path = dir.File("arr");
  clsFile64 f;
  ASSERT_TRUE(f.OpenFile(path, 0));
  const std::string ten = "0123456789";
  f.WriteBytes(Bytes(ten));
  EXPECT_EQ(f.WriteBytesN(3, Bytes(ten)), 3);
  // More than the array holds is cut to the array, never read past it.
  EXPECT_EQ(f.WriteBytesN(1000, Bytes(ten)), 10);
  EXPECT_EQ(f.WriteBytesN(-5, Bytes(ten)), 0);
  f.SeekAbsolute(0, 0);
  std::array<std::byte, 8> small{};
  EXPECT_EQ(f.ReadBytes(100, small), 8);
  f.CloseFile();
  EXPECT_EQ(testing_support::ReadText(path), "01234567890120123456789");
}

TEST_F(File64Test, FailedTransfersShowOnlyAsSmallerCounts) {
  clsFile64 f;
  ASSERT_TRUE(f.OpenFile(dir.File("full"), 0));
  const std::string block(4096, 'd');
  seam::FailNext(seam::Op::WriteFile, os::ERROR_DISK_FULL, 1);
  EXPECT_EQ(f.WriteBytesFromPointer(4096, block.data()), 4096);
  EXPECT_EQ(f.WriteBytesFromPointer(4096, block.data()), 0);
  EXPECT_EQ(os::GetLastError(), os::ERROR_DISK_FULL);
  seam::ShortenNext(seam::Op::WriteFile, 100, os::ERROR_DISK_FULL);
  EXPECT_EQ(f.WriteBytesFromPointer(4096, block.data()), 100);
  seam::FailNext(seam::Op::ReadFile, os::ERROR_IO_DEVICE);
  f.SeekAbsolute(0, 0);
  std::array<std::byte, 50> buf{};
  EXPECT_EQ(f.ReadBytesToPointer(50, buf.data()), 0);
  EXPECT_EQ(f.ReadBytesToPointer(50, buf.data()), 50);
  EXPECT_EQ(buf[0], std::byte{'d'}) << "the short write put its bytes on disk";
  f.CloseFile();
}

TEST_F(File64Test, SeekRelativeRaisesTheSystemErrorInThreeLines) {
  clsFile64 f;
  ASSERT_TRUE(f.OpenFile(dir.File("s"), 0));
  f.SeekRelative(10);
  try {
    f.SeekRelative(-11);
    ADD_FAILURE() << "a seek before the start did not raise";
  } catch (const Win32FileError& e) {
    EXPECT_EQ(e.Number(), 45604);
    EXPECT_EQ(e.Source(), "Win32File Object");
    // The system's own number: 87 on Linux, ERROR_NEGATIVE_SEEK (131) on Windows.
    const std::string d = e.Description();
    EXPECT_TRUE(d == "Seek Error.\r\nError 87.\r\n87" || d == "Seek Error.\r\nError 131.\r\n131")
        << d;
  }
  // The failure value with error 0 is a valid position, not an error.
  seam::FailNext(seam::Op::SetFilePointer, 0);
  EXPECT_NO_THROW(f.SeekRelative(1));
  f.CloseFile();
}

TEST_F(File64Test, DestroyingAnOpenObjectClosesWithoutFlushing) {
  {
    auto f = std::make_unique<clsFile64>();
    ASSERT_TRUE(f->OpenFile(dir.File("d"), 0));
    f->AutoFlush(true);
    EXPECT_EQ(seam::OpenHandles(), handlesBefore + 1);
  }
  EXPECT_EQ(seam::Calls(seam::Op::CloseHandle), 1u);
  EXPECT_EQ(seam::Calls(seam::Op::FlushFileBuffers), 0u);
}

}  // namespace
