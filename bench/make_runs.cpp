// Makes a file of N separate runs for the status benchmark: BLOCK bytes
// allocated at every 2 x BLOCK, the rest holes. fallocate writes no data,
// so a million runs cost the file system's metadata only.
// Usage: make_runs FILE N [BLOCK]
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: %s FILE N [BLOCK]\n", argv[0]);
    return 2;
  }
  const long long n = std::stoll(argv[2]);
  const long long block = argc == 4 ? std::stoll(argv[3]) : 4096;
  const int fd = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::fprintf(stderr, "%s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  for (long long i = 0; i < n; ++i) {
    if (fallocate(fd, 0, i * 2 * block, block) != 0) {
      std::fprintf(stderr, "%s: run %lld: %s\n", argv[1], i, std::strerror(errno));
      close(fd);
      return 1;
    }
  }
  if (fsync(fd) != 0 || close(fd) != 0) {
    std::fprintf(stderr, "%s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  return 0;
}
