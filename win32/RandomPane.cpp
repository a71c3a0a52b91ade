#include "win32/RandomPane.h"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <vector>

#include "form/FormView.h"
#include "form/SceneSvg.h"
#include "platform/os.h"
#include "win32/SceneGdi.h"

// Last: its macros would rename the layer's own constants.
#include <windows.h>

#include <commctrl.h>
#include <commdlg.h>
#include <objidl.h>

namespace {

constexpr const char* kPaneClass = "OrvandelRandom";
constexpr const char* kChartClass = "OrvandelLatency";
constexpr UINT_PTR kPollTimer = 1;
constexpr int kRunId = 1, kStopId = 2, kTableId = 3;

HWND H(RandomPane::Window w) { return static_cast<HWND>(w); }

RandomPane* PaneOf(HWND hwnd) {
  return reinterpret_cast<RandomPane*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
}

LRESULT CALLBACK PaneProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE)
    SetWindowLongPtrA(
        hwnd, GWLP_USERDATA,
        reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams));
  RandomPane* pane = PaneOf(hwnd);
  if (pane && pane->Handle() == hwnd) return pane->PaneProc(message, wParam, lParam);
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

LRESULT CALLBACK ChartProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  const RandomPane* pane = PaneOf(GetParent(hwnd));
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
      if (pane) pane->PaintChart(dc, r.right, r.bottom);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_CONTEXTMENU:
      if (pane)
        const_cast<RandomPane*>(pane)->ChartMenu(static_cast<short>(LOWORD(lParam)),
                                                 static_cast<short>(HIWORD(lParam)));
      return 0;
    default:
      return DefWindowProcA(hwnd, message, wParam, lParam);
  }
}

void RegisterClasses() {
  static const bool registered = [] {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);
    WNDCLASSEXA pane{};
    pane.cbSize = sizeof pane;
    pane.lpfnWndProc = PaneProc;
    pane.hInstance = GetModuleHandleA(nullptr);
    pane.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    pane.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    pane.lpszClassName = kPaneClass;
    WNDCLASSEXA chart = pane;
    chart.lpfnWndProc = ChartProc;
    chart.hbrBackground = nullptr;
    chart.lpszClassName = kChartClass;
    return RegisterClassExA(&pane) != 0 && RegisterClassExA(&chart) != 0;
  }();
  if (!registered) throw std::runtime_error("cannot register the random panel's classes");
}

bool SaveBytes(const std::string& path, const std::string& protectedFile, std::string_view bytes,
               std::string* error) {
  os::runtime::output::Writer out;
  const bool saved = out.Open(path, protectedFile) && out.Write(bytes) && out.Commit();
  if (!saved && error) *error = out.Error();
  return saved;
}

// A bitmap as PNG bytes through GDI+, loaded when first needed so that the
// program starts where it is missing; empty when it cannot.
std::string PngOf(HBITMAP bitmap) {
  struct StartupInput {
    UINT32 version = 1;
    void* debugEventCallback = nullptr;
    BOOL suppressBackgroundThread = FALSE;
    BOOL suppressExternalCodecs = FALSE;
  };
  using Startup = int(WINAPI*)(ULONG_PTR*, const StartupInput*, void*);
  using Shutdown = void(WINAPI*)(ULONG_PTR);
  using FromHbitmap = int(WINAPI*)(HBITMAP, HPALETTE, void**);
  using SaveToStream = int(WINAPI*)(void*, IStream*, const CLSID*, const void*);
  using Dispose = int(WINAPI*)(void*);
  using MemoryStream = HRESULT(WINAPI*)(HGLOBAL, BOOL, IStream**);
  static const HMODULE gdiplus = LoadLibraryA("gdiplus.dll");
  static const HMODULE ole32 = LoadLibraryA("ole32.dll");
  if (!gdiplus || !ole32) return {};
  auto proc = [](HMODULE m, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(m, name));
  };
  const auto startup = reinterpret_cast<Startup>(proc(gdiplus, "GdiplusStartup"));
  const auto shutdown = reinterpret_cast<Shutdown>(proc(gdiplus, "GdiplusShutdown"));
  const auto fromHbitmap =
      reinterpret_cast<FromHbitmap>(proc(gdiplus, "GdipCreateBitmapFromHBITMAP"));
  const auto save = reinterpret_cast<SaveToStream>(proc(gdiplus, "GdipSaveImageToStream"));
  const auto dispose = reinterpret_cast<Dispose>(proc(gdiplus, "GdipDisposeImage"));
  const auto memoryStream = reinterpret_cast<MemoryStream>(proc(ole32, "CreateStreamOnHGlobal"));
  if (!startup || !shutdown || !fromHbitmap || !save || !dispose || !memoryStream) return {};
  // The PNG encoder's class.
  static const CLSID kPng = {
      0x557cf406, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};
  ULONG_PTR token = 0;
  const StartupInput input;
  if (startup(&token, &input, nullptr) != 0) return {};
  std::string png;
  void* image = nullptr;
  IStream* stream = nullptr;
  if (fromHbitmap(bitmap, nullptr, &image) == 0 && memoryStream(nullptr, TRUE, &stream) == S_OK &&
      save(image, stream, &kPng, nullptr) == 0) {
    ULARGE_INTEGER end{};
    LARGE_INTEGER zero{};
    if (stream->Seek(zero, STREAM_SEEK_CUR, &end) == S_OK &&
        stream->Seek(zero, STREAM_SEEK_SET, nullptr) == S_OK) {
      png.resize(static_cast<std::size_t>(end.QuadPart));
      ULONG read = 0;
      if (stream->Read(png.data(), static_cast<ULONG>(png.size()), &read) != S_OK ||
          read != png.size())
        png.clear();
    }
  }
  if (stream) stream->Release();
  if (image) dispose(image);
  shutdown(token);
  return png;
}

}  // namespace

RandomPane::RandomPane(FormView& form, Window parent, void* font) : form_(form), font_(font) {
  RegisterClasses();
  HINSTANCE instance = GetModuleHandleA(nullptr);
  hwnd_ = CreateWindowExA(WS_EX_CONTROLPARENT, kPaneClass, "",
                          WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, 0, 0, 100, 100, H(parent),
                          nullptr, instance, this);
  if (!hwnd_) throw std::runtime_error("cannot create the random panel");
  auto make = [&](const char* cls, const char* text, DWORD style, int id, DWORD exStyle = 0) {
    HWND c =
        CreateWindowExA(exStyle, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 10, 10, H(hwnd_),
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
    if (!c) throw std::runtime_error("cannot create a control of the random panel");
    SendMessageA(c, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    return static_cast<Window>(c);
  };
  run_ = make("BUTTON", "Run", WS_TABSTOP | BS_PUSHBUTTON, kRunId);
  stop_ = make("BUTTON", "Stop", WS_TABSTOP | BS_PUSHBUTTON, kStopId);
  table_ = make(WC_LISTVIEWA, "",
                WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER,
                kTableId, WS_EX_CLIENTEDGE);
  progress_ = make("STATIC", "", SS_LEFT | SS_NOPREFIX, 0);
  bar_ = make(PROGRESS_CLASSA, "", 0, 0);
  chart_ = make(kChartClass, "", 0, 0);
  SendMessageA(H(bar_), PBM_SETRANGE32, 0, 1000);
  SendMessageA(H(table_), LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_GRIDLINES, LVS_EX_GRIDLINES);

  // Columns as wide as their names or a large figure, whichever is wider.
  HDC dc = GetDC(H(hwnd_));
  HGDIOBJ old = SelectObject(dc, static_cast<HFONT>(font_));
  TEXTMETRICA tm{};
  GetTextMetricsA(dc, &tm);
  lineHeight_ = tm.tmHeight;
  const int pad = TextWidth(dc, "00");
  std::vector<int> widths{TextWidth(dc, "RND4K Q32T1") + pad};
  for (int c = 0; c < RandomPanelModel::kColumns; ++c)
    widths.push_back(
        std::max(TextWidth(dc, RandomPanelModel::ColumnName(c)), TextWidth(dc, "9999999.9")) + pad);
  SelectObject(dc, old);
  ReleaseDC(H(hwnd_), dc);
  tableWidth_ = 8 + GetSystemMetrics(SM_CXEDGE) * 2;
  for (std::size_t c = 0; c < widths.size(); ++c) {
    std::string name = c == 0 ? "" : RandomPanelModel::ColumnName(static_cast<int>(c) - 1);
    LVCOLUMNA col{};
    col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
    col.fmt = c == 0 ? LVCFMT_LEFT : LVCFMT_RIGHT;
    col.cx = widths[c];
    col.pszText = name.data();
    SendMessageA(H(table_), LVM_INSERTCOLUMNA, c, reinterpret_cast<LPARAM>(&col));
    tableWidth_ += widths[c];
  }
  for (int r = 0; r < kProfileRowCount; ++r) {
    std::string name = RandomPanelModel::RowName(r);
    LVITEMA item{};
    item.mask = LVIF_TEXT;
    item.iItem = r;
    item.pszText = name.data();
    SendMessageA(H(table_), LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
  }
  RECT row{};
  row.left = LVIR_BOUNDS;
  SendMessageA(H(table_), LVM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&row));
  RECT header{};
  GetWindowRect(reinterpret_cast<HWND>(SendMessageA(H(table_), LVM_GETHEADER, 0, 0)), &header);
  tableHeight_ = (header.bottom - header.top) + kProfileRowCount * (row.bottom - row.top) + 4 +
                 GetSystemMetrics(SM_CYEDGE) * 2;
  Show();
}

RandomPane::~RandomPane() {
  if (hwnd_ && IsWindow(H(hwnd_))) {
    KillTimer(H(hwnd_), kPollTimer);
    SetWindowLongPtrA(H(hwnd_), GWLP_USERDATA, 0);
  }
}

void RandomPane::AddTips(Window tooltips) {
  static const char* const kRunTip =
      "Runs the standard table on the test file of the path field: SEQ1M Q8T1, SEQ1M Q1T1, "
      "RND4K Q32T1 and RND4K Q1T1, each read and then written for 5 s, past the file cache "
      "(FILE_FLAG_NO_BUFFERING). The file gets the Write run's size (the size field, in MB), "
      "written first where it is shorter, if the volume has room for it.";
  const std::pair<Window, const char*> tips[] = {
      {run_, kRunTip},
      {stop_, "Ends the run within a moment; the tests done so far stay in the table."},
      {table_, "Click a figure to see the latency of its test."},
      {chart_, "Right-click to save the histogram as PNG or SVG."}};
  for (const auto& [tool, text] : tips) {
    TTTOOLINFOA ti{};
    ti.cbSize = sizeof ti;
    ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    ti.hwnd = H(hwnd_);
    ti.uId = reinterpret_cast<UINT_PTR>(tool);
    ti.lpszText = const_cast<char*>(text);
    SendMessageA(H(tooltips), TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&ti));
  }
}

void RandomPane::Layout(int width, int height) {
  const int m = 8, bh = lineHeight_ * 7 / 4, bw = lineHeight_ * 6;
  MoveWindow(H(run_), m, m, bw, bh, TRUE);
  MoveWindow(H(stop_), m + bw + 6, m, bw, bh, TRUE);
  int y = m + bh + 6;
  MoveWindow(H(table_), m, y, tableWidth_, tableHeight_, TRUE);
  y += tableHeight_ + 6;
  MoveWindow(H(progress_), m, y, tableWidth_, lineHeight_ * 2, TRUE);
  y += lineHeight_ * 2 + 4;
  MoveWindow(H(bar_), m, y, tableWidth_, lineHeight_, TRUE);
  const int x = m + tableWidth_ + m;
  MoveWindow(H(chart_), x, m / 2, std::max(0, width - x - m), std::max(0, height - m), TRUE);
}

std::intptr_t RandomPane::PaneProc(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
  switch (message) {
    case WM_SIZE:
      Layout(LOWORD(lParam), HIWORD(lParam));
      return 0;
    case WM_COMMAND:
      if (HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == kRunId) Run();
      if (HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == kStopId) Stop();
      return 0;
    case WM_NOTIFY: {
      // A click on a figure shows its test's latency.
      const auto* n = reinterpret_cast<const NMHDR*>(lParam);
      if (n->hwndFrom == H(table_) && n->code == NM_CLICK) {
        LVHITTESTINFO hit{};
        hit.pt = reinterpret_cast<const NMITEMACTIVATE*>(lParam)->ptAction;
        SendMessageA(H(table_), LVM_SUBITEMHITTEST, 0, reinterpret_cast<LPARAM>(&hit));
        if (hit.iItem >= 0 && hit.iSubItem >= 1) {
          model_.Select(RandomPanelModel::JobOfCell(hit.iItem, hit.iSubItem - 1));
          InvalidateRect(H(chart_), nullptr, FALSE);
        }
      }
      return 0;
    }
    case WM_TIMER:
      if (wParam == kPollTimer) {
        if (model_.Poll()) Show();
        if (!model_.Running()) {
          KillTimer(H(hwnd_), kPollTimer);
          if (ended) ended();
        }
      }
      return 0;
    default:
      return DefWindowProcA(H(hwnd_), message, wParam, lParam);
  }
}

void RandomPane::Run() {
  model_.RunFor(form_, seconds);
  if (model_.Running()) SetTimer(H(hwnd_), kPollTimer, 100, nullptr);
  Show();
}

void RandomPane::Stop() {
  model_.Stop();
  Show();
}

void RandomPane::Show() {
  for (int r = 0; r < kProfileRowCount; ++r) {
    for (int c = 0; c < RandomPanelModel::kColumns; ++c) {
      std::string text = model_.Cell(r, c);
      LVITEMA item{};
      item.iSubItem = c + 1;
      item.pszText = text.data();
      SendMessageA(H(table_), LVM_SETITEMTEXTA, static_cast<WPARAM>(r),
                   reinterpret_cast<LPARAM>(&item));
    }
  }
  SetWindowTextA(H(progress_), model_.ProgressText().c_str());
  SendMessageA(H(bar_), PBM_SETPOS, static_cast<WPARAM>(std::lround(model_.Fraction() * 1000)), 0);
  // The focus leaves a button before it is disabled, so the keys still work.
  const bool running = model_.Running();
  if (running && GetFocus() == H(run_)) SetFocus(H(stop_));
  EnableWindow(H(run_), !running);
  if (model_.GetState() != RandomPanelModel::State::Running && GetFocus() == H(stop_))
    SetFocus(H(run_));
  EnableWindow(H(stop_), model_.GetState() == RandomPanelModel::State::Running);
  InvalidateRect(H(chart_), nullptr, FALSE);
}

chart::LatencyChart RandomPane::LatencyScene() const {
  RECT r{};
  GetClientRect(H(chart_), &r);
  HDC dc = GetDC(H(chart_));
  HGDIOBJ old = SelectObject(dc, static_cast<HFONT>(font_));
  TEXTMETRICA tm{};
  GetTextMetricsA(dc, &tm);
  const int job = model_.Shown();
  static const Histogram kEmpty;
  chart::LatencyChart c = chart::BuildLatencyChart(
      job < 0 ? kEmpty : model_.JobAt(job).latency, model_.ShownTitle(), r.right, r.bottom,
      tm.tmHeight - tm.tmInternalLeading,
      [dc](const std::string& text) { return static_cast<double>(TextWidth(dc, text)); });
  SelectObject(dc, old);
  ReleaseDC(H(chart_), dc);
  return c;
}

void RandomPane::PaintChart(void* target, int width, int height) const {
  HDC screen = static_cast<HDC>(target);
  // Drawn off the screen first, so that repaints do not flicker.
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, std::max(width, 1), std::max(height, 1));
  HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
  HGDIOBJ oldFont = SelectObject(dc, static_cast<HFONT>(font_));
  DrawScene(dc, LatencyScene().scene);
  BitBlt(screen, 0, 0, width, height, dc, 0, 0, SRCCOPY);
  SelectObject(dc, oldFont);
  SelectObject(dc, oldBitmap);
  DeleteObject(bitmap);
  DeleteDC(dc);
}

bool RandomPane::SavePng(const std::string& path, std::string* error) const {
  RECT r{};
  GetClientRect(H(chart_), &r);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = std::max<LONG>(r.right, 1);
  info.bmiHeader.biHeight = -std::max<LONG>(r.bottom, 1);
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HDC dc = CreateCompatibleDC(nullptr);
  HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  std::string png;
  if (bitmap) {
    HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
    HGDIOBJ oldFont = SelectObject(dc, static_cast<HFONT>(font_));
    DrawScene(dc, LatencyScene().scene);
    SelectObject(dc, oldFont);
    SelectObject(dc, oldBitmap);
    png = PngOf(bitmap);
    DeleteObject(bitmap);
  }
  DeleteDC(dc);
  if (png.empty()) {
    if (error) *error = path + ": the image could not be made (GDI+ is missing or failed)";
    return false;
  }
  return SaveBytes(path, form_.Text(Ctl::txtTestFile), png, error);
}

bool RandomPane::SaveSvg(const std::string& path, std::string* error) const {
  LOGFONTA lf{};
  GetObjectA(static_cast<HFONT>(font_), sizeof lf, &lf);
  return SaveBytes(path, form_.Text(Ctl::txtTestFile),
                   chart::SceneSvg(LatencyScene().scene, lf.lfFaceName), error);
}

void RandomPane::ChartMenu(int x, int y) {
  if (x == -1 && y == -1) {  // from the keyboard: at the chart's corner
    RECT r{};
    GetWindowRect(H(chart_), &r);
    x = r.left;
    y = r.top;
  }
  HMENU menu = CreatePopupMenu();
  AppendMenuA(menu, MF_STRING, 1, "Save as PNG...");
  AppendMenuA(menu, MF_STRING, 2, "Save as SVG...");
  const int chosen = static_cast<int>(
      TrackPopupMenu(menu, TPM_RETURNCMD | TPM_NONOTIFY, x, y, 0, H(hwnd_), nullptr));
  DestroyMenu(menu);
  if (chosen == 0) return;
  const bool asPng = chosen == 1;
  char file[MAX_PATH] = {};
  std::string_view(asPng ? "latency.png" : "latency.svg").copy(file, sizeof file - 1);
  OPENFILENAMEA ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = GetAncestor(H(hwnd_), GA_ROOT);
  ofn.lpstrFilter = asPng ? "PNG image (*.png)\0*.png\0" : "SVG image (*.svg)\0*.svg\0";
  ofn.lpstrFile = file;
  ofn.nMaxFile = sizeof file;
  ofn.lpstrTitle = "Save the latency histogram";
  ofn.lpstrDefExt = asPng ? "png" : "svg";
  ofn.Flags = OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY;
  if (!GetSaveFileNameA(&ofn)) return;
  std::string why;
  if (asPng ? SavePng(file, &why) : SaveSvg(file, &why)) return;
  const std::string text = "The histogram could not be saved.\r\n\r\n" + why;
  char caption[256] = {};
  GetWindowTextA(ofn.hwndOwner, caption, sizeof caption);
  MessageBoxA(ofn.hwndOwner, text.c_str(), caption, MB_OK | MB_ICONEXCLAMATION);
}
