// The job through MPI, built as the module orvandel-mpi.so. Only the
// calling thread talks to MPI; the random test's own threads never do.
#include <mpi.h>

#include <algorithm>
#include <limits>

#include "platform/cluster_module.h"

namespace os::cluster {

namespace {

constexpr int kClockTag = 71;
constexpr int kClockRounds = 12;

// This rank's clock minus rank 0's, from the round trip that took least:
// the reply was read at the middle of it, within half of it.
std::int64_t MeasureOffset(std::int64_t (*clockNs)(), int rank, int size) {
  std::int64_t offset = 0;
  for (int peer = 1; peer < size; ++peer) {
    if (rank != 0 && rank != peer) continue;
    std::int64_t best = std::numeric_limits<std::int64_t>::max();
    for (int round = 0; round < kClockRounds; ++round) {
      std::int64_t t = 0;
      if (rank == 0) {
        MPI_Recv(&t, 1, MPI_INT64_T, peer, kClockTag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        t = clockNs();
        MPI_Send(&t, 1, MPI_INT64_T, peer, kClockTag, MPI_COMM_WORLD);
      } else {
        const std::int64_t sent = clockNs();
        MPI_Send(&sent, 1, MPI_INT64_T, 0, kClockTag, MPI_COMM_WORLD);
        MPI_Recv(&t, 1, MPI_INT64_T, 0, kClockTag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        const std::int64_t back = clockNs();
        if (back - sent < best) {
          best = back - sent;
          offset = sent + (back - sent) / 2 - t;
        }
      }
    }
  }
  return offset;
}

bool Join(std::int64_t (*clockNs)(), Joined& joined, std::string& error) {
  int provided = 0;
  // Errors end the program with a message rather than leave the others at
  // a barrier.
  if (MPI_Init_thread(nullptr, nullptr, MPI_THREAD_FUNNELED, &provided) != MPI_SUCCESS) {
    error = "MPI could not start";
    return false;
  }
  MPI_Comm_rank(MPI_COMM_WORLD, &joined.rank);
  MPI_Comm_size(MPI_COMM_WORLD, &joined.size);
  char name[MPI_MAX_PROCESSOR_NAME] = {};
  int length = 0;
  MPI_Get_processor_name(name, &length);
  joined.host.assign(name, static_cast<std::size_t>(std::max(length, 0)));
  joined.offsetNs = MeasureOffset(clockNs, joined.rank, joined.size);
  return true;
}

void Finalize() { MPI_Finalize(); }

bool AllOk(bool ok) {
  int mine = ok ? 1 : 0, all = 0;
  MPI_Allreduce(&mine, &all, 1, MPI_INT, MPI_LAND, MPI_COMM_WORLD);
  return all != 0;
}

bool AllSame(std::uint64_t value) {
  std::uint64_t low = 0, high = 0;
  MPI_Allreduce(&value, &low, 1, MPI_UINT64_T, MPI_MIN, MPI_COMM_WORLD);
  MPI_Allreduce(&value, &high, 1, MPI_UINT64_T, MPI_MAX, MPI_COMM_WORLD);
  return low == high;
}

std::vector<std::string> Gather(int rank, int size, const std::string& mine) {
  const int length = static_cast<int>(mine.size());
  std::vector<int> lengths(rank == 0 ? static_cast<std::size_t>(size) : 0);
  MPI_Gather(&length, 1, MPI_INT, lengths.data(), 1, MPI_INT, 0, MPI_COMM_WORLD);
  std::vector<int> starts(lengths.size());
  std::string all;
  if (rank == 0) {
    long long total = 0;
    for (std::size_t i = 0; i < lengths.size(); ++i) {
      starts[i] = static_cast<int>(total);
      total += lengths[i];
    }
    all.resize(static_cast<std::size_t>(total));
  }
  MPI_Gatherv(mine.data(), length, MPI_CHAR, all.data(), lengths.data(), starts.data(), MPI_CHAR, 0,
              MPI_COMM_WORLD);
  std::vector<std::string> out;
  for (std::size_t i = 0; i < lengths.size(); ++i)
    out.push_back(
        all.substr(static_cast<std::size_t>(starts[i]), static_cast<std::size_t>(lengths[i])));
  return out;
}

constexpr Module kModule = {kModuleVersion, Join, Finalize, AllOk, AllSame, Gather};

}  // namespace

}  // namespace os::cluster

extern "C" __attribute__((visibility("default"))) const os::cluster::Module*
orvandel_cluster_module() {
  return &os::cluster::kModule;
}
