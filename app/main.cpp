// orvandel: the window.
#include <QApplication>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include <iostream>
#include <memory>

#include "app/QtForm.h"
#include "app/basBase.h"
#include "app/frmMain.h"
#include "platform/os.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  // A logout's termination request ends a running test cleanly first.
  os::runtime::CatchStopRequests();
  // --screenshot FILE saves the shown window from the screen and closes it.
  QString screenshot;
  std::string argumentText;
  const QStringList args = QApplication::arguments();
  for (int i = 1; i < args.size(); ++i) {
    if (args[i] == "--screenshot" && i + 1 < args.size()) {
      screenshot = args[++i];
      continue;
    }
    if (!argumentText.empty()) argumentText += ' ';
    argumentText += args[i].toStdString();
  }

  std::unique_ptr<QtForm> form;
  std::unique_ptr<frmMain> window;
  SubMain([&] {
    form = std::make_unique<QtForm>();
    window = std::make_unique<frmMain>(*form);
    form->SetLogic(window.get());
    window->Form_Load(argumentText);
    form->show();
  });

  bool saved = true;
  if (!screenshot.isEmpty()) {
    QTimer::singleShot(1000, form.get(), [&] {
      const QPixmap shot = form->screen()->grabWindow(form->winId());
      saved = !shot.isNull() && shot.save(screenshot);
      if (!saved) std::cerr << "orvandel: cannot save the screenshot\n";
      form->close();
    });
  }
  const int rc = app.exec();
  window.reset();
  form.reset();
  return saved ? rc : 1;
}
