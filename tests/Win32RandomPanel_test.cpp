// The random-order panel of the Win32 window, in-process: panels that give
// their height back in any order, the table run and stopped through the
// panel's buttons while messages flow, the histogram saved as PNG and SVG.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "form/basBase.h"
#include "form/frmMain.h"
#include "tests/support.h"
#include "win32/RandomPane.h"
#include "win32/Win32Form.h"

#include <windows.h>

#include <commctrl.h>

namespace {

HWND H(void* w) { return static_cast<HWND>(w); }

std::string TextOf(HWND hwnd) {
  char buf[1024] = {};
  GetWindowTextA(hwnd, buf, sizeof buf);
  return buf;
}

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class Win32Random : public ::testing::Test {
 protected:
  void SetUp() override {
    try {
      SubMain([&] {
        form = std::make_unique<Win32Form>();
        window = std::make_unique<frmMain>(*form);
        form->SetLogic(window.get());
        window->Form_Load("");
        ShowWindow(H(form->Handle()), SW_SHOW);
      });
    } catch (const std::exception& e) {
      GTEST_SKIP() << "the window cannot be created here: " << e.what();
    }
  }
  void TearDown() override {
    window.reset();
    form.reset();
    gTestRunning = false;
  }
  int ClientHeight() const {
    RECT r{};
    GetClientRect(H(form->Handle()), &r);
    return r.bottom;
  }
  void Key(char k) {
    BYTE keys[256] = {};
    GetKeyboardState(keys);
    keys[VK_CONTROL] = 0x80;
    SetKeyboardState(keys);
    MSG key{H(form->Control(Ctl::txtTestFile)), WM_KEYDOWN, static_cast<WPARAM>(k), 0, 0, {}};
    EXPECT_TRUE(form->PreTranslate(&key));
    keys[VK_CONTROL] = 0;
    SetKeyboardState(keys);
  }
  // Lets messages flow until the run ends or done says so.
  template <class Done>
  bool Pump(Done done) {
    for (int i = 0; i < 6000 && !done(); ++i) {
      MSG msg;
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
      }
      Sleep(10);
    }
    return done();
  }
  std::string Cell(int row, int column) {
    char text[64] = {};
    LVITEMA item{};
    item.iSubItem = column + 1;
    item.pszText = text;
    item.cchTextMax = sizeof text;
    SendMessageA(H(form->Random()->Table()), LVM_GETITEMTEXTA, static_cast<WPARAM>(row),
                 reinterpret_cast<LPARAM>(&item));
    return text;
  }

  std::unique_ptr<Win32Form> form;
  std::unique_ptr<frmMain> window;
  testing_support::TempDir dir;
};

TEST_F(Win32Random, PanelsGiveBackTheirHeightTheTableRunsStopsAndSaves) {
  RandomPane* pane = form->Random();
  const int designed = ClientHeight();
  EXPECT_FALSE(IsWindowVisible(H(pane->Handle())));
  auto click = [](void* toggle) { SendMessageA(H(toggle), BM_CLICK, 0, 0); };
  click(form->RandomToggle());
  EXPECT_TRUE(IsWindowVisible(H(pane->Handle())));
  const int withRandom = ClientHeight();
  EXPECT_GT(withRandom, designed);
  Key('T');
  const int withBoth = ClientHeight();
  EXPECT_GT(withBoth, withRandom);
  Key('R');  // the first shown, hidden first
  EXPECT_EQ(ClientHeight(), designed + withBoth - withRandom);
  EXPECT_FALSE(IsWindowVisible(H(pane->Handle())));
  click(form->ChartToggle());
  EXPECT_EQ(ClientHeight(), designed);
  for (int i = 0; i < 3; ++i) {
    Key('R');
    click(form->RandomToggle());
  }
  EXPECT_EQ(ClientHeight(), designed);

  // The table, short: the window's messages flow while it runs.
  form->ShowRandom(true);
  SendMessageA(H(form->Control(Ctl::txtTestFile)), WM_SETTEXT, 0,
               reinterpret_cast<LPARAM>(dir.File("p.bin").c_str()));
  SendMessageA(H(form->Control(Ctl::txtSize)), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("4"));
  pane->seconds = 0.05;
  SendMessageA(H(pane->RunButton()), BM_CLICK, 0, 0);
  EXPECT_FALSE(IsWindowEnabled(H(pane->RunButton())));
  ASSERT_TRUE(Pump([&] { return !pane->Model().Running(); }));
  EXPECT_EQ(TextOf(H(pane->ProgressLine())), "Done: 8 tests.");
  EXPECT_TRUE(IsWindowEnabled(H(pane->RunButton())));
  for (int r = 0; r < kProfileRowCount; ++r)
    for (int c = 0; c < RandomPanelModel::kColumns; ++c)
      EXPECT_FALSE(Cell(r, c).empty()) << r << "," << c;

  testing_support::TempDir out;
  const chart::LatencyChart shown = pane->LatencyScene();
  ASSERT_EQ(shown.markers.size(), 3u);
  std::string why;
  ASSERT_TRUE(pane->SavePng(out.File("latency.png"), &why)) << why;
  ASSERT_TRUE(pane->SaveSvg(out.File("latency.svg"), &why)) << why;
  const std::string png = Bytes(out.File("latency.png"));
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  auto be32 = [&](std::size_t at) {
    return static_cast<double>((static_cast<unsigned char>(png[at]) << 24) |
                               (static_cast<unsigned char>(png[at + 1]) << 16) |
                               (static_cast<unsigned char>(png[at + 2]) << 8) |
                               static_cast<unsigned char>(png[at + 3]));
  };
  EXPECT_EQ(be32(16), shown.scene.width);
  EXPECT_EQ(be32(20), shown.scene.height);
  const std::string svg = Bytes(out.File("latency.svg"));
  std::size_t texts = 0;
  for (std::size_t at = svg.find("<text "); at != std::string::npos;
       at = svg.find("<text ", at + 1))
    ++texts;
  EXPECT_EQ(texts, shown.scene.texts.size());
  EXPECT_NE(svg.find("</svg>"), std::string::npos);
  EXPECT_FALSE(pane->SaveSvg(dir.File("p.bin")));  // never onto the test file
  if (const char* shot = std::getenv("ORVANDEL_PANEL_SHOT")) {
    // The window as it is on the screen, as a bitmap file.
    RECT r{};
    GetWindowRect(H(form->Handle()), &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    HDC screen = GetDC(nullptr), dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
    HGDIOBJ old = SelectObject(dc, bitmap);
    BitBlt(dc, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    BITMAPINFOHEADER info{sizeof info, w, -h, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    const int stride = (w * 3 + 3) / 4 * 4;
    std::string pixels(static_cast<std::size_t>(stride * h), '\0');
    GetDIBits(dc, bitmap, 0, h, pixels.data(), reinterpret_cast<BITMAPINFO*>(&info),
              DIB_RGB_COLORS);
    BITMAPFILEHEADER file{
        0x4d42, static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof info + pixels.size()), 0, 0,
        sizeof(BITMAPFILEHEADER) + sizeof info};
    std::ofstream bmp(shot, std::ios::binary);
    bmp.write(reinterpret_cast<const char*>(&file), sizeof file);
    bmp.write(reinterpret_cast<const char*>(&info), sizeof info);
    bmp.write(pixels.data(), static_cast<std::streamsize>(pixels.size()));
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
  }

  // A long run, stopped by its button: nothing runs or stays behind.
  pane->seconds = 60;
  pane->Run();
  ASSERT_TRUE(Pump([&] { return pane->Model().Fraction() > 0 || !pane->Model().Running(); }));
  EXPECT_TRUE(pane->Model().Running());
  SendMessageA(H(pane->StopButton()), BM_CLICK, 0, 0);
  ASSERT_TRUE(Pump([&] { return !pane->Model().Running(); }));
  EXPECT_EQ(TextOf(H(pane->ProgressLine())), "Stopped during SEQ1M Q8T1 read.");
  EXPECT_FALSE(gTestRunning);
  // Under Wine the program's mark on the file, a stream of it, is a file.
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    if (e.path().filename() != "p.bin:orvandel") files.push_back(e.path().filename().string());
  EXPECT_EQ(files, std::vector<std::string>{"p.bin"});
}

}  // namespace
