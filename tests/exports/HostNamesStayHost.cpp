// A host may define functions under names the kit uses inside itself: its own
// copy of a library the kit also carries, or a plain clash of names.  The kit
// must keep calling its own code.  Here the host defines the kit's internal
// console writer; the kit's status line must still reach stdout through the
// kit's writer, and the host's must never be called.
#include <pelk/Pelk.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace pelk::platform {
class Console {
 public:
  static void print(const std::string& line);
};
}  // namespace pelk::platform

namespace {
int hostCalls = 0;
}  // namespace

void pelk::platform::Console::print(const std::string&) { ++hostCalls; }

int main() {
  char path[] = "/tmp/pelk-host-names-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return 2;
  std::fflush(stdout);
  const int saved = dup(1);
  dup2(fd, 1);
  // Without a key the kit prints its "Data not found" status line.
  pelk::Pelk::initialize("");
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);

  std::string out;
  if (FILE* f = std::fopen(path, "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
    std::fclose(f);
  }
  close(fd);
  unlink(path);

  const bool kitPrinted = out.find("Data not found") != std::string::npos;
  std::printf("kit's line printed: %s; host's definition called %d time(s)\n", kitPrinted ? "yes" : "no", hostCalls);
  return kitPrinted && hostCalls == 0 ? 0 : 1;
}
