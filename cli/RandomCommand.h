// The random and profile commands: random-order transfers at a queue
// depth, and the standard table of sequential and random rows.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace CLI {
class App;
}

class RandomCommands {
 public:
  // Adds both subcommands to app; file is the default test file.
  RandomCommands(CLI::App& app, const std::string& file);
  ~RandomCommands();
  // The exit status of the command run, or nullopt when app parsed another.
  std::optional<int> Run();

  struct Options;

 private:
  std::unique_ptr<Options> o_;
};
