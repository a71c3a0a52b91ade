// What the window costs a run per block, and what one refresh of the test
// file's status costs. Usage: orvandel_window_cost [FILE [REFRESHES]]
// (REFRESHES 1 measures a refresh that finds nothing remembered.)
// With --run write|read FILE MB SECTORS: one run through the window's button
// handler, printed as {"mb_per_s": ...} from the run's own record.
// Runs off-screen unless QT_QPA_PLATFORM says otherwise.
#include <QApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "form/basBase.h"
#include "form/frmMain.h"
#include "qt/QtForm.h"

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

  if (argc == 6 && std::string(argv[1]) == "--run") {
    const bool writing = std::string(argv[2]) == "write";
    form.SetText(Ctl::txtTestFile, 0, argv[3]);
    form.SetText(Ctl::txtSize, 0, argv[4]);
    form.SetText(Ctl::txtBlockSizeSectors, 0, argv[5]);
    form.SetValue(Ctl::chkFlushAtFinish, 0, 0);
    form.SetValue(Ctl::chkFlushAtFinish, 1, 0);
    window.cmdFileReadWrite_Click(writing ? 1 : 0);
    const ThroughputRecord& r = window.LastRun();
    if (!r.finished || r.elapsedNs <= 0) return 1;
    std::printf("{\"mb_per_s\": %.3f}\n",
                static_cast<double>(r.testSize) / 10000 / 1048576 / (r.elapsedNs / 1e9));
    return 0;
  }

  // The block loop's window work: progress caption, repaint, messages.
  constexpr int kBlocks = 100000;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kBlocks; ++i) {
    form.SetText(Ctl::lblReadStatus, 0, " " + std::to_string(i * 100LL / kBlocks) + "%");
    form.Refresh(Ctl::lblReadStatus, 0);
    form.DoEvents();
  }
  const double perBlock = Seconds(start) / kBlocks;
  std::printf("per block: caption + repaint + messages: %.3f us (%d repaints)\n", perBlock * 1e6,
              form.Repaints());

  if (argc > 1) {
    // Typing the name is the first refresh: the one that finds nothing
    // remembered about the file.
    const int refreshes = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
    start = std::chrono::steady_clock::now();
    form.SetText(Ctl::txtTestFile, 0, argv[1]);
    for (int i = 1; i < refreshes; ++i) window.txtTestFile_Change();
    std::printf("one refresh of %s: %.3f ms; status: %s\n", argv[1],
                Seconds(start) / refreshes * 1e3, form.Text(Ctl::lblReadStatus, 4).c_str());
  }
  return 0;
}
