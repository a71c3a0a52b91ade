#include "win32/Win32Form.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

#include "form/frmMain.h"

// Last: its macros would rename the layer's own constants.
// windows.h first: the others build on it.
#include <windows.h>

#include <commctrl.h>
#include <commdlg.h>

namespace {

constexpr auto kFrame = std::chrono::milliseconds(16);
constexpr int kFirstId = 100;
constexpr const char* kClassName = "OrvandelMain";
// The client area in dialog units.
constexpr int kClientWidth = 440;
constexpr int kClientHeight = 160;

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
    {Ctl::picDataType, 0, 8, 144, 130, 12},
    {Ctl::optDataType, 0, 12, 145, 55, 10},
    {Ctl::optDataType, 1, 70, 145, 64, 10},
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
    {Ctl::fraWrite, 0, 2, 0, 436, 158},
};

// The separators: Line1(0), Line1(1) across the left column, Line2 down.
struct LinePlace {
  int x, y, w, h;
  bool vertical;
};
constexpr LinePlace kLines[] = {
    {8, 101, 130, 1, false}, {8, 140, 130, 1, false}, {310, 34, 1, 120, true}};

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
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
    return RegisterClassExA(&wc) != 0;
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

  constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  RECT r{0, 0, u.X(kClientWidth), u.Y(kClientHeight)};
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
  const auto table = DesignTable();
  // Creation order is the tab order: the order of the design table.
  for (std::size_t i = 0; i < table.size(); ++i) {
    const ControlDesign& d = table[i];
    const Place& p = PlaceOf(d.ctl, d.index);
    const char* cls = "STATIC";
    DWORD style = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
    DWORD exStyle = 0;
    const bool hasAccessKey = std::strchr(d.text, '&') != nullptr;
    switch (d.kind) {
      case CtlKind::TextBox:
        cls = "EDIT";
        style |= WS_TABSTOP | ES_AUTOHSCROLL;
        exStyle = WS_EX_CLIENTEDGE;
        break;
      case CtlKind::Label:
        style |= SS_LEFTNOWORDWRAP | (hasAccessKey ? 0 : SS_NOPREFIX);
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
    if (i > 0 && table[i - 1].kind == CtlKind::OptionButton && d.kind != CtlKind::OptionButton)
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
  }
  // The picture box and the frame lie behind the controls on them.
  SetWindowPos(H(Control(Ctl::picDataType)), HWND_BOTTOM, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  SetWindowPos(H(Control(Ctl::fraWrite)), HWND_BOTTOM, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  for (const auto& l : kLines) {
    HWND line = CreateWindowExA(
        0, "STATIC", "",
        WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | (l.vertical ? SS_ETCHEDVERT : SS_ETCHEDHORZ),
        u.X(l.x), u.Y(l.y), l.vertical ? 2 : u.X(l.w), l.vertical ? u.Y(l.h) : 2, H(hwnd_), nullptr,
        instance, nullptr);
    SetWindowPos(line, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }
  SetWindowPos(H(Control(Ctl::fraWrite)), HWND_BOTTOM, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
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

bool Win32Form::PreTranslate(void* msg) {
  return hwnd_ && IsDialogMessageA(H(hwnd_), static_cast<MSG*>(msg));
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
    if (PreTranslate(&msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
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
  const int answer = MessageBoxA(H(hwnd_), text.c_str(), Caption().c_str(), type);
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

void Win32Form::SetFocus(Ctl ctl, int index) { ::SetFocus(H(At(ctl, index).hwnd)); }

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
