// The yardstick for the block loop: write(2) or read(2) of one buffer, block
// after block, on an existing file, timed from the first call to the last.
// Usage: orvandel_bare_block_loop write|read FILE BYTES BLOCK
// Prints {"mb_per_s": ...} with MB = 1,048,576 bytes.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s write|read FILE BYTES BLOCK\n", argv[0]);
    return 2;
  }
  const bool writing = std::strcmp(argv[1], "write") == 0;
  const long long bytes = std::atoll(argv[3]);
  const long block = std::atol(argv[4]);
  const int fd = open(argv[2], O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  void* buf = mmap(nullptr, static_cast<size_t>(block) + 4096, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (fd < 0 || buf == MAP_FAILED || block <= 0) return 1;
  mlock(buf, static_cast<size_t>(block) + 4096);
  const long long blocks = bytes / block;
  const auto t0 = std::chrono::steady_clock::now();
  for (long long i = 0; i < blocks; ++i) {
    const ssize_t n = writing ? write(fd, buf, static_cast<size_t>(block))
                              : read(fd, buf, static_cast<size_t>(block));
    if (n != block) return 1;
  }
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  close(fd);
  std::printf("{\"mb_per_s\": %.3f}\n", static_cast<double>(blocks * block) / 1048576 / s);
  return 0;
}
