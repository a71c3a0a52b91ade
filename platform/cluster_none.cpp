// Built without MPI: every process runs alone.
#include "platform/cluster.h"

namespace os::cluster {

bool Available() { return false; }

std::unique_ptr<Job> Job::Join(std::string& error) {
  error = "this build of the program has no MPI";
  return nullptr;
}
Job::~Job() = default;
bool Job::AllOk(bool ok) { return ok; }
bool Job::AllSame(std::uint64_t) { return true; }
std::vector<std::string> Job::Gather(const std::string& mine) { return {mine}; }

}  // namespace os::cluster
