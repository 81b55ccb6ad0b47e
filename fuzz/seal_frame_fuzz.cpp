// The seal link's frame decoder on any bytes a line may carry.
#include <cstdlib>

#include "fuzz_port.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte says which sender the reader waits for: any seal or seal 1.
  FuzzPort port(std::vector<uint8_t>(data + 1, data + size));
  for (int frame = 0; frame < 64; ++frame) {
    uint32_t sender = data[0] & 1;
    uint8_t payload[MaxFramePayload];
    uint16_t n = 0xFFFF;
    SealErrorCode e = port.ReceiveFrame(sender, payload, n);
    if (e == SealError::ReceiveTimeout) break;
    if (e == 0 && n > MaxFramePayload) std::abort();
  }
  return 0;
}
