// The Win32 window in-process: its controls as the system shows them, and
// frmMain driven through real window messages.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <thread>
#include <vector>

#include "fileio/basFiles.h"
#include "form/ResultLines.h"
#include "form/basBase.h"
#include "form/frmMain.h"
#include "tests/support.h"
#include "win32/Win32Form.h"

#include <windows.h>

#include <commctrl.h>

namespace {

HWND H(Win32Form::Window w) { return static_cast<HWND>(w); }

std::string TextOf(HWND hwnd) {
  char buf[1024] = {};
  GetWindowTextA(hwnd, buf, sizeof buf);
  return buf;
}

RECT RectOf(HWND hwnd) {
  RECT r{};
  GetWindowRect(hwnd, &r);
  return r;
}

// Answers the next message box of this process with OK, from another
// thread, and records its caption and text.
class MessageBoxCloser {
 public:
  MessageBoxCloser() {
    thread_ = std::thread([this] {
      for (int i = 0; i < 500 && !done_; ++i) {
        HWND box = FindWindowA("#32770", nullptr);
        DWORD pid = 0;
        if (box) GetWindowThreadProcessId(box, &pid);
        if (box && pid == GetCurrentProcessId()) {
          caption = TextOf(box);
          HWND text = GetDlgItem(box, 0xFFFF);
          message = text ? TextOf(text) : "";
          PostMessageA(box, WM_COMMAND, IDOK, 0);
          return;
        }
        Sleep(20);
      }
    });
  }
  ~MessageBoxCloser() { Join(); }
  void Join() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
  }
  std::string caption, message;

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

class Win32Window : public ::testing::Test {
 protected:
  void SetUp() override {
    try {
      Load();
    } catch (const std::exception& e) {
      GTEST_SKIP() << "the window cannot be created here: " << e.what();
    }
  }
  void Load() {
    SubMain([&] {
      form = std::make_unique<Win32Form>();
      window = std::make_unique<frmMain>(*form);
      form->SetLogic(window.get());
      window->Form_Load("");
      ShowWindow(H(form->Handle()), SW_SHOW);
    });
  }
  void TearDown() override {
    window.reset();
    form.reset();
  }
  HWND Ctrl(Ctl ctl, int index = 0) { return H(form->Control(ctl, index)); }
  void Type(Ctl ctl, const std::string& text) {
    SendMessageA(Ctrl(ctl), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
  }
  void Press(Ctl ctl, int index) { SendMessageA(Ctrl(ctl, index), BM_CLICK, 0, 0); }
  bool On(Ctl ctl, int index) { return IsWindowEnabled(Ctrl(ctl, index)) != 0; }

  std::unique_ptr<Win32Form> form;
  std::unique_ptr<frmMain> window;
  testing_support::TempDir dir;
};

TEST_F(Win32Window, OpensTitledWithEveryControlOfTheDesign) {
  EXPECT_EQ(TextOf(H(form->Handle())), "Orvandel V0.9.55");
  std::map<HWND, std::string> children;
  EnumChildWindows(
      H(form->Handle()),
      [](HWND c, LPARAM p) {
        (*reinterpret_cast<std::map<HWND, std::string>*>(p))[c] = TextOf(c);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&children));
  EXPECT_EQ(children.size(), DesignTable().size() + 14)
      << "the controls, three etched lines, the timeline's button and panel, the random-order "
         "panel's button, the panel, its six controls and its list's header";
  for (const auto& d : DesignTable()) {
    HWND c = Ctrl(d.ctl, d.index);
    ASSERT_TRUE(children.count(c)) << d.name;
    EXPECT_EQ(GetParent(c), H(form->Handle()));
    // Load replaces the test file and the block size; everything else is as designed.
    if (d.ctl != Ctl::txtTestFile && d.ctl != Ctl::lblBlockSize) {
      EXPECT_EQ(children[c], d.text) << d.name;
    }
    if (d.kind == CtlKind::CheckBox || d.kind == CtlKind::OptionButton) {
      EXPECT_EQ(SendMessageA(c, BM_GETCHECK, 0, 0), d.value ? BST_CHECKED : BST_UNCHECKED)
          << d.name;
    }
  }
  EXPECT_EQ(TextOf(Ctrl(Ctl::txtTestFile)), os::runtime::CurDir().substr(0, 3) + "_Orvandel.$$$");
  EXPECT_EQ(TextOf(Ctrl(Ctl::lblBlockSize)), "1 MB");

  // The flag boxes one under the other: RANDOM_ACCESS, SEQUENTIAL_SCAN, NO_BUFFERING,
  // WRITE_THROUGH.
  int top = -1;
  for (int i : {0, 3, 1, 2}) {
    const RECT r = RectOf(Ctrl(Ctl::chkFileFlags, i));
    EXPECT_GT(r.top, top) << i;
    top = r.top;
  }
  EXPECT_LT(RectOf(Ctrl(Ctl::cmdFileReadWrite, 0)).left,
            RectOf(Ctrl(Ctl::cmdFileReadWrite, 1)).left);
  EXPECT_LT(RectOf(Ctrl(Ctl::cmdFileReadWrite, 0)).top, RectOf(Ctrl(Ctl::cmdFileOp, 0)).top);
  EXPECT_LT(RectOf(Ctrl(Ctl::optDataType, 0)).left, RectOf(Ctrl(Ctl::optDataType, 1)).left);
  EXPECT_LT(RectOf(Ctrl(Ctl::txtTestFile)).right, RectOf(Ctrl(Ctl::cmdBrowse)).left + 1);
  EXPECT_LT(RectOf(Ctrl(Ctl::lblReadStatus, 0)).top, RectOf(Ctrl(Ctl::lblReadStatus, 3)).top);
  // The box and the verdict lie in room of their own, the verdict below
  // every designed row.
  for (Ctl added : {Ctl::chkEvictCache, Ctl::lblCacheVerdict}) {
    const RECT a = RectOf(Ctrl(added));
    for (const auto& d : DesignTable()) {
      RECT other = RectOf(Ctrl(d.ctl, d.index)), both{};
      if (d.ctl != added && d.ctl != Ctl::fraWrite) {
        EXPECT_FALSE(IntersectRect(&both, &a, &other)) << d.name << d.index;
      }
    }
  }
  EXPECT_GE(RectOf(Ctrl(Ctl::lblCacheVerdict)).top, RectOf(Ctrl(Ctl::picDataType)).bottom);

  // Tab order follows the design: the field, then "...".
  EXPECT_EQ(GetNextDlgTabItem(H(form->Handle()), Ctrl(Ctl::txtTestFile), FALSE),
            Ctrl(Ctl::cmdBrowse));
  // Clicking the other option button moves the selection and runs its handler.
  Press(Ctl::optDataType, 1);
  EXPECT_EQ(form->Value(Ctl::optDataType, 0), 0);
  EXPECT_EQ(form->Value(Ctl::optDataType, 1), 1);
}

TEST_F(Win32Window, TypingAPathAWriteRunAndDeletingTheFile) {
  const std::string path = dir.File("t.$$$");
  Type(Ctl::txtTestFile, path);
  EXPECT_FALSE(On(Ctl::cmdFileReadWrite, 0)) << "a missing file cannot be read";
  EXPECT_FALSE(On(Ctl::cmdFileOp, 1));

  Type(Ctl::txtSize, "2");
  Press(Ctl::cmdFileReadWrite, 1);
  EXPECT_EQ(std::filesystem::file_size(path), 2u * 1024 * 1024);
  EXPECT_EQ(TextOf(Ctrl(Ctl::lblReadStatus, 0)).rfind("without flush: Written with ", 0), 0u)
      << TextOf(Ctrl(Ctl::lblReadStatus, 0));
  EXPECT_EQ(TextOf(Ctrl(Ctl::lblReadStatus, 1)).rfind("file flush time: ", 0), 0u);
  EXPECT_EQ(TextOf(Ctrl(Ctl::lblReadStatus, 3)).rfind("with flush: Written with ", 0), 0u);
  EXPECT_TRUE(On(Ctl::cmdFileReadWrite, 0));
  EXPECT_TRUE(On(Ctl::cmdFileOp, 0));
  EXPECT_TRUE(On(Ctl::cmdFileOp, 1));

  Press(Ctl::cmdFileReadWrite, 0);
  EXPECT_EQ(TextOf(Ctrl(Ctl::lblReadStatus, 0)).rfind("Read with ", 0), 0u)
      << TextOf(Ctrl(Ctl::lblReadStatus, 0));

  Press(Ctl::cmdFileOp, 1);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_FALSE(On(Ctl::cmdFileReadWrite, 0));
  EXPECT_FALSE(On(Ctl::cmdFileOp, 1));
  EXPECT_FALSE(On(Ctl::cmdFileOp, 0));
}

TEST_F(Win32Window, AFileThatCannotBeDeletedGivesAMessageBoxUnderTheTitle) {
  const std::string path = dir.File("readonly");
  testing_support::WriteText(path, "x");
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
  Type(Ctl::txtTestFile, path);
  ASSERT_TRUE(On(Ctl::cmdFileOp, 1));
  MessageBoxCloser closer;
  Press(Ctl::cmdFileOp, 1);
  closer.Join();
  EXPECT_EQ(closer.caption, "Orvandel V0.9.55");
  // The box's text first, then the path and the system's reason.
  EXPECT_EQ(closer.message,
            "Error deleting the file\r\n\r\n" + path + ": " + SystemReason(ERROR_ACCESS_DENIED));
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_TRUE(std::filesystem::exists(path));
}

TEST_F(Win32Window, CloseIsRefusedDuringARun) {
  gTestRunning = true;
  SendMessageA(H(form->Handle()), WM_CLOSE, 0, 0);
  EXPECT_TRUE(IsWindow(H(form->Handle())));
  gTestRunning = false;
  HWND hwnd = H(form->Handle());
  SendMessageA(hwnd, WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindow(hwnd));
  MSG msg;
  EXPECT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE))
      << "the program ends with its window";
}

TEST_F(Win32Window, FocusTabInScreenOrderTheTimelinePanelAndResizing) {
  HWND main = H(form->Handle());
  EXPECT_EQ(GetFocus(), Ctrl(Ctl::txtTestFile)) << "the path field has the focus at start";
  // Tab runs down the left column, then the middle, then the right panel;
  // disabled buttons and empty result lines are passed over.
  const std::pair<Ctl, int> screen[] = {
      {Ctl::cmdBrowse, 0},           {Ctl::txtSize, 0},
      {Ctl::txtBlockSizeSectors, 0}, {Ctl::chkFileFlags, 0},
      {Ctl::chkFileFlags, 3},        {Ctl::chkFileFlags, 1},
      {Ctl::chkFileFlags, 2},        {Ctl::chkFlushAtFinish, 0},
      {Ctl::chkFlushAtFinish, 1},    {Ctl::chkFlushAllBlocks, 0},
      {Ctl::optDataType, 0},         {Ctl::cmdFileReadWrite, 1},
      {Ctl::txtNumberOfFiles, 0},    {Ctl::cmdCreateAndDeleteFiles, 0},
      {Ctl::txtTestFile, 0}};
  HWND at = Ctrl(Ctl::txtTestFile);
  for (const auto& [ctl, index] : screen) {
    at = GetNextDlgTabItem(main, at, FALSE);
    EXPECT_EQ(at, Ctrl(ctl, index)) << TextOf(at);
  }
  // Every field says what it does, wrapped at a readable width.
  HWND tips = H(form->Tooltips());
  EXPECT_EQ(SendMessageA(tips, TTM_GETTOOLCOUNT, 0, 0), 28);
  // Windows drops no single file's pages: the box is off, its tip says why,
  // and where it can be ticked it comes after the result lines.
  EXPECT_FALSE(On(Ctl::chkEvictCache, 0));
  form->SetEnabled(Ctl::chkEvictCache, 0, true);
  EXPECT_EQ(GetNextDlgTabItem(main, Ctrl(Ctl::cmdFileReadWrite, 1), FALSE),
            Ctrl(Ctl::chkEvictCache));
  EXPECT_EQ(GetNextDlgTabItem(main, Ctrl(Ctl::chkEvictCache), FALSE), Ctrl(Ctl::txtNumberOfFiles));
  form->SetEnabled(Ctl::chkEvictCache, 0, false);
  const LRESULT wrap = SendMessageA(tips, TTM_GETMAXTIPWIDTH, 0, 0);
  EXPECT_GT(wrap, 100);
  EXPECT_LT(wrap, 600);

  // A message box gives the focus back to the control that had it.
  form->SetFocus(Ctl::txtSize, 0);
  {
    MessageBoxCloser closer;
    form->MsgBox("A box", vbExclamation);
  }
  EXPECT_EQ(GetFocus(), Ctrl(Ctl::txtSize));

  // The panel opens below the controls without moving one, and the window
  // grows by it; the button leaves the focus where it was; Ctrl+T closes it.
  std::map<HWND, RECT> designed;
  for (const auto& d : DesignTable()) designed[Ctrl(d.ctl, d.index)] = RectOf(Ctrl(d.ctl, d.index));
  auto moved = [&] {
    int n = 0;
    for (const auto& [c, r] : designed) {
      const RECT now = RectOf(c);
      n += !EqualRect(&r, &now) ? 1 : 0;
    }
    return n;
  };
  RECT before{};
  GetClientRect(main, &before);
  EXPECT_FALSE(IsWindowVisible(H(form->Chart())));
  SendMessageA(H(form->ChartToggle()), BM_CLICK, 0, 0);
  EXPECT_TRUE(IsWindowVisible(H(form->Chart())));
  EXPECT_EQ(GetFocus(), Ctrl(Ctl::txtSize));
  RECT open{};
  GetClientRect(main, &open);
  EXPECT_GE(open.bottom, before.bottom + 160);
  EXPECT_GE(RectOf(H(form->Chart())).top, RectOf(Ctrl(Ctl::fraWrite)).bottom);
  EXPECT_EQ(moved(), 0);
  BYTE keys[256] = {};
  GetKeyboardState(keys);
  keys[VK_CONTROL] = 0x80;
  SetKeyboardState(keys);
  MSG key{Ctrl(Ctl::txtSize), WM_KEYDOWN, 'T', 0, 0, {}};
  EXPECT_TRUE(form->PreTranslate(&key));
  keys[VK_CONTROL] = 0;
  SetKeyboardState(keys);
  EXPECT_FALSE(IsWindowVisible(H(form->Chart())));
  RECT closed{};
  GetClientRect(main, &closed);
  EXPECT_EQ(closed.bottom, before.bottom);
  EXPECT_EQ(moved(), 0);

  // A wider window widens the path field and the result lines; "..." and
  // the right column move with the edge, the left column stays.
  RECT w{};
  GetWindowRect(main, &w);
  SetWindowPos(main, nullptr, 0, 0, w.right - w.left + 100, w.bottom - w.top,
               SWP_NOMOVE | SWP_NOZORDER);
  auto width = [](const RECT& r) { return r.right - r.left; };
  EXPECT_EQ(width(RectOf(Ctrl(Ctl::txtTestFile))), width(designed[Ctrl(Ctl::txtTestFile)]) + 100);
  EXPECT_EQ(width(RectOf(Ctrl(Ctl::lblReadStatus, 0))),
            width(designed[Ctrl(Ctl::lblReadStatus, 0)]) + 100);
  EXPECT_EQ(RectOf(Ctrl(Ctl::cmdBrowse)).left, designed[Ctrl(Ctl::cmdBrowse)].left + 100);
  EXPECT_EQ(RectOf(Ctrl(Ctl::cmdCreateAndDeleteFiles)).left,
            designed[Ctrl(Ctl::cmdCreateAndDeleteFiles)].left + 100);
  EXPECT_EQ(RectOf(Ctrl(Ctl::chkFileFlags, 0)).left, designed[Ctrl(Ctl::chkFileFlags, 0)].left);

  // A Write run with the panel open: it shows the whole timeline, painted.
  form->ShowTimeline(true);
  Type(Ctl::txtTestFile, dir.File("t.$$$"));
  Type(Ctl::txtSize, "2");
  const int paints = form->ChartPaints();
  Press(Ctl::cmdFileReadWrite, 1);
  ASSERT_TRUE(window->LastRun().finished) << window->LastRun().message;
  UpdateWindow(H(form->Chart()));
  EXPECT_GT(form->ChartPaints(), paints);
  EXPECT_TRUE(form->ShownTimeline().finished);
  EXPECT_EQ(form->ShownTimeline().slices.size(), window->LastRun().timeline.slices.size());
  // The result lines can be selected and copied, and Tab reaches them now.
  HWND line = Ctrl(Ctl::lblReadStatus, 0);
  SendMessageA(line, EM_SETSEL, 0, -1);
  DWORD from = 1, to = 0;
  SendMessageA(line, EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
  EXPECT_EQ(from, 0u);
  EXPECT_EQ(to, TextOf(line).size());
  EXPECT_EQ(GetNextDlgTabItem(main, Ctrl(Ctl::cmdFileOp, 1), FALSE), line);
  // Below them what the figure measured, as the engine says it: Windows
  // has no figure of one file's pages. Tab reaches it and leaves it again.
  HWND verdict = Ctrl(Ctl::lblCacheVerdict);
  EXPECT_EQ(TextOf(verdict), CacheVerdict(window->LastRun(), '.'));
  EXPECT_EQ(TextOf(verdict).rfind("The system gives no figure of this file's pages in memory", 0),
            0u)
      << TextOf(verdict);
  EXPECT_EQ(GetNextDlgTabItem(main, Ctrl(Ctl::cmdCreateAndDeleteFiles), FALSE), verdict);
  EXPECT_EQ(SendMessageA(verdict, WM_GETDLGCODE, 0, 0) & (DLGC_WANTALLKEYS | DLGC_WANTTAB), 0);
  Type(Ctl::txtTestFile, dir.File("other"));
  EXPECT_EQ(TextOf(verdict), "") << "a new file, no verdict";
  EXPECT_NE(GetNextDlgTabItem(main, Ctrl(Ctl::cmdCreateAndDeleteFiles), FALSE), verdict);
}

TEST_F(Win32Window, AFolderArgumentTakesTheTestFile) {
  const std::string folder = dir.File("with space");
  std::filesystem::create_directory(folder);
  window->Form_Load(folder);
  EXPECT_EQ(form->Text(Ctl::txtTestFile), folder + "\\_Orvandel.$$$");
}

TEST_F(Win32Window, TheEndOfTheSessionStopsARunningTestAndClosesTheWindow) {
  HWND main = H(form->Handle());
  // Another program keeps the session: nothing stops, the window stays.
  EXPECT_TRUE(SendMessageA(main, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF));
  SendMessageA(main, WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF);
  EXPECT_TRUE(IsWindow(main));
  EXPECT_EQ(os::runtime::StopRequested(), 0);

  // The session ends during a Write run: the run stops at its next step,
  // with its file closed, before the window closes.
  const std::string path = dir.File("t.$$$");
  Type(Ctl::txtTestFile, path);
  Type(Ctl::txtSize, "256");
  PostMessageA(main, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
  PostMessageA(main, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
  Press(Ctl::cmdFileReadWrite, 1);
  EXPECT_EQ(window->LastRun().stoppedBy, 15);
  EXPECT_FALSE(window->LastRun().finished);
  EXPECT_TRUE(IsWindow(main)) << "the run ends before the window does";
  std::error_code ec;
  std::filesystem::remove(path, ec);
  EXPECT_FALSE(ec) << "the file is still open: " << ec.message();
  MSG msg;
  bool quit = false;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) quit = true;
    DispatchMessageA(&msg);
  }
  EXPECT_FALSE(IsWindow(main));
  EXPECT_TRUE(quit) << "the program ends with its window";
  os::runtime::ClearStopRequest();
}

}  // namespace
