// A job is joined through orvandel-mpi.so, opened only here: the programs do
// not carry MPI's libraries, whose loading would cost every other run a few
// milliseconds before it begins.
#include <dlfcn.h>

#include <filesystem>
#include <system_error>

#include "platform/cluster.h"
#include "platform/cluster_module.h"
#include "platform/os.h"

namespace os::cluster {

namespace {

namespace fs = std::filesystem;

// MPI starts once in a process, so a process joins one job at most.
const Module* loaded = nullptr;

const Module* Load(std::string& error) {
  if (loaded) return loaded;
  const fs::path exe = runtime::ExecutablePath();
  if (exe.empty()) {
    error = "cannot find the MPI module: the program's own path is unknown";
    return nullptr;
  }
  // Beside the program in the build tree; installed, in a folder of its own
  // under the prefix.
  const fs::path beside = exe.parent_path() / kModuleFile;
  const fs::path installed =
      (exe.parent_path() / ORVANDEL_MPI_MODULE_DIR / kModuleFile).lexically_normal();
  std::error_code ec;
  const bool besideExists = fs::exists(beside, ec);
  const fs::path& path = besideExists ? beside : installed;
  // Open MPI built with plugins not linked against its libraries finds
  // MPI's symbols in the global scope; the module itself exports only its
  // entry.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (!handle) {
    error = std::string("cannot load the MPI module: ") + dlerror();
    if (!besideExists && !fs::exists(installed, ec))
      error += " (nor is it beside the program, in " + beside.string() + ")";
    return nullptr;
  }
  const auto entry = reinterpret_cast<ModuleEntry>(dlsym(handle, kModuleEntry));
  const Module* module = entry ? entry() : nullptr;
  if (!module || module->version != kModuleVersion) {
    error = "the MPI module " + path.string() + " belongs to another build of the program";
    dlclose(handle);
    return nullptr;
  }
  return loaded = module;
}

}  // namespace

bool Available() { return true; }

std::unique_ptr<Job> Job::Join(std::string& error) {
  const Module* module = Load(error);
  if (!module) return nullptr;
  Joined joined;
  if (!module->join(&runtime::ClockNs, joined, error)) return nullptr;
  std::unique_ptr<Job> job(new Job);
  job->rank_ = joined.rank;
  job->size_ = joined.size;
  job->host_ = std::move(joined.host);
  job->offsetNs_ = joined.offsetNs;
  return job;
}

// Only Join makes a job, and only once the module is loaded.
Job::~Job() { loaded->finalize(); }

bool Job::AllOk(bool ok) { return loaded->allOk(ok); }

bool Job::AllSame(std::uint64_t value) { return loaded->allSame(value); }

std::vector<std::string> Job::Gather(const std::string& mine) {
  return loaded->gather(rank_, size_, mine);
}

}  // namespace os::cluster
