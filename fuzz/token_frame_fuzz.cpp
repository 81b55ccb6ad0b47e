// The token link's frame reader on any bytes the token's line may carry, through a
// pseudo-terminal as the token's serial port.
#include <chrono>
#include <cstdlib>
#include <memory>
#include <vector>

#include "pseudo_terminal.h"
#include "serial_port.h"

namespace {

struct Line {
  sim::PseudoTerminal pty;
  sim::ScopedPortMap map{{{7, pty.Path(), true}}};
  CSerialPort port{7};
  Line() { port.SetTimeouts(1); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Line* line = new Line;
  if (size == 0 || size > 1024) return 0;
  // The first byte: the reader's buffer size.
  const int max = 1 + data[0] % 80;
  line->port.PurgeInput();
  line->pty.Write(data + 1, size - 1);
  std::vector<uint8_t> buffer(size_t(max) + 1, 0xA5);
  for (int frame = 0; frame < 16; ++frame) {
    const int n = line->port.ReadFrame(buffer.data(), max);
    if (n < 0 || n >= max || buffer[size_t(max)] != 0xA5) std::abort();
    if (n == 0) break;
  }
  return 0;
}
