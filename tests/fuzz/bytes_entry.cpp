#include "tests/fuzz/bytes_entry.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "apps/analyse/block_cycle.h"

namespace quorvane {

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

std::size_t AnalyseBytes(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool raw = (data[0] & 1) != 0;
  ++data;
  --size;
  Descriptor file;
  file.fd = memfd_create("quorvane-input", 0);
  if (file.fd < 0 || write(file.fd, data, size) != static_cast<ssize_t>(size)) return 0;
  lseek(file.fd, 0, SEEK_SET);

  std::unique_ptr<std::FILE, FileCloser> stream;
  std::unique_ptr<SoundInput> input;
  std::size_t blocks = 0;
  try {
    if (raw) {
      stream.reset(fdopen(dup(file.fd), "rb"));
      if (!stream) return 0;
      input = SoundInput::OpenRaw(stream.get(), "standard input");
    } else {
      input = SoundInput::OpenFile("/proc/self/fd/" + std::to_string(file.fd));
    }
    BlockCycle cycle(*input);
    HeadlessControls controls;
    Analyser analyser(controls.Controls());
    cycle.Run(analyser, 30, 1, [&blocks](std::int64_t, std::optional<double>) { ++blocks; });
  } catch (const SoundInputError&) {
    // Refused with a message, as the command would.
  }
  return blocks;
}

}  // namespace quorvane
