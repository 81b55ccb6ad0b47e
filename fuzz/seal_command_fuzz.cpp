// The seal's replies to the commands that need the crypto service, on a session opened
// by a challenge, with a crypto object in this process that answers at once.
//   byte 0: bit 0 any seal; bits 1-7 the first command
//   byte 1: the second command (the first one's aftermath: a held key-set, a new chain)
//   byte 2: the page or option of both commands
//   then frames' payloads, each behind its length byte; the first is the challenge's reply.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_crypto.h"
#include "fuzz_port.h"
#include "seal.h"

namespace {

constexpr uint32_t Serial = 4321;

SealErrorCode Run(int command, uint8_t option, TSeal& seal, TPort& port, TCryptoToken& token) {
  uint8_t raw[StatusRecordSize] = {}, plain[StatusRecordSize] = {};
  std::string authenticity = "unset";
  switch (command % 10) {
    case 0: return seal.Logon(port, token, option, uint16_t(option << 8));
    case 1: return seal.Logoff(port, token);
    case 2: return seal.GetStatus(port, token, raw, plain);
    case 3: return seal.SetTime(port, token, SealEpoch + option);
    case 4: return seal.GetLogInfo(port, token, plain);
    case 5: {
      SealErrorCode e = seal.ReadLogPage(port, token, option, raw, plain, authenticity);
      if (e == 0 && authenticity != AuthenticText && authenticity != NotAuthenticText && !authenticity.empty())
        std::abort();
      return e;
    }
    case 6: return seal.CreateKeyset(port, token, option);
    case 7: return seal.WritePadPage(port, token, option, plain);
    case 8: return seal.ReadPadPage(port, token, option, raw, plain);
    default: return seal.EraseKeyset(port);
  }
}

bool Known(SealErrorCode e) { return e == 0 || (e > 100000 && e <= 100028); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  std::vector<uint8_t> wire;
  for (size_t at = 3; at < size;) {
    const size_t n = std::min<size_t>(data[at], size - at - 1);
    if (n > MaxFramePayload) return 0;
    const std::vector<uint8_t> frame = FuzzPort::Frame(Serial, data + at + 1, n);
    wire.insert(wire.end(), frame.begin(), frame.end());
    at += 1 + n;
  }
  FuzzPort port(std::move(wire));
  TSeal seal(data[0] & 1 ? 0 : Serial);
  seal.SetClock([] { return SealEpoch; });
  const auto token = FuzzCrypto::Client();
  if (seal.Initialize(port) != 0) return 0;
  if (!Known(Run(data[0] >> 1, data[2], seal, port, *token))) std::abort();
  if (!Known(Run(data[1], data[2], seal, port, *token))) std::abort();
  const TSealFields f = seal.Snapshot();
  // A key-set the service did not store is never kept quiet.
  if (f.unstoredKeyset != 0 && f.keysetAlert.empty()) std::abort();
  return 0;
}
