#include "win32/Win32Form.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "form/basBase.h"
#include "form/frmMain.h"
#include "platform/os.h"
#include "win32/RandomPane.h"
#include "win32/SceneGdi.h"

// Last: its macros would rename the layer's own constants.
// windows.h first: the others build on it.
#include <windows.h>

#include <commctrl.h>
#include <commdlg.h>

namespace {

constexpr auto kFrame = std::chrono::milliseconds(16);
constexpr int kFirstId = 100;
constexpr int kToggleId = 99;
constexpr int kRandomToggleId = 98;
constexpr const char* kClassName = "OrvandelMain";
constexpr const char* kChartClassName = "OrvandelTimeline";
// The client area in dialog units.
constexpr int kClientWidth = 440;
constexpr int kClientHeight = 186;
// The timeline panel's height when it opens, in pixels, as in the Qt window.
constexpr int kChartHeight = 260;
// The random-order panel's, and the least room each panel keeps.
constexpr int kRandomHeight = 280;
constexpr int kChartMinHeight = 160, kRandomMinHeight = 200;
constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW;

HWND H(Win32Form::Window w) { return static_cast<HWND>(w); }

struct Place {
  Ctl ctl;
  int index;
  int x, y, w, h;
};
// Where each control lies, in dialog units.
constexpr Place kPlaces[] = {
    {Ctl::Label1, 1, 8, 8, 60, 8},
    {Ctl::lblReadStatus, 4, 220, 8, 212, 8},
    {Ctl::txtTestFile, 0, 8, 19, 398, 12},
    {Ctl::cmdBrowse, 0, 410, 19, 22, 12},
    {Ctl::Label2, 1, 8, 39, 32, 8},
    {Ctl::txtSize, 0, 42, 37, 30, 12},
    {Ctl::lblSizeUnit, 0, 74, 39, 14, 8},
    {Ctl::Label4, 0, 94, 39, 38, 8},
    {Ctl::txtBlockSizeSectors, 0, 134, 37, 30, 12},
    {Ctl::lbl512, 0, 166, 39, 48, 8},
    {Ctl::lblBlockSize, 0, 217, 39, 60, 8},
    {Ctl::chkFileFlags, 0, 8, 55, 130, 10},
    {Ctl::chkFileFlags, 3, 8, 66, 130, 10},
    {Ctl::chkFileFlags, 1, 8, 77, 130, 10},
    {Ctl::chkFileFlags, 2, 8, 88, 130, 10},
    {Ctl::chkFlushAtFinish, 0, 8, 106, 130, 10},
    {Ctl::chkFlushAtFinish, 1, 8, 117, 130, 10},
    {Ctl::chkFlushAllBlocks, 0, 8, 128, 130, 10},
    {Ctl::picDataType, 0, 8, 144, 130, 14},
    {Ctl::optDataType, 0, 12, 146, 55, 10},
    {Ctl::optDataType, 1, 70, 146, 64, 10},
    {Ctl::cmdFileReadWrite, 0, 144, 55, 78, 14},
    {Ctl::cmdFileReadWrite, 1, 226, 55, 78, 14},
    {Ctl::cmdFileOp, 0, 144, 72, 78, 14},
    {Ctl::cmdFileOp, 1, 226, 72, 78, 14},
    {Ctl::lblReadStatus, 0, 144, 92, 160, 10},
    {Ctl::lblReadStatus, 1, 144, 104, 160, 10},
    {Ctl::lblReadStatus, 2, 144, 116, 160, 10},
    {Ctl::lblReadStatus, 3, 144, 128, 160, 10},
    {Ctl::Label5, 0, 316, 39, 60, 8},
    {Ctl::txtNumberOfFiles, 0, 378, 37, 30, 12},
    {Ctl::cmdCreateAndDeleteFiles, 0, 316, 55, 116, 14},
    // Below the result lines, in the room the left column leaves.
    {Ctl::chkEvictCache, 0, 144, 142, 160, 10},
    // A row of its own below the designed ones, two lines high.
    {Ctl::lblCacheVerdict, 0, 8, 162, 424, 18},
    {Ctl::fraWrite, 0, 2, 0, 436, 184},
};
// The timeline's button, in the empty corner under the create-and-delete
// button, so that the designed rows keep their places.
constexpr Place kTogglePlace = {Ctl::fraWrite, 0, 372, 144, 60, 14};
// The random-order panel's button above it.
constexpr Place kRandomTogglePlace = {Ctl::fraWrite, 0, 372, 128, 60, 14};

// What each field does on this system, wrapped at a readable width; the
// Qt window's texts where Windows does the same.
struct Tip {
  Ctl ctl;
  int index;
  const char* text;
};
constexpr Tip kTips[] = {
    {Ctl::txtTestFile, 0,
     "The test file the runs write and read, and beside which the numbered files are created."},
    {Ctl::lblReadStatus, 4,
     "Fragments of the test file, the power-of-two disk boundaries they begin on (K = 1,024 bytes, "
     "M = 1,048,576 bytes), and whether the file is stored compressed."},
    {Ctl::txtSize, 0, "The size of the file a Write run makes, in MB: 1 MB is 1,048,576 bytes."},
    {Ctl::lblSizeUnit, 0, "1 MB is 1,048,576 bytes."},
    {Ctl::txtBlockSizeSectors, 0,
     "The block size in 512-byte sectors: each read or write moves one block. With "
     "FILE_FLAG_NO_BUFFERING it must be a multiple of the device's logical sector size."},
    {Ctl::lblBlockSize, 0, "The block size: 1 KB is 1,024 bytes, 1 MB is 1,048,576 bytes."},
    {Ctl::chkFileFlags, 0,
     "Opens the file with FILE_FLAG_RANDOM_ACCESS: the cache manager learns that the file is read "
     "in no particular order, so it reads less ahead. An access-pattern hint, not random I/O: the "
     "blocks still go in order."},
    {Ctl::chkFileFlags, 1,
     "Opens the file with FILE_FLAG_NO_BUFFERING: reads and writes bypass the file cache and go "
     "to the device. The block size must be a multiple of the device's logical sector size."},
    {Ctl::chkFileFlags, 2,
     "Opens the file with FILE_FLAG_WRITE_THROUGH: each write returns only when its data is on "
     "the device."},
    {Ctl::chkFileFlags, 3,
     "Opens the file with FILE_FLAG_SEQUENTIAL_SCAN: the cache manager learns that the file is "
     "read from start to end, so it reads further ahead. An access-pattern hint: the order of the "
     "blocks is the same."},
    {Ctl::chkFlushAtFinish, 0,
     "After a Write run, FlushFileBuffers on the file: its data and metadata reach the device."},
    {Ctl::chkFlushAtFinish, 1,
     "After a Write run, FlushFileBuffers on the volume that holds the file: everything written to "
     "it reaches the device."},
    {Ctl::chkFlushAllBlocks, 0,
     "FlushFileBuffers on the file after each block a Write run writes."},
    {Ctl::optDataType, 0, "A Write run writes zeros."},
    {Ctl::optDataType, 1,
     "A Write run writes pseudo-random words, which compression cannot shrink."},
    {Ctl::cmdFileReadWrite, 0,
     "Reads the whole test file block by block; the result shows in MB/s (1,048,576 bytes a "
     "second)."},
    {Ctl::cmdFileReadWrite, 1,
     "Writes the test file block by block; the result shows in MB/s (1,048,576 bytes a second)."},
    {Ctl::txtNumberOfFiles, 0,
     "How many empty files the test creates and deletes, from 10 to 10000."},
    {Ctl::cmdCreateAndDeleteFiles, 0,
     "Creates the numbered empty files beside the test file, deletes them, and times both and the "
     "flush of the volume after each."},
    {Ctl::lblCacheVerdict, 0,
     "What the figure measured, from the test file's own pages in memory. Windows counts its file "
     "cache for the whole system only: no figure of one file's pages exists, so this line says "
     "so and estimates nothing."},
};
// On the box and, for while it is disabled, on its place in the window.
constexpr const char* kEvictTip =
    "Not available on Windows: no call drops one file's pages from the file cache, so a Read run "
    "cannot be made to read from the disk here.";
constexpr const char* kToggleTip =
    "Shows throughput over the latest Write or Read run (Ctrl+T). Windows gives no figures of its "
    "dirty cache, so the panel has none.";
constexpr const char* kRandomToggleTip =
    "Shows the standard table of sequential and random-order tests on the test file, with the "
    "latency of each (Ctrl+R).";

// The separators: Line1(0), Line1(1) across the left column, Line2 down.
struct LinePlace {
  int x, y, w, h;
  bool vertical;
};
constexpr LinePlace kLines[] = {
    {8, 101, 130, 1, false}, {8, 140, 130, 1, false}, {310, 34, 1, 124, true}};

const Place& PlaceOf(Ctl ctl, int index) {
  for (const auto& p : kPlaces)
    if (p.ctl == ctl && p.index == index) return p;
  throw std::logic_error("a control without a place");
}

// Dialog units to pixels for the window's font, as dialogs compute them.
struct Units {
  int baseX = 6, baseY = 13;
  int X(int dlu) const { return MulDiv(dlu, baseX, 4); }
  int Y(int dlu) const { return MulDiv(dlu, baseY, 8); }
};

Units UnitsOf(HFONT font) {
  Units u;
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, font);
  TEXTMETRICA tm{};
  SIZE size{};
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  if (GetTextMetricsA(dc, &tm) && GetTextExtentPoint32A(dc, kAlphabet, 52, &size)) {
    u.baseX = (size.cx / 26 + 1) / 2;
    u.baseY = tm.tmHeight;
  }
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  return u;
}

std::string WindowText(HWND hwnd) {
  const int n = GetWindowTextLengthA(hwnd);
  std::string s(static_cast<std::size_t>(n) + 1, '\0');
  s.resize(static_cast<std::size_t>(GetWindowTextA(hwnd, s.data(), n + 1)));
  return s;
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTA*>(lParam);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto* form = reinterpret_cast<Win32Form*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (form && form->Handle()) return form->WndProc(message, wParam, lParam);
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

// Centres the open dialog on the screen whenever it is sized, which
// includes its first showing. Halves round to even.
UINT_PTR CALLBACK CenterDialogHook(HWND hook, UINT message, WPARAM, LPARAM) {
  if (message == WM_SIZE) {
    HWND dialog = GetParent(hook);
    RECT r{};
    GetWindowRect(dialog, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    HDC dc = GetDC(nullptr);
    const int screenW = GetDeviceCaps(dc, HORZRES);
    ReleaseDC(nullptr, dc);
    dc = GetDC(nullptr);
    const int screenH = GetDeviceCaps(dc, VERTRES);
    ReleaseDC(nullptr, dc);
    const int x = static_cast<int>(std::nearbyint((screenW - w) / 2.0));
    const int y = static_cast<int>(std::nearbyint((screenH - h) / 2.0));
    MoveWindow(dialog, x, y, w, h, FALSE);
  }
  return 0;
}

LRESULT CALLBACK ChartProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* form = reinterpret_cast<Win32Form*>(GetWindowLongPtrA(GetParent(hwnd), GWLP_USERDATA));
  switch (message) {
    case WM_ERASEBKGND:
      return 1;  // the paint covers it all
    case WM_SIZE:
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      RECT r{};
      GetClientRect(hwnd, &r);
      if (form) form->PaintChart(dc, r.right, r.bottom);
      EndPaint(hwnd, &ps);
      return 0;
    }
    default:
      return DefWindowProcA(hwnd, message, wParam, lParam);
  }
}

// The timeline's button keeps out of the focus, as the Qt window's does:
// a click leaves it where it was. Subclassed as a Unicode window, so that
// its caption keeps its triangle.
WNDPROC gButtonProc = nullptr;
LRESULT CALLBACK ToggleProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SETFOCUS && wParam) {
    SetFocus(reinterpret_cast<HWND>(wParam));
    return 0;
  }
  return CallWindowProcW(gButtonProc, hwnd, message, wParam, lParam);
}

// A multi-line edit keeps Tab and Enter for itself; the verdict, read
// only, lets the window have them, as the one-line result lines do.
WNDPROC gEditProc = nullptr;
LRESULT CALLBACK VerdictProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  const LRESULT r = CallWindowProcA(gEditProc, hwnd, message, wParam, lParam);
  return message == WM_GETDLGCODE ? r & ~(DLGC_WANTALLKEYS | DLGC_WANTTAB) : r;
}

// The toggle's caption with its triangle where the font has one.
std::wstring ToggleText(HWND toggle, bool open, const wchar_t* name = L"Timeline") {
  const wchar_t triangle = open ? L'\u25BE' : L'\u25B8';
  WORD glyph = 0xffff;
  HDC dc = GetDC(toggle);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(toggle, WM_GETFONT, 0, 0)));
  GetGlyphIndicesW(dc, &triangle, 1, &glyph, GGI_MARK_NONEXISTING_GLYPHS);
  SelectObject(dc, old);
  ReleaseDC(toggle, dc);
  if (glyph == 0xffff) return std::wstring(name) + (open ? L" v" : L" >");
  return std::wstring(name) + L" " + triangle;
}

void RegisterWindowClass() {
  static const bool registered = [] {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    // The program's icon is resource 1 of the executable, when it has one.
    wc.hIcon = LoadIconA(wc.hInstance, MAKEINTRESOURCEA(1));
    wc.hIconSm = wc.hIcon;
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&icc);
    WNDCLASSEXA chart{};
    chart.cbSize = sizeof chart;
    chart.lpfnWndProc = ChartProc;
    chart.hInstance = wc.hInstance;
    chart.hCursor = wc.hCursor;
    chart.lpszClassName = kChartClassName;
    return RegisterClassExA(&wc) != 0 && RegisterClassExA(&chart) != 0;
  }();
  if (!registered) throw std::runtime_error("cannot register the window class");
}

}  // namespace

Win32Form::Win32Form() {
  RegisterWindowClass();
  NONCLIENTMETRICSA metrics{};
  metrics.cbSize = sizeof metrics;
  SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
  font_ = CreateFontIndirectA(&metrics.lfMessageFont);
  const Units u = UnitsOf(static_cast<HFONT>(font_));

  designWidth_ = u.X(kClientWidth);
  designHeight_ = u.Y(kClientHeight);
  RECT r{0, 0, designWidth_, designHeight_};
  AdjustWindowRectEx(&r, kStyle, FALSE, WS_EX_CONTROLPARENT);
  // Handle() stays null until the window exists, so creation messages go
  // to the default procedure.
  HWND hwnd = CreateWindowExA(WS_EX_CONTROLPARENT, kClassName, "", kStyle, CW_USEDEFAULT,
                              CW_USEDEFAULT, r.right - r.left, r.bottom - r.top, nullptr, nullptr,
                              GetModuleHandleA(nullptr), this);
  if (!hwnd) throw std::runtime_error("cannot create the window");
  hwnd_ = hwnd;
  Build();
}

Win32Form::~Win32Form() {
  if (waitCursor_) SetCursor(LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW)));
  if (hwnd_ && IsWindow(H(hwnd_))) {
    logic_ = nullptr;  // a destroy from here is no user's close
    SetWindowLongPtrA(H(hwnd_), GWLP_USERDATA, 0);
    DestroyWindow(H(hwnd_));
  }
  if (font_) DeleteObject(static_cast<HFONT>(font_));
}

void Win32Form::Build() {
  const Units u = UnitsOf(static_cast<HFONT>(font_));
  HINSTANCE instance = GetModuleHandleA(nullptr);
  // Creation order is the tab order: the screen's, then the controls Tab
  // does not reach.
  std::vector<const ControlDesign*> order;
  // The controls are made in the Tab order, the rest after them.
  for (const auto& [ctl, index] : kTabOrder) order.push_back(FindDesign(ctl, index));
  for (const auto& d : DesignTable())
    if (std::find(order.begin(), order.end(), &d) == order.end()) order.push_back(&d);
  for (std::size_t i = 0; i < order.size(); ++i) {
    const ControlDesign& d = *order[i];
    const Place& p = PlaceOf(d.ctl, d.index);
    const char* cls = "STATIC";
    DWORD style = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
    DWORD exStyle = 0;
    const bool hasAccessKey = std::strchr(d.text, '&') != nullptr;
    const bool verdict = d.ctl == Ctl::lblCacheVerdict;
    const bool resultLine = d.ctl == Ctl::lblReadStatus || verdict;
    switch (d.kind) {
      case CtlKind::TextBox:
        cls = "EDIT";
        style |= WS_TABSTOP | ES_AUTOHSCROLL;
        exStyle = WS_EX_CLIENTEDGE;
        break;
      case CtlKind::Label:
        // The result lines can be selected and copied; Tab reaches those
        // with a text.
        if (resultLine) {
          cls = "EDIT";
          style |=
              ES_READONLY | (verdict ? ES_MULTILINE : ES_AUTOHSCROLL) | (*d.text ? WS_TABSTOP : 0);
        } else {
          style |= SS_LEFTNOWORDWRAP | SS_NOTIFY | (hasAccessKey ? 0 : SS_NOPREFIX);
        }
        break;
      case CtlKind::Button:
        cls = "BUTTON";
        style |= WS_TABSTOP | BS_PUSHBUTTON;
        break;
      case CtlKind::CheckBox:
        cls = "BUTTON";
        style |= WS_TABSTOP | BS_AUTOCHECKBOX;
        break;
      case CtlKind::OptionButton:
        cls = "BUTTON";
        // The first of the pair starts its group; the arrow keys move within.
        style |= BS_AUTORADIOBUTTON | (d.index == 0 ? WS_GROUP | WS_TABSTOP : 0);
        break;
      case CtlKind::PictureBox:
        style |= SS_SUNKEN | WS_GROUP;
        break;
      case CtlKind::Frame:
        cls = "BUTTON";
        style |= BS_GROUPBOX | WS_GROUP;
        break;
    }
    // The control after the option buttons closes their group.
    if (i > 0 && order[i - 1]->kind == CtlKind::OptionButton && d.kind != CtlKind::OptionButton)
      style |= WS_GROUP;
    HWND c = CreateWindowExA(exStyle, cls, d.text, style, u.X(p.x), u.Y(p.y), u.X(p.w), u.Y(p.h),
                             H(hwnd_), reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstId + i)),
                             instance, nullptr);
    if (!c) throw std::runtime_error("cannot create a control");
    SendMessageA(c, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    if (d.kind == CtlKind::CheckBox || d.kind == CtlKind::OptionButton)
      SendMessageA(c, BM_SETCHECK, d.value ? BST_CHECKED : BST_UNCHECKED, 0);
    controls_[{d.ctl, d.index}] = Entry{&d, c};
    byId_.push_back(&d);
    // Extra width goes to the path field and the status lines; the right
    // column and "..." move with the right edge.
    const bool stretch = d.ctl == Ctl::txtTestFile || resultLine || d.ctl == Ctl::fraWrite;
    const bool follow = d.ctl == Ctl::cmdBrowse || d.ctl == Ctl::Label5 ||
                        d.ctl == Ctl::txtNumberOfFiles || d.ctl == Ctl::cmdCreateAndDeleteFiles;
    placed_.push_back({c, u.X(p.x), u.Y(p.y), u.X(p.w), u.Y(p.h), stretch, follow});
  }
  // The picture box and the frame lie behind the controls on them.
  SetWindowPos(H(Control(Ctl::picDataType)), HWND_BOTTOM, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  for (const auto& l : kLines) {
    HWND line = CreateWindowExA(
        0, "STATIC", "",
        WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | (l.vertical ? SS_ETCHEDVERT : SS_ETCHEDHORZ),
        u.X(l.x), u.Y(l.y), l.vertical ? 2 : u.X(l.w), l.vertical ? u.Y(l.h) : 2, H(hwnd_), nullptr,
        instance, nullptr);
    SetWindowPos(line, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    placed_.push_back({line, u.X(l.x), u.Y(l.y), l.vertical ? 2 : u.X(l.w),
                       l.vertical ? u.Y(l.h) : 2, false, l.vertical});
  }
  SetWindowPos(H(Control(Ctl::fraWrite)), HWND_BOTTOM, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  gEditProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
      H(Control(Ctl::lblCacheVerdict)), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(VerdictProc)));

  // The timeline: its button out of the Tab cycle (Ctrl+T reaches it from
  // anywhere), and the panel below the frame, hidden until asked for.
  const Place& t = kTogglePlace;
  toggle_ =
      CreateWindowExW(0, L"BUTTON", L"Timeline \u25B8",
                      WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | BS_AUTOCHECKBOX | BS_PUSHLIKE,
                      u.X(t.x), u.Y(t.y), u.X(t.w), u.Y(t.h), H(hwnd_),
                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(kToggleId)), instance, nullptr);
  if (!toggle_) throw std::runtime_error("cannot create a control");
  SendMessageA(H(toggle_), WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  SetWindowTextW(H(toggle_), ToggleText(H(toggle_), false).c_str());
  gButtonProc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(H(toggle_), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ToggleProc)));
  SetWindowPos(H(toggle_), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  placed_.push_back({toggle_, u.X(t.x), u.Y(t.y), u.X(t.w), u.Y(t.h), false, true});
  chart_ = CreateWindowExA(0, kChartClassName, "", WS_CHILD | WS_CLIPSIBLINGS, 0, designHeight_,
                           designWidth_, kChartHeight, H(hwnd_), nullptr, instance, nullptr);
  if (!chart_) throw std::runtime_error("cannot create the timeline panel");
  const Place& rt = kRandomTogglePlace;
  randomToggle_ = CreateWindowExW(
      0, L"BUTTON", L"Random \u25B8",
      WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | BS_AUTOCHECKBOX | BS_PUSHLIKE, u.X(rt.x), u.Y(rt.y),
      u.X(rt.w), u.Y(rt.h), H(hwnd_),
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(kRandomToggleId)), instance, nullptr);
  if (!randomToggle_) throw std::runtime_error("cannot create a control");
  SendMessageA(H(randomToggle_), WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  SetWindowTextW(H(randomToggle_), ToggleText(H(randomToggle_), false, L"Random").c_str());
  SetWindowLongPtrW(H(randomToggle_), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ToggleProc));
  SetWindowPos(H(randomToggle_), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  placed_.push_back({randomToggle_, u.X(rt.x), u.Y(rt.y), u.X(rt.w), u.Y(rt.h), false, true});
  random_ = std::make_unique<RandomPane>(*this, hwnd_, font_);
  // The file's buttons and status line as the run left the file.
  random_->ended = [this] {
    if (logic_) logic_->ShowFileState();
  };
  focus_ = Control(Ctl::txtTestFile);
  AddTooltips();
}

void Win32Form::AddTooltips() {
  tooltips_ = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr,
                              WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, H(hwnd_), nullptr,
                              GetModuleHandleA(nullptr), nullptr);
  if (!tooltips_) return;  // a window without tips still works
  auto add = [&](HWND tool, const char* text) {
    TTTOOLINFOA ti{};
    ti.cbSize = sizeof ti;
    ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    ti.hwnd = H(hwnd_);
    ti.uId = reinterpret_cast<UINT_PTR>(tool);
    ti.lpszText = const_cast<char*>(text);
    SendMessageA(H(tooltips_), TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&ti));
  };
  for (const Tip& tip : kTips) add(H(Control(tip.ctl, tip.index)), tip.text);
  // A disabled control gets no mouse messages: the window under it does.
  HWND evict = H(Control(Ctl::chkEvictCache));
  add(evict, kEvictTip);
  TTTOOLINFOA place{};
  place.cbSize = sizeof place;
  place.uFlags = TTF_SUBCLASS;
  place.hwnd = H(hwnd_);
  place.uId = 1;
  GetWindowRect(evict, &place.rect);
  MapWindowPoints(nullptr, H(hwnd_), reinterpret_cast<POINT*>(&place.rect), 2);
  place.lpszText = const_cast<char*>(kEvictTip);
  SendMessageA(H(tooltips_), TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&place));
  add(H(toggle_), kToggleTip);
  add(H(randomToggle_), kRandomToggleTip);
  random_->AddTips(tooltips_);
  // About sixty characters a line, and time to read them.
  const Units u = UnitsOf(static_cast<HFONT>(font_));
  SendMessageA(H(tooltips_), TTM_SETMAXTIPWIDTH, 0, u.X(4 * 60));
  SendMessageA(H(tooltips_), TTM_SETDELAYTIME, TTDT_AUTOPOP, MAKELPARAM(30000, 0));
}

bool Win32Form::IsOurs(Window w) const {
  return w && hwnd_ && IsChild(H(hwnd_), H(w)) && w != toggle_ && w != chart_ && w != randomToggle_;
}

void Win32Form::Layout(int width, int height) {
  const int dx = std::max(0, width - designWidth_);
  // The frame takes the height the panel leaves; the controls keep theirs.
  const int extra = std::max(0, height - designHeight_);
  const int frameExtra = chartShown_ || randomShown_ ? 0 : extra;
  // Shown panels share the height below the controls as their own heights
  // stand to each other, the timeline first.
  const int chartHeight = !chartShown_   ? 0
                          : randomShown_ ? extra * kChartHeight / (kChartHeight + kRandomHeight)
                                         : extra;
  HDWP defer = BeginDeferWindowPos(static_cast<int>(placed_.size()) + 2);
  for (const Placed& p : placed_) {
    const bool frame = p.hwnd == Control(Ctl::fraWrite);
    const int x = p.x + (p.follow ? dx : 0), w = p.w + (p.stretch ? dx : 0);
    const int h = p.h + (frame ? frameExtra : 0);
    if (defer)
      defer =
          DeferWindowPos(defer, H(p.hwnd), nullptr, x, p.y, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
  }
  if (defer)
    defer = DeferWindowPos(defer, H(chart_), nullptr, 0, designHeight_, width, chartHeight,
                           SWP_NOZORDER | SWP_NOACTIVATE);
  if (defer)
    defer = DeferWindowPos(defer, H(random_->Handle()), nullptr, 0, designHeight_ + chartHeight,
                           width, extra - chartHeight, SWP_NOZORDER | SWP_NOACTIVATE);
  if (defer) EndDeferWindowPos(defer);
  // The group box paints only its edges: what it uncovers is repainted.
  InvalidateRect(H(hwnd_), nullptr, TRUE);
}

void Win32Form::ResizeClient(int width, int height) {
  RECT r{0, 0, width, height};
  AdjustWindowRectEx(&r, static_cast<DWORD>(GetWindowLongPtrA(H(hwnd_), GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongPtrA(H(hwnd_), GWL_EXSTYLE)));
  SetWindowPos(H(hwnd_), nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32Form::ResizeForPanel(int& grown, int by, bool show) {
  RECT client{};
  GetClientRect(H(hwnd_), &client);
  if (show) {
    ResizeClient(client.right, client.bottom + by);
    RECT now{};
    GetClientRect(H(hwnd_), &now);
    grown = now.bottom - client.bottom;
  } else {
    ResizeClient(client.right, std::max<int>(designHeight_, client.bottom - grown));
    grown = 0;
  }
  GetClientRect(H(hwnd_), &client);
  Layout(client.right, client.bottom);
}

void Win32Form::ShowTimeline(bool show) {
  if (show == chartShown_) return;
  chartShown_ = show;
  SendMessageA(H(toggle_), BM_SETCHECK, show ? BST_CHECKED : BST_UNCHECKED, 0);
  SetWindowTextW(H(toggle_), ToggleText(H(toggle_), show).c_str());
  ShowWindow(H(chart_), show ? SW_SHOWNA : SW_HIDE);
  ResizeForPanel(chartGrown_, kChartHeight, show);
}

void Win32Form::ShowRandom(bool show) {
  if (show == randomShown_) return;
  randomShown_ = show;
  SendMessageA(H(randomToggle_), BM_SETCHECK, show ? BST_CHECKED : BST_UNCHECKED, 0);
  SetWindowTextW(H(randomToggle_), ToggleText(H(randomToggle_), show, L"Random").c_str());
  ShowWindow(H(random_->Handle()), show ? SW_SHOWNA : SW_HIDE);
  ResizeForPanel(randomGrown_, kRandomHeight, show);
}

void Win32Form::TimelineChanged(const Timeline& timeline) {
  if (shown_.Take(timeline, static_cast<std::int64_t>(GetTickCount64())).repaint && chartShown_)
    InvalidateRect(H(chart_), nullptr, FALSE);
}

void Win32Form::PaintChart(void* target, int width, int height) {
  ++chartPaints_;
  HDC screen = static_cast<HDC>(target);
  // Drawn off the screen first, so that a live run's repaints do not flicker.
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, std::max(width, 1), std::max(height, 1));
  HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
  HGDIOBJ oldFont = SelectObject(dc, static_cast<HFONT>(font_));
  TEXTMETRICA tm{};
  GetTextMetricsA(dc, &tm);
  const double f = tm.tmHeight - tm.tmInternalLeading;
  const chart::Scene scene = chart::BuildScene(
      shown_.Get(), width, height, f,
      [dc](const std::string& text) { return static_cast<double>(TextWidth(dc, text)); });
  DrawScene(dc, scene);
  BitBlt(screen, 0, 0, width, height, dc, 0, 0, SRCCOPY);
  SelectObject(dc, oldFont);
  SelectObject(dc, oldBitmap);
  DeleteObject(bitmap);
  DeleteDC(dc);
}

Win32Form::Window Win32Form::Control(Ctl ctl, int index) const { return At(ctl, index).hwnd; }

Win32Form::Entry& Win32Form::At(Ctl ctl, int index) {
  const auto it = controls_.find({ctl, index});
  if (it == controls_.end()) throw std::out_of_range("the window has no such control");
  return it->second;
}

const Win32Form::Entry& Win32Form::At(Ctl ctl, int index) const {
  return const_cast<Win32Form*>(this)->At(ctl, index);
}

std::intptr_t Win32Form::WndProc(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
  HWND hwnd = H(hwnd_);
  switch (message) {
    case WM_COMMAND:
      if (lParam != 0) Command(LOWORD(wParam), HIWORD(wParam));
      return 0;
    case WM_SIZE:
      if (wParam != SIZE_MINIMIZED) Layout(LOWORD(lParam), HIWORD(lParam));
      return 0;
    case WM_GETMINMAXINFO: {
      // Never smaller than designed, with room for the panel's labels.
      RECT r{0, 0, designWidth_,
             designHeight_ + (chartShown_ ? kChartMinHeight : 0) +
                 (randomShown_ ? kRandomMinHeight : 0)};
      AdjustWindowRectEx(&r, static_cast<DWORD>(GetWindowLongPtrA(hwnd, GWL_STYLE)), FALSE,
                         static_cast<DWORD>(GetWindowLongPtrA(hwnd, GWL_EXSTYLE)));
      auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
      info->ptMinTrackSize = {r.right - r.left, r.bottom - r.top};
      return 0;
    }
    case WM_ACTIVATE:
      // The focus leaves with the window and comes back to the same
      // control, the path field at first, not to the window itself.
      if (LOWORD(wParam) == WA_INACTIVE) {
        if (IsOurs(GetFocus())) focus_ = GetFocus();
      } else if (!HIWORD(wParam)) {
        ::SetFocus(H(IsOurs(focus_) ? focus_ : Control(Ctl::txtTestFile)));
      }
      return 0;
    case WM_SETFOCUS:
      if (IsOurs(focus_)) ::SetFocus(H(focus_));
      return 0;
    case WM_QUERYENDSESSION:
      // A logoff or shutdown ends a running test as a stop request does,
      // at its next step; the session may end.
      if (gTestRunning && os::runtime::StopRequested() == 0) {
        os::runtime::RequestStop(15);
        sessionStop_ = true;
      }
      return TRUE;
    case WM_ENDSESSION:
      if (!wParam) {
        // Another program kept the session: later runs must not stop.
        if (sessionStop_ && !gTestRunning) os::runtime::ClearStopRequest();
        sessionStop_ = false;
        return 0;
      }
      // The window closes as if the program closed it.
      DestroyWindow(hwnd);
      return 0;
    case WM_SETCURSOR:
      if (waitCursor_) {
        SetCursor(LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_WAIT)));
        return TRUE;
      }
      break;
    case WM_CLOSE:
      // Only the user's close arrives here; it is refused during a run.
      if (logic_ && logic_->Form_QueryUnload(0)) return 0;
      DestroyWindow(hwnd);
      return 0;
    case WM_DESTROY:
      if (logic_) logic_->Form_Unload();
      logic_ = nullptr;
      hwnd_ = nullptr;
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

void Win32Form::Command(int id, int code) {
  if (id == kToggleId) {
    if (code == BN_CLICKED)
      ShowTimeline(SendMessageA(H(toggle_), BM_GETCHECK, 0, 0) == BST_CHECKED);
    return;
  }
  if (id == kRandomToggleId) {
    if (code == BN_CLICKED)
      ShowRandom(SendMessageA(H(randomToggle_), BM_GETCHECK, 0, 0) == BST_CHECKED);
    return;
  }
  const int i = id - kFirstId;
  if (i < 0 || i >= static_cast<int>(byId_.size()) || !events_) return;
  const ControlDesign& d = *byId_[static_cast<std::size_t>(i)];
  switch (d.kind) {
    case CtlKind::TextBox:
      if (code == EN_CHANGE) events_->Change(d.ctl, d.index);
      if (code == EN_SETFOCUS) events_->GotFocus(d.ctl, d.index);
      break;
    case CtlKind::OptionButton:
      if (code == BN_CLICKED && Value(d.ctl, d.index)) events_->Click(d.ctl, d.index);
      break;
    case CtlKind::Button:
    case CtlKind::CheckBox:
      if (code == BN_CLICKED) events_->Click(d.ctl, d.index);
      break;
    default:
      break;
  }
}

std::string Win32Form::Text(Ctl ctl, int index) const { return WindowText(H(At(ctl, index).hwnd)); }

void Win32Form::SetText(Ctl ctl, int index, const std::string& text) {
  HWND c = H(At(ctl, index).hwnd);
  // Progress captions are set after every block: an equal text costs nothing.
  if (WindowText(c) == text) return;
  if (ctl == Ctl::lblReadStatus || ctl == Ctl::lblCacheVerdict) {
    // Tab passes over an empty result line.
    const LONG_PTR style = GetWindowLongPtrA(c, GWL_STYLE);
    const LONG_PTR want = text.empty() ? style & ~WS_TABSTOP : style | WS_TABSTOP;
    if (want != style) SetWindowLongPtrA(c, GWL_STYLE, want);
  }
  SetWindowTextA(c, text.c_str());  // a text box's EN_CHANGE runs Change
}

int Win32Form::Value(Ctl ctl, int index) const {
  return SendMessageA(H(At(ctl, index).hwnd), BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
}

void Win32Form::SetValue(Ctl ctl, int index, int value) {
  const Entry& e = At(ctl, index);
  const bool on = value != 0;
  if (e.design->kind != CtlKind::CheckBox && e.design->kind != CtlKind::OptionButton) return;
  if ((Value(ctl, index) != 0) == on) return;
  if (e.design->kind == CtlKind::OptionButton) {
    if (!on) {
      SendMessageA(H(e.hwnd), BM_SETCHECK, BST_UNCHECKED, 0);
      return;
    }
    for (const auto& [key, other] : controls_)
      if (key.first == ctl) SendMessageA(H(other.hwnd), BM_SETCHECK, BST_UNCHECKED, 0);
  }
  SendMessageA(H(e.hwnd), BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
  if (events_ && (on || e.design->kind == CtlKind::CheckBox)) events_->Click(ctl, index);
}

bool Win32Form::Enabled(Ctl ctl, int index) const {
  return IsWindowEnabled(H(At(ctl, index).hwnd)) != 0;
}

void Win32Form::SetEnabled(Ctl ctl, int index, bool enabled) {
  EnableWindow(H(At(ctl, index).hwnd), enabled);
}

std::string Win32Form::Tag(Ctl ctl, int index) const { return At(ctl, index).design->tag; }

void Win32Form::SetSelection(Ctl ctl, int index, int start, int length) {
  SendMessageA(H(At(ctl, index).hwnd), EM_SETSEL, static_cast<WPARAM>(start),
               static_cast<LPARAM>(start + length));
}

std::string Win32Form::Caption() const { return hwnd_ ? WindowText(H(hwnd_)) : std::string(); }

void Win32Form::SetCaption(const std::string& caption) {
  SetWindowTextA(H(hwnd_), caption.c_str());
}

bool Win32Form::FrameDue(std::chrono::steady_clock::time_point& last) {
  const auto now = std::chrono::steady_clock::now();
  if (now - last < kFrame) return false;
  last = now;
  return true;
}

void Win32Form::Refresh(Ctl ctl, int index) {
  if (!FrameDue(lastPaint_)) return;  // the control's own repaint shows it later
  RedrawWindow(H(At(ctl, index).hwnd), nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

void Win32Form::RefreshForm() {
  RedrawWindow(H(hwnd_), nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  lastPaint_ = std::chrono::steady_clock::now();
}

bool Win32Form::PreTranslate(void* message) {
  auto* msg = static_cast<MSG*>(message);
  if (!hwnd_) return false;
  // Ctrl+T and Ctrl+R, which no control takes for itself, show or hide
  // the timeline and the random-order panel.
  if (msg->message == WM_KEYDOWN && (msg->wParam == 'T' || msg->wParam == 'R') &&
      GetKeyState(VK_CONTROL) < 0 && GetKeyState(VK_SHIFT) >= 0 && GetKeyState(VK_MENU) >= 0 &&
      (msg->hwnd == H(hwnd_) || IsChild(H(hwnd_), msg->hwnd))) {
    if (msg->wParam == 'T')
      ShowTimeline(!chartShown_);
    else
      ShowRandom(!randomShown_);
    return true;
  }
  return IsDialogMessageA(H(hwnd_), msg);
}

void Win32Form::DoEvents() {
  if (!FrameDue(lastEvents_)) return;
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      // The main loop must still see it.
      PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    if (!PreTranslate(&msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    // A stop noted by a message (the session's end) ends the run before
    // the next one comes: the run cleans up while the system still waits.
    if (os::runtime::StopRequested() != 0) return;
  }
}

int Win32Form::RunMessageLoop(Win32Form& form) {
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (form.PreTranslate(&msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return static_cast<int>(msg.wParam);
}

int Win32Form::MsgBox(const std::string& prompt, int style, const std::string& detail) {
  UINT type = MB_OK;
  if (style == vbExclamation) type |= MB_ICONEXCLAMATION;
  if (style == vbCritical) type |= MB_ICONHAND;
  const bool question = (style & 7) == vbYesNo;
  // A stray Enter must not replace anything.
  if (question) type = MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2;
  // The cause below the message, as a second paragraph.
  const std::string text = detail.empty() ? prompt : prompt + "\r\n\r\n" + detail;
  // The focus goes back to the control that had it, not to the window.
  HWND focus = GetFocus();
  if (IsOurs(focus)) focus_ = focus;
  const int answer = MessageBoxA(H(hwnd_), text.c_str(), Caption().c_str(), type);
  if (IsOurs(focus_) && GetForegroundWindow() == H(hwnd_)) ::SetFocus(H(focus_));
  if (question) return answer == IDYES ? vbYes : vbNo;
  return vbOK;
}

void Win32Form::SetMousePointer(int pointer) {
  if (pointer == vbHourglass)
    waitCursor_ = true;
  else if (pointer == vbDefault)
    waitCursor_ = false;
  SetCursor(LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(waitCursor_ ? IDC_WAIT : IDC_ARROW)));
}

void Win32Form::SetFocus(Ctl ctl, int index) {
  focus_ = At(ctl, index).hwnd;
  ::SetFocus(H(focus_));
}

bool Win32Form::LeftButtonJustPressed() {
  // Down now and pressed since the previous query.
  return static_cast<unsigned short>(GetAsyncKeyState(VK_LBUTTON)) == 0x8001;
}

char Win32Form::DecimalSeparator() const {
  char buf[8] = {};
  if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, buf, sizeof buf) >= 2 && buf[1] == '\0')
    return buf[0];
  return '.';
}

std::optional<std::string> Win32Form::FileDialog(const FileDialogRequest& request) {
  // "text\0pattern\0...\0\0"
  std::string filter;
  for (const auto& [text, pattern] : request.filters) {
    filter += text;
    filter += '\0';
    filter += pattern;
    filter += '\0';
  }
  filter += '\0';
  char file[128] = {};
  request.defaultName.copy(file, sizeof file - 1);
  // "*.*" names no extension to add.
  std::string defExt;
  if (request.defaultExtension.rfind("*.", 0) == 0 &&
      request.defaultExtension.find('*', 1) == std::string::npos)
    defExt = request.defaultExtension.substr(2);

  OPENFILENAMEA ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = H(hwnd_);
  ofn.lpstrFilter = filter.c_str();
  ofn.nFilterIndex = static_cast<DWORD>(request.filterIndex);
  ofn.lpstrFile = file;
  ofn.nMaxFile = sizeof file;
  ofn.lpstrInitialDir = request.initialFolder.c_str();
  ofn.lpstrTitle = request.title.c_str();
  ofn.Flags = OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_ENABLEHOOK | OFN_HIDEREADONLY |
              (request.save ? OFN_OVERWRITEPROMPT : OFN_FILEMUSTEXIST);
  ofn.lpstrDefExt = defExt.empty() ? nullptr : defExt.c_str();
  ofn.lpfnHook = CenterDialogHook;
  const BOOL ok = request.save ? GetSaveFileNameA(&ofn) : GetOpenFileNameA(&ofn);
  if (!ok) return std::nullopt;
  return std::string(file, strnlen(file, sizeof file));
}
