// The yardstick for depth 1: pread(2) of one block at random block offsets,
// one after another, for a number of seconds.
// Usage: orvandel_bare_random_pread FILE BLOCK SECONDS direct|cached
// Prints {"iops": ...}.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s FILE BLOCK SECONDS direct|cached\n", argv[0]);
    return 2;
  }
  const long block = std::atol(argv[2]);
  const double seconds = std::atof(argv[3]);
  const int flags = O_RDONLY | O_CLOEXEC | (std::strcmp(argv[4], "direct") == 0 ? O_DIRECT : 0);
  const int fd = open(argv[1], flags);
  struct stat st {};
  void* buf = mmap(nullptr, static_cast<size_t>(block), PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (fd < 0 || fstat(fd, &st) != 0 || buf == MAP_FAILED || block <= 0) return 1;
  const std::uint64_t blocks = static_cast<std::uint64_t>(st.st_size) / block;
  std::uint64_t x = 88172645463325252ULL, n = 0;
  const auto t0 = std::chrono::steady_clock::now();
  const auto end = t0 + std::chrono::duration<double>(seconds);
  auto now = t0;
  while (now < end) {
    for (int i = 0; i < 64; ++i, ++n) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      if (pread(fd, buf, static_cast<size_t>(block), static_cast<off_t>(x % blocks * block)) !=
          block)
        return 1;
    }
    now = std::chrono::steady_clock::now();
  }
  const double s = std::chrono::duration<double>(now - t0).count();
  std::printf("{\"iops\": %.1f}\n", static_cast<double>(n) / s);
  return 0;
}
