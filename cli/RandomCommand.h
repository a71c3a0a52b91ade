// The random and profile commands: random-order transfers at a queue
// depth, and the standard table of sequential and random rows.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace CLI {
class App;
}
class RankJob;
struct JobOptions;

class RandomCommands {
 public:
  // Adds both subcommands to app; file is the default test file.
  RandomCommands(CLI::App& app, const std::string& file);
  ~RandomCommands();
  // The exit status of the command run, or nullopt when app parsed another;
  // with a job, the random command runs as one of its ranks.
  std::optional<int> Run(RankJob* job);
  // The random command's job options when app parsed it, else nullptr.
  JobOptions* Job();
  bool Json() const;

  struct Options;

 private:
  std::unique_ptr<Options> o_;
};
