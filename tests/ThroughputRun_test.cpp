// The Write and Read runs on real files: what they transfer, what they show,
// and how they end when the file or the disk fails them.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/mman.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>

#include "form/HeadlessForm.h"
#include "form/basBase.h"
#include "form/frmMain.h"
#include "platform/paths.h"
#include "platform/seam.h"
#include "tests/LoopDisk.h"
#include "tests/support.h"

namespace {

namespace fs = std::filesystem;
using os::seam::Op;
using testing_support::RunCommand;

constexpr int kWrite = 1;
constexpr int kRead = 0;

class Run : public ::testing::Test {
 protected:
  void SetUp() override { os::seam::Reset(); }
  void TearDown() override {
    owner.reset();
    os::seam::Reset();
    EXPECT_EQ(os::seam::OpenHandles(), handlesBefore) << "a run left a handle open";
    EXPECT_FALSE(gTestRunning);
  }

  // Sets the fields a run reads; flushes at finish off unless asked.
  void Fields(const std::string& path, const std::string& mb, const std::string& sectors,
              bool flushFile = false, bool flushVolume = false) {
    form.SetText(Ctl::txtTestFile, 0, path);
    form.SetText(Ctl::txtSize, 0, mb);
    form.SetText(Ctl::txtBlockSizeSectors, 0, sectors);
    form.SetValue(Ctl::chkFlushAtFinish, 0, flushFile);
    form.SetValue(Ctl::chkFlushAtFinish, 1, flushVolume);
  }
  std::string Line(int i) const { return form.Text(Ctl::lblReadStatus, i); }

  std::size_t handlesBefore = os::seam::OpenHandles();
  HeadlessForm form;
  std::unique_ptr<frmMain> owner = std::make_unique<frmMain>(form);
  frmMain& window = *owner;
  testing_support::TempDir dir;
  std::string file = dir.File("t.bin");
};

TEST_F(Run, TheReadRunsWhatTheSizeFieldShows) {
  Fields(file, "1", "3");
  window.cmdFileReadWrite_Click(kWrite);
  ASSERT_TRUE(window.LastRun().finished);
  EXPECT_TRUE(form.Enabled(Ctl::cmdFileReadWrite, 0));
  EXPECT_TRUE(form.Enabled(Ctl::cmdFileOp, 1));
  EXPECT_TRUE(form.Enabled(Ctl::cmdFileOp, 0));

  // Read it back: the size field becomes the file's, the whole file is read.
  form.SetText(Ctl::txtSize, 0, "7");
  window.cmdFileReadWrite_Click(kRead);
  EXPECT_EQ(form.Text(Ctl::txtSize), "1.0029296875");
  EXPECT_EQ(form.Text(Ctl::lblSizeUnit), "MB");
  // The field's MB rounded to four places is 31 bytes short of the file.
  EXPECT_EQ(window.LastRun().testSize, 10029LL * 1048576);
  EXPECT_EQ(window.LastRun().wholeBlocks, 684);
}

TEST_F(Run, WithoutAVolumeTheVolumeFlushesAreSkipped) {
  Fields(file, "1", "256", true, true);
  std::uint32_t now = 0;  // a fast disk can write it all within 1 ms
  os::seam::SetClock([&] { return now++; });
  os::seam::FailNext(Op::OpenVolumeOfHandle, os::ERROR_NOT_A_REPARSE_POINT);
  window.cmdFileReadWrite_Click(kWrite);
  ASSERT_TRUE(window.LastRun().finished);
  EXPECT_EQ(os::seam::Calls(Op::FlushFileBuffers), 1u) << "the file flush only";
  EXPECT_EQ(Line(2).rfind("volume flush time: ", 0), 0u) << Line(2);
  EXPECT_EQ(Line(3).rfind("with flush: Written with ", 0), 0u) << Line(3);
}

TEST_F(Run, SizeZeroWritesNothingAndLeavesNothingToRead) {
  Fields(file, "0", "2048");
  window.cmdFileReadWrite_Click(kWrite);
  EXPECT_EQ(window.LastRun().finalCount, 0);
  EXPECT_EQ(fs::file_size(file), 0u);
  EXPECT_FALSE(form.Enabled(Ctl::cmdFileReadWrite, 0));
  EXPECT_TRUE(form.Enabled(Ctl::cmdFileOp, 1)) << "the empty file is there to delete";
  EXPECT_TRUE(Line(0) == "Written with 0.0 MB/s" || Line(0) == "---") << Line(0);
}

TEST_F(Run, WritingOverALongerFileKeepsItsLength) {
  testing_support::WriteText(file, std::string(3 * 1048576, 'x'));
  Fields(file, "1", "2048");
  window.askBeforeReplacing = false;  // the file's contents are no user's
  window.cmdFileReadWrite_Click(kWrite);
  EXPECT_EQ(fs::file_size(file), 3u * 1048576);
  std::ifstream in(file, std::ios::binary);
  std::string head(1048576, '\0');
  in.read(head.data(), head.size());
  EXPECT_EQ(head.find_first_not_of('\0'), std::string::npos) << "the zeros run writes zeros";
  EXPECT_EQ(in.get(), 'x');
}

TEST_F(Run, TheWindowAsksBeforeReplacingAFileItDidNotWrite) {
  const std::string notes = dir.File("notes.txt");
  testing_support::WriteText(notes, "my notes\n");
  Fields(notes, "1", "2048");
  // Unanswered, the question is a No: nothing is written.
  window.cmdFileReadWrite_Click(kWrite);
  ASSERT_EQ(form.Messages().size(), 1u);
  EXPECT_EQ(form.Messages()[0].style, vbYesNo | vbQuestion);
  EXPECT_EQ(form.Messages()[0].detail, notes);
  EXPECT_EQ(testing_support::ReadText(notes), "my notes\n");
  EXPECT_FALSE(window.LastRun().finished);
  EXPECT_EQ(Line(0), "");

  form.SetQuestionAnswer(vbYes);
  window.cmdFileReadWrite_Click(kWrite);
  EXPECT_TRUE(window.LastRun().finished);
  EXPECT_EQ(fs::file_size(notes), 1048576u);
  ASSERT_EQ(form.Messages().size(), 2u);

  // What the program wrote, an empty file and the default name are not asked about.
  const std::string empty = dir.File("empty");
  const std::string standard = dir.File(os::rules::kTestFileName);
  testing_support::WriteText(empty, "");
  testing_support::WriteText(standard, "old run\n");
  for (const std::string& path : {notes, empty, standard}) {
    SCOPED_TRACE(path);
    if (path == notes && !os::runtime::WrittenByProgram(notes)) {
      std::cout << "the file system keeps no mark here; a rewrite is asked about\n";
      continue;
    }
    Fields(path, "1", "2048");
    window.cmdFileReadWrite_Click(kWrite);
    EXPECT_TRUE(window.LastRun().finished);
    EXPECT_EQ(form.Messages().size(), 2u) << form.Messages().back().prompt;
  }

  // The command line writes what it is told, as dd does.
  const std::string other = dir.File("other.txt");
  testing_support::WriteText(other, "keep?\n");
  const auto cli = RunCommand(std::string(ORVANDEL_CLI) + " write --size 0.1 --file " + other +
                              " </dev/null 2>&1");
  EXPECT_EQ(cli.status, 0) << cli.out;
  EXPECT_GE(fs::file_size(other), 104857u);
}

TEST_F(Run, ACreateAndDeleteClickDuringARunDoesNothing) {
  form.SetText(Ctl::txtNumberOfFiles, 0, "10");
  Fields(file, "4", "64");
  int clicks = 0;
  form.SetPendingInput([&] {
    ++clicks;
    form.UserClick(Ctl::cmdCreateAndDeleteFiles);
  });
  window.cmdFileReadWrite_Click(kWrite);
  ASSERT_EQ(clicks, 1);
  EXPECT_TRUE(window.LastRun().finished);
  EXPECT_EQ(window.LastCreateDelete().files, 0) << "the test ran inside the Write run";
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(Line(i), "") << "line " << i;
  EXPECT_FALSE(fs::exists(file + ".0000"));
  // After the run the button works again.
  form.UserClick(Ctl::cmdCreateAndDeleteFiles);
  EXPECT_EQ(window.LastCreateDelete().files, 10);
}

TEST_F(Run, ALinkWhoseTargetIsGoneIsNamedAsSuch) {
  const std::string link = dir.File("link");
  const std::string target = dir.File("gone");
  fs::create_symlink(target, link);
  for (int index : {kRead, kWrite}) {
    SCOPED_TRACE(index == kRead ? "Read" : "Write");
    Fields(link, "1", "2048");
    window.cmdFileReadWrite_Click(index);
    EXPECT_EQ(window.LastRun().message,
              index == kRead ? "File not found" : "Error opening the file");
    EXPECT_EQ(window.LastRun().detail, link + ": the link's target is missing: " + target);
    EXPECT_FALSE(fs::exists(target));
  }
  const auto status = RunCommand(std::string(ORVANDEL_CLI) + " status --file " + link + " 2>&1");
  EXPECT_EQ(status.status, 1);
  EXPECT_EQ(status.out,
            "orvandel-cli: " + link + ": the link's target is missing: " + target + "\n");
}

// The label beside the block field shows the size the run uses: one reading
// of the field, in the user's decimal separator.
TEST_F(Run, TheBlockSizeRunIsTheOneTheLabelShows) {
  form.SetDecimalSeparator(',');
  std::vector<std::size_t> sizes;
  os::seam::SetTransferObserver([&](std::span<const std::byte> b) { sizes.push_back(b.size()); });
  Fields(file, "0,0625", "1,5");  // 65,536 bytes: 85 blocks of 768 and the rest
  EXPECT_EQ(form.Text(Ctl::lblBlockSize), "768 Bytes");
  window.cmdFileReadWrite_Click(kWrite);
  ASSERT_TRUE(window.LastRun().finished) << window.LastRun().message;
  EXPECT_EQ(window.LastRun().blockSize, 768);
  ASSERT_EQ(sizes.size(), 86u);
  EXPECT_EQ(std::count(sizes.begin(), sizes.end(), 768u), 85);

  // Trailing letters make no number for the label, and no run.
  sizes.clear();
  Fields(file, "1", "2048abc");
  EXPECT_EQ(form.Text(Ctl::lblBlockSize), "0 Bytes");
  window.cmdFileReadWrite_Click(kWrite);
  EXPECT_TRUE(sizes.empty());
  EXPECT_EQ(form.Focus(), std::make_pair(Ctl::txtBlockSizeSectors, 0));
}

TEST_F(Run, InputItCannotUseEndsAtOnceAndTouchesNoFile) {
  for (const char* sectors : {"0", "abc", ""}) {
    Fields(file, "1", sectors);
    form.SetFocus(Ctl::txtTestFile, 0);
    window.cmdFileReadWrite_Click(kWrite);
    EXPECT_EQ(form.Focus(), std::make_pair(Ctl::txtBlockSizeSectors, 0)) << sectors;
    EXPECT_TRUE(form.Messages().empty());
  }
  struct Bad {
    std::string mb, sectors, message;
  };
  const Bad bad[] = {
      {"1", "-8", "block size"},
      {"1", "4194304", "block size"},  // 2^31 bytes
      {"many", "8", "file size"},
      {"-1", "8", "file size"},
      {"99999999999999999999", "8", "too large"},  // beyond 64 bits
      {"1e30", "8", "too large"},
      {"9e12", "8", "too large"},  // fits, but not as bytes
      {"-1e30", "8", "negative"},
  };
  for (const auto& b : bad) {
    Fields(file, b.mb, b.sectors);
    window.cmdFileReadWrite_Click(kWrite);
    ASSERT_FALSE(form.Messages().empty());
    EXPECT_NE(form.Messages().back().prompt.find(b.message), std::string::npos)
        << form.Messages().back().prompt;
    EXPECT_EQ(form.Messages().back().style, vbExclamation);
  }
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(form.MousePointer(), vbDefault);

  form.SetText(Ctl::txtSize, 0, "33");
  window.cmdFileReadWrite_Click(kRead);
  EXPECT_EQ(form.Messages().back().prompt, "File not found");
  EXPECT_EQ(form.Messages().back().style, vbCritical);
  EXPECT_EQ(form.Text(Ctl::txtSize), "33");
}

TEST_F(Run, ResultLinesFollowTheChosenFlushes) {
  struct Case {
    bool file, volume;
    std::vector<std::string> starts;  // lblReadStatus(0..3)
  };
  const Case cases[] = {
      {false, false, {"Written with ", "", "", ""}},
      {true,
       false,
       {"without flush: Written with ", "file flush time: ", "with flush: Written with ", ""}},
      {false,
       true,
       {"without flush: Written with ", "volume flush time: ", "with flush: Written with ", ""}},
      {true,
       true,
       {"without flush: Written with ",
        "file flush time: ", "volume flush time: ", "with flush: Written with "}},
  };
  // A clock that moves 1 ms per reading: exact and never zero.
  std::uint32_t now = 0;
  for (const auto& c : cases) {
    os::seam::SetClock([&] { return now++; });
    Fields(file, "1", "256", c.file, c.volume);
    window.cmdFileReadWrite_Click(kWrite);
    for (int i = 0; i < 4; ++i) {
      if (c.starts[i].empty())
        EXPECT_EQ(Line(i), "") << i;
      else
        EXPECT_EQ(Line(i).rfind(c.starts[i], 0), 0u) << i << ": " << Line(i);
    }
  }
  // A Read run never flushes: one line.
  window.cmdFileReadWrite_Click(kRead);
  EXPECT_EQ(Line(0).rfind("Read with ", 0), 0u) << Line(0);
  EXPECT_EQ(Line(1), "");
}

TEST_F(Run, MillisecondClockWrapsAndZeroTimeShowsDashes) {
  // 8 blocks of 1 MiB in 4 ms across the wrap of the 32-bit clock.
  std::uint32_t now = 0xFFFFFFFEu;
  std::int64_t nowNs = 1'000'000'000;
  os::seam::SetClock([&] { return now; });
  os::seam::SetClockNs([&] { return nowNs; });
  window.recordTimeline = false;  // its sampler thread would read the clock too
  Fields(file, "8", "2048");
  // Every block moves the clock half a millisecond; the figure comes from
  // the nanoseconds, the time shown from the milliseconds.
  int blocks = 0;
  form.SetCaptionObserver([&](Ctl, int i, const std::string& text) {
    if (i != 0 || text.empty() || text == "0%" || text == "100%") return;
    nowNs += 500'000;
    if (++blocks % 2 == 0) ++now;
  });
  window.cmdFileReadWrite_Click(kWrite);
  EXPECT_EQ(window.LastRun().elapsedMs, 4);
  EXPECT_EQ(window.LastRun().elapsedNs, 4'000'000);
  EXPECT_EQ(Line(0), "Written with 2000.0 MB/s");

  // Less than a millisecond is still a figure; only no time at all is not.
  blocks = 0;
  form.SetCaptionObserver([&](Ctl, int i, const std::string& text) {
    if (i == 0 && !text.empty() && text != "0%" && text != "100%") nowNs += 100'000;
  });
  os::seam::SetClock([] { return 77u; });
  window.cmdFileReadWrite_Click(kWrite);
  EXPECT_EQ(window.LastRun().elapsedMs, 0);
  EXPECT_EQ(Line(0), "Written with 10000.0 MB/s");
  form.SetCaptionObserver(nullptr);
  window.cmdFileReadWrite_Click(kWrite);
  EXPECT_EQ(Line(0), "---");
  Fields(file, "8", "2048", true, true);
  window.cmdFileReadWrite_Click(kWrite);
  EXPECT_EQ(Line(0), "---");
  EXPECT_EQ(Line(1), "file flush time: 0 ms") << "flush lines already written stay";
  EXPECT_EQ(Line(2), "volume flush time: 0 ms");
  EXPECT_EQ(Line(3), "");
}

TEST_F(Run, FlushEveryBlockFlushesOncePerWrite) {
  Fields(file, "1", "64");  // 32 blocks
  form.SetValue(Ctl::chkFlushAllBlocks, 0, 1);
  window.cmdFileReadWrite_Click(kWrite);
  // The volume is flushed once before timing; the final transfer of 0 bytes
  // is a write too.
  EXPECT_EQ(os::seam::Calls(Op::FlushFileBuffers), os::seam::Calls(Op::WriteFile) + 1);
  EXPECT_EQ(os::seam::Calls(Op::WriteFile), 33u);
}

TEST_F(Run, AFailedBlockLeavesTheFileOpenForTheNextRun) {
  Fields(file, "1", "8");
  os::seam::FailNext(Op::WriteFile, os::ERROR_DISK_FULL, 5);
  window.cmdFileReadWrite_Click(kWrite);
  EXPECT_EQ(form.Messages().back().prompt, "Error");
  EXPECT_EQ(form.Messages().back().style, vbOKOnly);
  for (int i = 0; i <= 3; ++i) EXPECT_EQ(Line(i), "");
  EXPECT_EQ(Line(4).rfind("1 Fragment", 0), 0u) << "the file as the failure left it: " << Line(4);
  ASSERT_TRUE(window.oTestFile->IsOpen());
  EXPECT_TRUE(form.Enabled(Ctl::cmdFileOp, 0));
  EXPECT_EQ(fs::file_size(file), 5u * 4096);

  // The next run rewinds the same handle.
  const os::HANDLE kept = window.oTestFile->FileHandle();
  os::HANDLE used = os::INVALID_HANDLE_VALUE;
  form.SetCaptionObserver([&](Ctl, int i, const std::string& text) {
    if (i == 0 && text == "0%") used = window.oTestFile->FileHandle();
  });
  form.SetText(Ctl::txtSize, 0, "0.0625");
  window.cmdFileReadWrite_Click(kWrite);
  EXPECT_TRUE(window.LastRun().finished);
  EXPECT_EQ(used, kept);
  EXPECT_FALSE(window.oTestFile->IsOpen());
  EXPECT_EQ(fs::file_size(file), 65536u) << "written again from its start, not on from block 5";
}

TEST_F(Run, ShortTransfersNeverMakeTheFinalOneOverrunTheBuffer) {
  Fields(file, "1", "8");  // 256 blocks of 4096, buffer 8192
  os::seam::Inject({Op::WriteFile, 0, 200, 0, 100});
  window.cmdFileReadWrite_Click(kWrite);
  ASSERT_TRUE(window.LastRun().finished);
  EXPECT_EQ(window.LastRun().finalCount, 8192);
}

// However a test ends, the buttons and the status line show the file as it
// now is, never as the test left them halfway.
TEST_F(Run, ClosingOrDeletingTheFileDuringAWriteEndsItAndTheButtonsShowTheFile) {
  form.SetText(Ctl::txtNumberOfFiles, 0, "10");
  window.askBeforeReplacing = false;  // the file's contents are no user's
  for (int button : {1, 0}) {
    SCOPED_TRACE(button == 0 ? "Close File" : "Delete File");
    // Delete File is there for a file that was there; Close File for any.
    if (button == 1) testing_support::WriteText(file, "old");
    Fields(file, "1", "8");
    int blocks = 0;
    form.SetCaptionObserver([&](Ctl, int i, const std::string&) {
      if (i == 0 && ++blocks == 10)
        form.SetPendingInput([&] { form.UserClick(Ctl::cmdFileOp, button); });
    });
    const std::size_t before = form.Messages().size();
    form.UserClick(Ctl::cmdFileReadWrite, kWrite);
    form.SetCaptionObserver(nullptr);
    ASSERT_FALSE(window.LastRun().finished);
    EXPECT_EQ(form.Messages().back().prompt, "Error");
    EXPECT_EQ(form.Messages().size(), before + 1);
    EXPECT_FALSE(window.oTestFile->IsOpen());
    EXPECT_EQ(fs::exists(file), button == 0);
    EXPECT_EQ(form.Enabled(Ctl::cmdFileReadWrite, 0), button == 0) << "Read File";
    EXPECT_EQ(form.Enabled(Ctl::cmdFileOp, 1), button == 0) << "Delete File";
    EXPECT_EQ(Line(4).find("Fragment") != std::string::npos, button == 0) << Line(4);
  }

  // Create and delete keeps the test file's line (its flushes may have
  // placed the file meanwhile).
  form.UserClick(Ctl::cmdCreateAndDeleteFiles);
  ASSERT_TRUE(window.LastCreateDelete().finished) << window.LastCreateDelete().detail;
  EXPECT_EQ(Line(4).rfind("1 Fragment", 0), 0u) << Line(4);

  // A file gone meanwhile: nothing to read, delete or describe.
  fs::remove(file);
  form.UserClick(Ctl::cmdFileReadWrite, 0);
  EXPECT_EQ(window.LastRun().message, "File not found");
  EXPECT_FALSE(form.Enabled(Ctl::cmdFileReadWrite, 0));
  EXPECT_FALSE(form.Enabled(Ctl::cmdFileOp, 1));
  EXPECT_EQ(Line(4), "");
}

TEST_F(Run, ProgressShowsEveryPercentageItPassesInOrder) {
  for (const char* mb : {"1", "0.01", "3.3"}) {
    SCOPED_TRACE(mb);
    Fields(file, mb, "3");
    std::vector<std::string> shown;
    form.SetCaptionObserver([&](Ctl, int i, const std::string& text) {
      if (i == 0 && (shown.empty() || shown.back() != text)) shown.push_back(text);
    });
    window.cmdFileReadWrite_Click(kWrite);
    form.SetCaptionObserver(nullptr);
    // Block i shows floor(i / blocks * 100), blocks counted with the part.
    const ThroughputRecord& r = window.LastRun();
    const double blocks = static_cast<double>(r.testSize) / 10000 / r.blockSize;
    std::vector<std::string> expected{"", "0%"};
    for (std::int64_t b = 0; b < r.wholeBlocks; ++b) {
      const std::string caption =
          " " + std::to_string(static_cast<std::int64_t>(std::floor(b / blocks * 100))) + "%";
      if (expected.back() != caption) expected.push_back(caption);
    }
    expected.push_back("100%");
    ASSERT_GE(shown.size(), expected.size());
    EXPECT_EQ(
        std::vector<std::string>(shown.begin(), shown.begin() + static_cast<long>(expected.size())),
        expected);
  }
}

TEST_F(Run, AnyExceptionEndsTheRunAndGivesEverythingBack) {
  Fields(file, "1", "8", true, true);
  bool thrown = false;
  form.SetCaptionObserver([&](Ctl, int i, const std::string& text) {
    if (i == 0 && text == " 3%" && !thrown) {
      thrown = true;
      throw std::bad_alloc();
    }
  });
  window.cmdFileReadWrite_Click(kWrite);
  form.SetCaptionObserver(nullptr);
  EXPECT_FALSE(gTestRunning) << "the window could never close";
  EXPECT_EQ(os::seam::Calls(Op::VirtualFree), 2u) << "decommitted and released";
  EXPECT_EQ(form.MousePointer(), vbDefault);
  ASSERT_EQ(form.Messages().size(), 1u);
  EXPECT_EQ(form.Messages()[0].prompt, "Error");
  EXPECT_NE(form.Messages()[0].detail.find("bad_alloc"), std::string::npos)
      << form.Messages()[0].detail;
  EXPECT_FALSE(window.LastRun().finished);
  // The next run works as ever, on the file left open.
  window.cmdFileReadWrite_Click(kWrite);
  EXPECT_TRUE(window.LastRun().finished);
}

TEST_F(Run, PagesThatCannotBeLockedAreTouchedBeforeTheClockStarts) {
  testing_support::WriteText(file, std::string(1 << 20, 'x'));
  Fields(file, "1", "2048");
  os::seam::FailNext(Op::VirtualLock, os::ERROR_NOT_ENOUGH_MEMORY);
  long missing = -1;
  os::seam::SetTransferObserver([&](std::span<const std::byte> buffer) {
    if (missing >= 0) return;
    const long page = sysconf(_SC_PAGESIZE);
    std::vector<unsigned char> resident((buffer.size() + page - 1) / page);
    ASSERT_EQ(mincore(const_cast<std::byte*>(buffer.data()), buffer.size(), resident.data()), 0);
    missing = std::count(resident.begin(), resident.end(), 0);
  });
  window.cmdFileReadWrite_Click(kRead);
  ASSERT_TRUE(window.LastRun().finished);
  EXPECT_EQ(missing, 0) << "pages of the buffer first touched inside the timed read";
}

TEST_F(Run, StopRequestsEndTheRunCloseTheFileAndClearTheProgress) {
  struct sigaction before[2]{};
  sigaction(SIGINT, nullptr, &before[0]);
  sigaction(SIGTERM, nullptr, &before[1]);
  os::runtime::CatchStopRequests();
  window.askBeforeReplacing = false;  // the file's contents are no user's
  for (int index : {kWrite, kRead}) {
    SCOPED_TRACE(index == kWrite ? "write" : "read");
    testing_support::WriteText(file, std::string(1048576, 'x'));
    Fields(file, "1", "8", true, true);
    form.SetCaptionObserver([&](Ctl, int i, const std::string& text) {
      if (i == 0 && text == " 10%") raise(index == kWrite ? SIGTERM : SIGINT);
    });
    window.cmdFileReadWrite_Click(index);
    form.SetCaptionObserver(nullptr);
    EXPECT_EQ(window.LastRun().stoppedBy, index == kWrite ? SIGTERM : SIGINT);
    os::runtime::ClearStopRequest();
    EXPECT_FALSE(window.LastRun().finished);
    EXPECT_FALSE(window.oTestFile->IsOpen());
    EXPECT_TRUE(form.Messages().empty());
    for (int i = 0; i <= 3; ++i) EXPECT_EQ(Line(i), "") << i;
    EXPECT_NE(Line(4), "") << "the file as the stop left it";
    EXPECT_LT(window.LastRun().transferred, 1048576 / 2);
  }
  // A request that arrives during the flush at finish ends the run as
  // stopped too, without its figures.
  Fields(file, "1", "8", true, true);
  form.SetCaptionObserver([&](Ctl, int, const std::string& text) {
    if (text == "flushing volume...") raise(SIGTERM);
  });
  window.cmdFileReadWrite_Click(kWrite);
  form.SetCaptionObserver(nullptr);
  EXPECT_EQ(window.LastRun().stoppedBy, SIGTERM);
  EXPECT_FALSE(window.LastRun().finished);
  EXPECT_EQ(Line(0), "");
  os::runtime::ClearStopRequest();
  sigaction(SIGINT, &before[0], nullptr);
  sigaction(SIGTERM, &before[1], nullptr);
}

// A loop disk whose image lies on a tmpfs smaller than the image: writes go
// into the cache, and the flushes meet the full backing store.
TEST(RunOnFullBackingStore, AFailedFlushIsShownAndTheRunFails) {
  const std::string why = testing_support::LoopDisk::Unavailable({"mkfs.ext4"}, "mkfs.ext4 -q");
  if (!why.empty()) GTEST_SKIP() << why;
  testing_support::ScratchMount back("tmpfs", "size=6m");
  ASSERT_TRUE(back.Ready());
  testing_support::TempDir mnt;
  const std::string image = back.File("img");
  ASSERT_EQ(RunCommand("truncate -s 64M " + image + " && mkfs.ext4 -q -F " + image +
                       " && mount -o loop " + image + " " + mnt.path().string() + " 2>&1")
                .status,
            0);
  const auto r =
      RunCommand(std::string(ORVANDEL_CLI) + " write --json --size 20 --file " + mnt.File("t.bin"));
  RunCommand("umount " + mnt.path().string());
  EXPECT_EQ(r.status, 1);
  const auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["ok"], false);
  EXPECT_EQ(j["message"], "Error");
  EXPECT_EQ(j["file_flush_failed"], true);
  EXPECT_TRUE(j["mb_per_s_with_flush"].is_null());
  const auto lines = j["lines"].get<std::vector<std::string>>();
  EXPECT_EQ(lines[0].rfind("without flush: Written with ", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1].rfind("file flush failed: ", 0), 0u) << lines[1];
  for (const auto& line : lines)
    EXPECT_EQ(line.find("with flush: Written"), std::string::npos) << line;
  EXPECT_NE(j["reason"].get<std::string>().find(mnt.File("t.bin")), std::string::npos)
      << j["reason"];
}

TEST_F(Run, OnASmallTmpfsAShortFinalWriteEndsWithError) {
  const std::string why = testing_support::ScratchMount::Unavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  testing_support::ScratchMount small("tmpfs", "size=2560k");
  ASSERT_TRUE(small.Ready());
  Fields(small.File("t.bin"), "2.4", "2048");  // fits when the run starts
  // Someone else takes space once the run has started: two whole blocks
  // still fit, the rest does not.
  form.SetCaptionObserver([&](Ctl, int i, const std::string& text) {
    if (i == 0 && text == "0%")
      testing_support::WriteText(small.File("other"), std::string(256 << 10, 'o'));
  });
  window.cmdFileReadWrite_Click(kWrite);
  ASSERT_EQ(form.Messages().size(), 1u);
  EXPECT_EQ(form.Messages()[0].prompt, "Error");
  EXPECT_EQ(form.Messages()[0].detail, small.File("t.bin") + ": No space left on device.");
  EXPECT_FALSE(window.LastRun().finished);
  EXPECT_LT(window.LastRun().finalResult, window.LastRun().finalCount);
  window.cmdFileOp_Click(0);
}

// A parent group with a limit and a child without one, in the v2 or the v1
// hierarchy; both are removed again at the end.
class ParentLimitedGroup {
 public:
  ParentLimitedGroup(bool v2, std::uint64_t limit) {
    std::ifstream info("/proc/self/mountinfo");
    std::string mount;
    for (std::string line; std::getline(info, line);) {
      std::istringstream f(line);
      std::string id, parent, dev, root, point, word, type, source, options;
      f >> id >> parent >> dev >> root >> point;
      while (f >> word && word != "-") {
      }
      f >> type >> source >> options;
      if (root != "/") continue;
      if (v2 ? type == "cgroup2"
             : type == "cgroup" && ("," + options + ",").find(",memory,") != std::string::npos)
        mount = point;
    }
    if (geteuid() != 0) {
      why_ = "making control groups needs root";
      return;
    }
    if (mount.empty()) {
      why_ = v2 ? "no cgroup v2 hierarchy is mounted" : "no cgroup v1 memory hierarchy is mounted";
      return;
    }
    if (v2 && testing_support::ReadText(mount + "/cgroup.subtree_control").find("memory") ==
                  std::string::npos) {
      why_ = "cgroup v2 gives its groups no memory controller here";
      return;
    }
    parent_ = mount + "/orvandel-parent-" + std::to_string(getpid());
    child_ = parent_ + "/child";
    std::error_code ec;
    if (!fs::create_directory(parent_, ec) || !fs::create_directory(child_, ec)) {
      why_ = "the hierarchy is not writable: " + ec.message();
      return;
    }
    testing_support::WriteText(parent_ + (v2 ? "/memory.max" : "/memory.limit_in_bytes"),
                               std::to_string(limit));
  }
  ~ParentLimitedGroup() {
    // The groups are empty again once the commands run in them have ended.
    if (!child_.empty()) rmdir(child_.c_str());
    if (!parent_.empty()) rmdir(parent_.c_str());
  }
  const std::string& Unavailable() const { return why_; }
  // A shell command that runs command inside the child group, or inside
  // the limited one itself.
  std::string Inside(const std::string& command, bool limited) const {
    return "sh -c 'echo $$ > " + (limited ? parent_ : child_) + "/cgroup.procs && exec " + command +
           "' 2>&1";
  }

 private:
  std::string why_, parent_, child_;
};

// Runs orvandel-cli in a group limited to 64 MiB, or in a child of it: a
// buffer beyond half of that is refused before random data fills it, a
// smaller one runs.
void ExpectGroupLimitBinds(bool v2, bool inLimited) {
  ParentLimitedGroup group(v2, 64u << 20);
  if (!group.Unavailable().empty()) GTEST_SKIP() << group.Unavailable();
  testing_support::TempDir dir;
  auto run = [&](const char* sectors) {
    return RunCommand(group.Inside(std::string(ORVANDEL_CLI) + " write --random --size 1 " +
                                       "--block-sectors " + sectors + " --file " + dir.File("t"),
                                   inLimited));
  };
  const auto big = run("131072");  // 64 MiB: all the group has
  EXPECT_EQ(big.status, 1) << big.out;
  EXPECT_NE(big.out.find("Cannot reserve a buffer of 67112960 bytes for the blocks."),
            std::string::npos)
      << big.out;
  EXPECT_FALSE(fs::exists(dir.File("t")));
  const auto fits = run("32768");  // 16 MiB
  EXPECT_EQ(fits.status, 0) << fits.out;
}

TEST(RunUnderAGroupLimit, CgroupV2Parent) { ExpectGroupLimitBinds(true, false); }
TEST(RunUnderAGroupLimit, CgroupV1Parent) { ExpectGroupLimitBinds(false, false); }
TEST(RunUnderAGroupLimit, CgroupV1Own) { ExpectGroupLimitBinds(false, true); }

TEST_F(Run, OnASmallTmpfsAWriteBeyondTheFreeSpaceIsRefusedBeforeWriting) {
  const std::string why = testing_support::ScratchMount::Unavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  testing_support::ScratchMount small("tmpfs", "size=4m");
  ASSERT_TRUE(small.Ready());
  const std::string cli = ORVANDEL_CLI;
  const std::string t = small.File("t");
  const std::regex refusal(
      "^orvandel-cli: Not enough free space: 99999999 MB needed, [0-4] MB free on " + small.Path() +
      "\n$");
  const auto huge = RunCommand(cli + " write --size 99999999 --file " + t + " 2>&1");
  EXPECT_EQ(huge.status, 1);
  EXPECT_TRUE(std::regex_match(huge.out, refusal)) << huge.out;
  EXPECT_FALSE(fs::exists(t));
  const auto json = RunCommand(cli + " write --json --size 99999999 --file " + t + " 2>/dev/null");
  EXPECT_EQ(nlohmann::json::parse(json.out)["message"].get<std::string>().rfind(
                "Not enough free space: ", 0),
            0u)
      << json.out;

  // Only the growth counts: 3 MB written over a 3 MB file needs nothing more.
  testing_support::WriteText(t, std::string(3 * 1048576, 'x'));
  const auto over = RunCommand(cli + " write --size 3 --file " + t + " 2>&1");
  EXPECT_EQ(over.status, 0) << over.out;
  const auto grow = RunCommand(cli + " write --size 6 --file " + t + " 2>&1");
  EXPECT_EQ(grow.status, 1);
  EXPECT_TRUE(std::regex_search(
      grow.out, std::regex("Not enough free space: 3 MB needed, [01] MB free on " + small.Path())))
      << grow.out;
  EXPECT_EQ(fs::file_size(t), 3u * 1048576);

  // A sparse file's holes take space once written: its length is no room.
  const std::string sparse = small.File("sparse");
  fs::remove(t);
  ASSERT_EQ(RunCommand("truncate -s 6M " + sparse).status, 0);
  const auto holes = RunCommand(cli + " write --size 6 --file " + sparse + " 2>&1");
  EXPECT_EQ(holes.status, 1) << holes.out;
  EXPECT_NE(holes.out.find("Not enough free space: 6 MB needed, "), std::string::npos) << holes.out;
  fs::remove(sparse);

  // The window refuses it as it refuses other input.
  Fields(small.File("u"), "5", "2048");
  window.cmdFileReadWrite_Click(kWrite);
  ASSERT_EQ(form.Messages().size(), 1u);
  EXPECT_EQ(form.Messages()[0].style, vbExclamation);
  EXPECT_EQ(form.Messages()[0].prompt.rfind("Not enough free space: 5 MB needed, ", 0), 0u)
      << form.Messages()[0].prompt;
  EXPECT_FALSE(fs::exists(small.File("u")));
}

TEST_F(Run, RandomDataIsTheSameEveryStartAndNextInOneProcess) {
  auto firstBlock = [&](const std::string& name) {
    const auto path = dir.File(name);
    const auto r = RunCommand(std::string(ORVANDEL_CLI) +
                              " write --random --size 0.0625 --block-sectors 8 --file " + path +
                              " --json --repeat 2 2>&1");
    EXPECT_EQ(r.status, 0) << r.out;
    std::ifstream in(path, std::ios::binary);
    std::string block(4096, '\0');
    in.read(block.data(), block.size());
    return block;
  };
  const std::string a = firstBlock("a"), b = firstBlock("b");
  EXPECT_EQ(a, b) << "two program starts give the same words";
  EXPECT_NE(a.find_first_not_of('\0'), std::string::npos);

  // A second run in one process continues the sequence.
  Fields(file, "0.0625", "8");
  form.SetValue(Ctl::optDataType, 1, 1);
  window.cmdFileReadWrite_Click(kWrite);
  const std::string first = testing_support::ReadText(file).substr(0, 4096);
  window.cmdFileReadWrite_Click(kWrite);
  EXPECT_NE(testing_support::ReadText(file).substr(0, 4096), first);
}

TEST_F(Run, JsonFiguresMatchTheFileAndTheLines) {
  const auto r = RunCommand(std::string(ORVANDEL_CLI) +
                            " write --size 64 --block-sectors 256 --file " + file + " --json");
  ASSERT_EQ(r.status, 0);
  const auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["bytes_transferred"].get<std::int64_t>() + j["final_transferred"].get<std::int64_t>(),
            static_cast<std::int64_t>(fs::file_size(file)));
  // Both clocks measured one interval: the ms one truncates readings.
  const double ms = j["elapsed_ms"].get<double>(), ns = j["elapsed_ns"].get<double>();
  EXPECT_LE(std::abs(ms - ns / 1e6), 1.01);
  const double msWith = j["elapsed_with_flush_ms"].get<double>(),
               nsWith = j["elapsed_with_flush_ns"].get<double>();
  EXPECT_LE(std::abs(msWith - nsWith / 1e6), 2.01) << "two intervals, two truncations";
  EXPECT_EQ(j["lines"][3].get<std::string>().rfind("with flush: Written with ", 0), 0u);
}

// Real failures of a real kernel.
TEST_F(Run, OnALoopDiskAFullDiskAndMisalignedDirectTransfersEndWithError) {
  const std::string why =
      testing_support::LoopDisk::Unavailable({"mkfs.ext4", "losetup"}, "mkfs.ext4 -q");
  if (!why.empty()) GTEST_SKIP() << why;
  testing_support::LoopDisk disk(dir, "16M", "", "--sector-size 4096");
  ASSERT_TRUE(disk.Ready());
  const std::string mnt = disk.Format(0, "mkfs.ext4 -q -b 4096");
  ASSERT_FALSE(mnt.empty());
  const std::string path = mnt + "/t.bin";
  Fields(path, "4", "256");
  // The disk fills up under the run, after it found the space it needs.
  const std::string other = mnt + "/other";
  form.SetCaptionObserver([&](Ctl, int i, const std::string& text) {
    if (i != 0 || text != "0%") return;
    struct statvfs v {};
    ASSERT_EQ(statvfs(mnt.c_str(), &v), 0);
    testing_support::WriteText(other, std::string(v.f_bavail * v.f_frsize - (1 << 20), 'o'));
  });
  window.cmdFileReadWrite_Click(kWrite);
  form.SetCaptionObserver(nullptr);
  ASSERT_FALSE(form.Messages().empty());
  EXPECT_EQ(form.Messages().back().prompt, "Error");
  EXPECT_TRUE(window.oTestFile->IsOpen());
  window.cmdFileOp_Click(1);  // Delete File frees the disk
  EXPECT_FALSE(fs::exists(path));
  fs::remove(other);

  // One 512-byte sector per block on a 4096-byte-sector device.
  form.SetValue(Ctl::chkFileFlags, 1, 1);
  Fields(path, "1", "1");
  window.cmdFileReadWrite_Click(kWrite);
  EXPECT_EQ(form.Messages().back().prompt, "Error");
  EXPECT_EQ(form.Messages().size(), 2u);
  window.cmdFileOp_Click(0);
  Fields(path, "1", "8");
  window.cmdFileReadWrite_Click(kWrite);
  EXPECT_TRUE(window.LastRun().finished) << "whole 4096-byte sectors pass";
}

}  // namespace
