// What the window costs a run per block, and what one refresh of the test
// file's status costs. Usage: orvandel_window_cost [FILE [REFRESHES]]
// (REFRESHES 1 measures a refresh that finds nothing remembered.)
// Runs off-screen unless QT_QPA_PLATFORM says otherwise.
#include <QApplication>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <string>

#include "app/QtForm.h"
#include "app/basBase.h"
#include "app/frmMain.h"

namespace {
double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}
}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  SubMain(nullptr);
  QtForm form;
  frmMain window(form);
  form.SetLogic(&window);
  window.Form_Load("");
  form.show();
  QApplication::processEvents();

  // The block loop's window work: progress caption, repaint, messages.
  constexpr int kBlocks = 100000;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kBlocks; ++i) {
    form.SetText(Ctl::lblReadStatus, 0, " " + std::to_string(i * 100LL / kBlocks) + "%");
    form.Refresh(Ctl::lblReadStatus, 0);
    form.DoEvents();
  }
  const double perBlock = Seconds(start) / kBlocks;
  std::printf("per block: caption + repaint + messages: %.3f us (%d repaints)\n", perBlock * 1e6, form.Repaints());

  if (argc > 1) {
    // Typing the name is the first refresh: the one that finds nothing
    // remembered about the file.
    const int refreshes = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
    start = std::chrono::steady_clock::now();
    form.SetText(Ctl::txtTestFile, 0, argv[1]);
    for (int i = 1; i < refreshes; ++i) window.txtTestFile_Change();
    std::printf("one refresh of %s: %.3f ms; status: %s\n", argv[1], Seconds(start) / refreshes * 1e3,
                form.Text(Ctl::lblReadStatus, 4).c_str());
  }
  return 0;
}
