// Whether a launcher started this process as a rank, asked of the
// environment it leaves, with or without MPI in this build: a build without
// it refuses to run a job rather than let every rank write one file.
#include <cstdlib>

#include "platform/cluster.h"

namespace os::cluster {

bool LaunchedAsRank() {
  // Open MPI's mpirun, PMIx (Open MPI, srun --mpi=pmix), PMI (srun
  // --mpi=pmi2, MPICH's and MS-MPI's launchers).
  for (const char* name : {"OMPI_COMM_WORLD_SIZE", "PMIX_RANK", "PMI_RANK", "PMI_SIZE"})
    if (std::getenv(name)) return true;
  return false;
}

int LauncherRank() {
  for (const char* name : {"OMPI_COMM_WORLD_RANK", "PMIX_RANK", "PMI_RANK"})
    if (const char* value = std::getenv(name)) return std::atoi(value);
  return -1;
}

}  // namespace os::cluster
