// The bare system-call loop the create-and-delete test is measured against:
// open(O_CREAT|O_RDWR) + close for P.0000 ... then unlink of the same names.
// Around the loops the volume is synced and the loop sleeps 100 ms, as the
// test does, so that both time their calls on a file system in one state.
// Usage: bare_create_delete P N   prints ns per creation and per deletion.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s PATH N\n", argv[0]);
    return 2;
  }
  const std::string base = argv[1];
  const int n = std::stoi(argv[2]);
  std::vector<std::string> names;
  for (int i = 0; i < n; ++i) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%04d", i);
    names.push_back(base + suffix);
  }
  const std::string folder = base.substr(0, base.rfind('/') + 1);
  const int dir = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  auto settle = [&] {
    syncfs(dir);
    usleep(100000);
  };
  using Clock = std::chrono::steady_clock;
  settle();
  const auto t0 = Clock::now();
  for (const auto& name : names) {
    const int fd = open(name.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0) return 1;
    close(fd);
  }
  const auto t1 = Clock::now();
  settle();
  const auto t2 = Clock::now();
  for (const auto& name : names) unlink(name.c_str());
  const auto t3 = Clock::now();
  syncfs(dir);
  close(dir);
  auto ns = [&](auto a, auto b) {
    return std::chrono::duration<double, std::nano>(b - a).count() / n;
  };
  std::printf("{\"create_ns_per_file\": %.1f, \"delete_ns_per_file\": %.1f}\n", ns(t0, t1),
              ns(t2, t3));
  return 0;
}
