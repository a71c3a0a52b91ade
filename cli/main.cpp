// orvandel-cli: the window's handlers without the window.
#include <CLI/CLI.hpp>

#include <iostream>

#include "app/basBase.h"

namespace {

constexpr int kUsageError = 2;

}  // namespace

int main(int argc, char** argv) {
  SubMain(nullptr);
  CLI::App app{gTitle + " - measures the file cache and the storage beneath it", "orvandel-cli"};
  app.set_version_flag("--version", gTitle, "Print the program's title and version");
  app.require_subcommand(0, 1);
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);  // --help, --version
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kUsageError;
  }
  if (argc == 1) std::cout << app.help();
  return 0;
}
