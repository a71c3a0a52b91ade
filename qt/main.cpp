// orvandel: the window.
#include <QApplication>
#include <QBuffer>
#include <QFile>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <system_error>

#include "fileio/basFiles.h"
#include "form/basBase.h"
#include "form/frmMain.h"
#include "platform/os.h"
#include "qt/QtForm.h"

namespace {

constexpr const char* kUsage =
    "Usage: orvandel [OPTION]... [DIRECTORY]\n"
    "Measures how the file cache and the storage beneath it behave, in a window.\n"
    "The test file _Orvandel.$$$ goes into DIRECTORY, or into the current\n"
    "directory when none is given; a DIRECTORY whose name begins with '-'\n"
    "follows '--'. An option that is neither below nor Qt's is an error (exit 2).\n"
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

// Qt's own options, taken with one dash or two; those of the first list
// take the next argument as their value, unless it follows an '='.
constexpr const char* kQtOptionsWithValue[] = {"platform",
                                               "platformpluginpath",
                                               "platformtheme",
                                               "plugin",
                                               "qwindowgeometry",
                                               "geometry",
                                               "qwindowicon",
                                               "icon",
                                               "qwindowtitle",
                                               "title",
                                               "session",
                                               "display",
                                               "style",
                                               "stylesheet",
                                               "name",
                                               "visual",
                                               "qmljsdebugger",
                                               "dialogs",
                                               "fontengine"};
constexpr const char* kQtFlags[] = {"reverse", "widgetcount", "nograb",
                                    "dograb",  "sync",        "testability"};

// An option neither Qt nor the window knows would otherwise be taken for a
// folder's name: the user hears which one, before any display is needed.
// "" when every option is known, else the one-line complaint.
std::string UnknownOption(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") break;
    if (arg.size() < 2 || arg[0] != '-') continue;
    if (arg == "--screenshot") {
      if (i + 1 == argc) return "--screenshot needs the FILE to save the window in";
      ++i;
      continue;
    }
    const std::string name =
        arg.substr(arg[1] == '-' ? 2 : 1, arg.find('=') - (arg[1] == '-' ? 2 : 1));
    const bool withValue =
        std::any_of(std::begin(kQtOptionsWithValue), std::end(kQtOptionsWithValue),
                    [&](const char* o) { return name == o; });
    const bool flag = std::any_of(std::begin(kQtFlags), std::end(kQtFlags),
                                  [&](const char* o) { return name == o; });
    if (withValue && arg.find('=') == std::string::npos) {
      if (i + 1 == argc) return arg + " needs a value";
      ++i;
    } else if (!withValue && !flag) {
      return "unknown option '" + arg + "'; 'orvandel --help' lists the options, and " +
             "'orvandel -- " + arg + "' names a folder";
    }
  }
  return "";
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
  if (ec)
    reason = ec.message();
  else if (!std::filesystem::is_directory(status))
    reason = "not a directory";
  else
    return;
  std::cerr << "orvandel: " << argumentText << ": " << reason
            << "; the test file goes into the current directory\n";
}

// Qt ends the process when its platform cannot start; the platform is
// looked at first, as Qt would choose it, so that the user hears what to
// use instead. "" when the window can start, else what is missing.
std::string MissingDisplay(int argc, char** argv) {
  std::string platform, display;
  if (const char* p = std::getenv("QT_QPA_PLATFORM")) platform = p;
  if (const char* d = std::getenv("DISPLAY")) display = d;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) break;
    // Qt takes its options with one dash or two.
    const char* option = argv[i][0] == '-' && argv[i][1] == '-' ? argv[i] + 1 : argv[i];
    if (std::strcmp(option, "-platform") == 0) platform = argv[i + 1];
    if (std::strcmp(option, "-display") == 0) display = argv[i + 1];
  }
  // Wayland clients fall back to the socket wayland-0 when none is named.
  const char* waylandName = std::getenv("WAYLAND_DISPLAY");
  const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
  std::error_code ec;
  const bool wayland = (waylandName && *waylandName) ||
                       (runtimeDir && *runtimeDir &&
                        std::filesystem::exists(std::string(runtimeDir) + "/wayland-0", ec));
  auto x11 = [&] { return !display.empty() && os::runtime::DisplayReachable(display); };
  // Each of a list of platforms is tried in turn; one that starts is enough.
  const char* session = std::getenv("XDG_SESSION_TYPE");
  const bool waylandSession = session && std::strcmp(session, "wayland") == 0;
  std::string candidates = !platform.empty() ? platform : waylandSession ? "wayland;xcb" : "xcb";
  for (std::size_t at = 0; at <= candidates.size();) {
    const std::size_t end = std::min(candidates.find(';', at), candidates.size());
    const std::string name = candidates.substr(at, std::min(candidates.find(':', at), end) - at);
    at = end + 1;
    if (name == "xcb") {
      if (x11()) return "";
    } else if (name.rfind("wayland", 0) == 0) {
      if (wayland) return "";
    } else if (!name.empty()) {
      return "";  // offscreen, vnc, eglfs...: nothing to check beforehand
    }
  }
  if (!display.empty()) return "the display " + display + " does not answer";
  return "no display is set (DISPLAY and WAYLAND_DISPLAY are empty)";
}

}  // namespace

int main(int argc, char** argv) {
  os::runtime::KeepStandardStreams();
  if (const auto rc = AnswerWithoutDisplay(argc, argv)) return *rc;
  if (const std::string why = UnknownOption(argc, argv); !why.empty()) {
    std::cerr << "orvandel: " << why << "\n";
    return 2;
  }
  if (const std::string why = MissingDisplay(argc, argv); !why.empty()) {
    std::cerr << "orvandel: cannot open the window: " << why
              << "; orvandel-cli runs every test without one\n";
    return 1;
  }
  QApplication app(argc, argv);
  // A logout's termination request ends a running test cleanly first.
  os::runtime::CatchStopRequests();
  QGuiApplication::setDesktopFileName(ORVANDEL_APP_ID);
  // --screenshot FILE saves the shown window from the screen and closes it.
  // Names are bytes: QApplication has taken its own options out of argv,
  // and what is left is read unconverted, so that a folder whose name is
  // not UTF-8 is still found.
  std::string screenshot;
  std::string argumentText;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--screenshot" && i + 1 < argc) {
      const std::string file = argv[++i];
      // Checked as every output: refused before the window opens.
      if (const std::string why = os::runtime::output::Refusal(file, ""); !why.empty()) {
        std::cerr << "orvandel: " << file << ": " << why << "; no screenshot is saved there\n";
        return 1;
      }
      screenshot = file;
      continue;
    }
    if (arg == "--") continue;
    if (!argumentText.empty()) argumentText += ' ';
    argumentText += arg;
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
  if (!screenshot.empty()) {
    QTimer::singleShot(1000, form.get(), [&] {
      const QPixmap shot = form->screen()->grabWindow(form->winId());
      QByteArray png;
      QBuffer buffer(&png);
      buffer.open(QIODevice::WriteOnly);
      os::runtime::output::Writer out;
      saved = !shot.isNull() && shot.save(&buffer, "PNG") &&
              out.Open(screenshot, window->Form().Text(Ctl::txtTestFile)) &&
              out.Write(std::string_view(png.constData(), static_cast<std::size_t>(png.size()))) &&
              out.Commit();
      if (!saved)
        std::cerr << "orvandel: cannot save the screenshot"
                  << (out.Error().empty() ? "" : ": " + out.Error()) << "\n";
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
