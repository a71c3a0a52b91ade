// One Write or Read run through the window's button handler, with or
// without its timeline, for bench/timeline-cost; prints {"mb_per_s": ...}
// from the run's own record. Usage:
//   orvandel_timeline_cost write|read FILE MB SECTORS window|headless on|off|ROUNDS [PNG]
// "window" is the Qt window (off-screen unless QT_QPA_PLATFORM says
// otherwise) with its timeline panel shown when on; PNG saves the window
// with the panel after the run. ROUNDS (a number) runs that many rounds of
// one run with the timeline and one without, in alternating order, in this
// one process, and prints both medians and their ratio.
#include <QApplication>
#include <QPixmap>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "form/HeadlessForm.h"
#include "form/basBase.h"
#include "form/frmMain.h"
#include "qt/QtForm.h"

int main(int argc, char** argv) {
  if (argc < 7) {
    std::fprintf(stderr, "usage: %s write|read FILE MB SECTORS window|headless on|off [PNG]\n",
                 argv[0]);
    return 2;
  }
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  SubMain(nullptr);
  const bool writing = std::string(argv[1]) == "write";
  const bool inWindow = std::string(argv[5]) == "window";
  const bool on = std::string(argv[6]) == "on";
  std::unique_ptr<FormView> form;
  QtForm* qt = nullptr;
  if (inWindow)
    form.reset(qt = new QtForm);
  else
    form = std::make_unique<HeadlessForm>();
  frmMain window(*form);
  window.recordTimeline = on;
  if (qt) {
    qt->SetLogic(&window);
    qt->show();
    if (on) qt->ShowTimeline(true);
  }
  window.Form_Load("");
  QApplication::processEvents();
  form->SetText(Ctl::txtTestFile, 0, argv[2]);
  if (writing) form->SetText(Ctl::txtSize, 0, argv[3]);
  form->SetText(Ctl::txtBlockSizeSectors, 0, argv[4]);
  form->SetValue(Ctl::chkFlushAtFinish, 0, argc > 7 ? 1 : 0);
  form->SetValue(Ctl::chkFlushAtFinish, 1, argc > 7 ? 1 : 0);
  auto rate = [&](const ThroughputRecord& r) {
    return static_cast<double>(r.testSize) / 10000 / 1048576 / (r.elapsedNs / 1e9);
  };
  if (const int rounds = std::atoi(argv[6]); rounds > 0) {
    std::vector<double> with, without;
    for (int i = 0; i < rounds; ++i) {
      for (int k = 0; k < 2; ++k) {
        const bool record = (i + k) % 2 == 0;
        window.recordTimeline = record;
        if (qt) qt->ShowTimeline(record);
        window.cmdFileReadWrite_Click(writing ? 1 : 0);
        if (!window.LastRun().finished || window.LastRun().elapsedNs <= 0) return 1;
        (record ? with : without).push_back(rate(window.LastRun()));
      }
    }
    auto median = [](std::vector<double> v) {
      std::sort(v.begin(), v.end());
      return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    };
    std::printf("{\"with\": %.3f, \"without\": %.3f, \"ratio\": %.4f}\n", median(with),
                median(without), median(with) / median(without));
    return 0;
  }
  window.cmdFileReadWrite_Click(writing ? 1 : 0);
  const ThroughputRecord& r = window.LastRun();
  if (!r.finished || r.elapsedNs <= 0) return 1;
  if (qt && argc > 7) {
    QApplication::processEvents();
    if (!qt->grab().save(argv[7], "PNG")) return 1;
  }
  std::printf("{\"mb_per_s\": %.3f, \"slices\": %zu}\n", rate(r), r.timeline.slices.size());
  return 0;
}
