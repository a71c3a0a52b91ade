// Between the program and orvandel-mpi.so, the module that alone links MPI:
// the program opens it only to join a job, so that no other run pays for
// loading MPI. Both come from one build; the version guards against a module
// left from another.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace os::cluster {

inline constexpr int kModuleVersion = 1;
inline constexpr const char* kModuleFile = "orvandel-mpi.so";
inline constexpr const char* kModuleEntry = "orvandel_cluster_module";

struct Joined {
  int rank = 0, size = 1;
  std::string host;
  std::int64_t offsetNs = 0;
};

struct Module {
  int version;
  // False, with the reason, when MPI cannot start. The clock is the
  // program's, so that offsets are on the clock its records use.
  bool (*join)(std::int64_t (*clockNs)(), Joined& joined, std::string& error);
  void (*finalize)();
  bool (*allOk)(bool ok);
  bool (*allSame)(std::uint64_t value);
  std::vector<std::string> (*gather)(int rank, int size, const std::string& mine);
};

using ModuleEntry = const Module* (*)();

}  // namespace os::cluster
