// The seal's replies to the commands that need no crypto service (the challenge and the
// erase command), each a well-framed payload of any content.
#include <cstdlib>
#include <cstring>

#include "fuzz_port.h"
#include "seal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size - 1 > MaxFramePayload) return 0;
  const uint32_t serial = 4321;
  // The first byte: which command, and whether the reader addresses the seal or any seal.
  const bool erase = data[0] & 1, anySeal = data[0] & 2;
  FuzzPort port(FuzzPort::Frame(serial, data + 1, size - 1));
  TSeal seal(anySeal ? 0 : serial);
  SealErrorCode e = erase ? seal.EraseKeyset(port) : seal.Initialize(port);
  const TSealFields f = seal.Snapshot();
  if (e == 0 && !erase && f.firmware.empty()) std::abort();  // a taken challenge names its firmware
  return 0;
}
