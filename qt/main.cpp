// orvandel: the window.
#include <QApplication>
#include <QBuffer>
#include <QFile>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <system_error>

#include "qt/QtForm.h"
#include "form/basBase.h"
#include "form/frmMain.h"
#include "fileio/basFiles.h"
#include "platform/os.h"

namespace {

constexpr const char* kUsage =
    "Usage: orvandel [OPTION]... [DIRECTORY]\n"
    "Measures how the file cache and the storage beneath it behave, in a window.\n"
    "The test file _Orvandel.$$$ goes into DIRECTORY, or into the current\n"
    "directory when none is given.\n"
    "\n"
    "  -h, --help            print this help and exit\n"
    "      --version         print the program's title and version and exit\n"
    "      --screenshot FILE save the window as an image a second after it\n"
    "                        appears, then close it\n"
    "\n"
    "Qt's own options (-platform NAME, -display DISPLAY, -style STYLE, ...) are\n"
    "taken too. The window needs a display; without one, orvandel-cli runs every\n"
    "test: 'orvandel-cli --help' lists its commands. 'man orvandel' tells more.\n";

// --help and --version answer before Qt looks for a display.
std::optional<int> AnswerWithoutDisplay(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) break;
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::cout << kUsage;
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      SubMain(nullptr);
      std::cout << gTitle << "\n";
      return 0;
    }
  }
  return std::nullopt;
}

// The window falls back to the current directory when the argument names no
// directory; the user hears why.
void ReportUnusedArgument(const std::string& argumentText) {
  if (argumentText.empty() ||
      os::runtime::InitialTestFile(argumentText) != os::runtime::InitialTestFile(""))
    return;
  std::error_code ec;
  const auto status = std::filesystem::status(argumentText, ec);
  std::string reason;
  if (ec) reason = ec.message();
  else if (!std::filesystem::is_directory(status)) reason = "not a directory";
  else return;
  std::cerr << "orvandel: " << argumentText << ": " << reason
            << "; the test file goes into the current directory\n";
}

}  // namespace

int main(int argc, char** argv) {
  os::runtime::KeepStandardStreams();
  if (const auto rc = AnswerWithoutDisplay(argc, argv)) return *rc;
  QApplication app(argc, argv);
  // A logout's termination request ends a running test cleanly first.
  os::runtime::CatchStopRequests();
  QGuiApplication::setDesktopFileName(ORVANDEL_APP_ID);
  // --screenshot FILE saves the shown window from the screen and closes it.
  QString screenshot;
  std::string argumentText;
  const QStringList args = QApplication::arguments();
  for (int i = 1; i < args.size(); ++i) {
    if (args[i] == "--screenshot" && i + 1 < args.size()) {
      screenshot = args[++i];
      // Checked as every output: refused before the window opens.
      const std::string path = QFile::encodeName(screenshot).toStdString();
      if (const std::string why = os::runtime::output::Refusal(path, ""); !why.empty()) {
        std::cerr << "orvandel: " << path << ": " << why << "; no screenshot is saved there\n";
        return 1;
      }
      continue;
    }
    if (args[i] == "--") continue;
    if (!argumentText.empty()) argumentText += ' ';
    argumentText += args[i].toStdString();
  }

  std::unique_ptr<QtForm> form;
  std::unique_ptr<frmMain> window;
  SubMain([&] {
    form = std::make_unique<QtForm>();
    QApplication::setWindowIcon(form->windowIcon());
    window = std::make_unique<frmMain>(*form);
    form->SetLogic(window.get());
    ReportUnusedArgument(argumentText);
    window->Form_Load(argumentText);
    form->show();
  });

  bool saved = true;
  if (!screenshot.isEmpty()) {
    QTimer::singleShot(1000, form.get(), [&] {
      const QPixmap shot = form->screen()->grabWindow(form->winId());
      QByteArray png;
      QBuffer buffer(&png);
      buffer.open(QIODevice::WriteOnly);
      os::runtime::output::Writer out;
      saved = !shot.isNull() && shot.save(&buffer, "PNG") &&
              out.Open(QFile::encodeName(screenshot).toStdString(), window->Form().Text(Ctl::txtTestFile)) &&
              out.Write(std::string_view(png.constData(), static_cast<std::size_t>(png.size()))) && out.Commit();
      if (!saved)
        std::cerr << "orvandel: cannot save the screenshot" << (out.Error().empty() ? "" : ": " + out.Error())
                  << "\n";
      form->close();
    });
  }
  const int rc = app.exec();
  window.reset();
  form.reset();
  // Closed by a stop request: the status a shell expects of that signal.
  if (const int sig = os::runtime::StopRequested(); sig != 0) return 128 + sig;
  return saved ? rc : 1;
}
