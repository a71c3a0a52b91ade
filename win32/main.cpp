// orvandel.exe: the window.
#include <memory>
#include <string>

#include "form/basBase.h"
#include "form/frmMain.h"
#include "win32/Win32Form.h"

#include <windows.h>

namespace {

// The command line after the program's name, quoted or not.
std::string ArgumentText() {
  const char* p = GetCommandLineA();
  if (*p == '"') {
    ++p;
    while (*p && *p != '"') ++p;
    if (*p) ++p;
  } else {
    while (*p && *p != ' ' && *p != '\t') ++p;
  }
  while (*p == ' ' || *p == '\t') ++p;
  // A folder with spaces comes quoted; the quotes are no part of its name.
  std::string text = p;
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    text.pop_back();
    text.erase(0, 1);
  }
  return text;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int show) {
  std::unique_ptr<Win32Form> form;
  std::unique_ptr<frmMain> window;
  SubMain([&] {
    form = std::make_unique<Win32Form>();
    window = std::make_unique<frmMain>(*form);
    form->SetLogic(window.get());
    window->Form_Load(ArgumentText());
    ShowWindow(static_cast<HWND>(form->Handle()), show);
    UpdateWindow(static_cast<HWND>(form->Handle()));
  });
  const int rc = form ? Win32Form::RunMessageLoop(*form) : 1;
  window.reset();
  form.reset();
  return rc;
}
