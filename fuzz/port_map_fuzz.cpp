// The COM port map file: any text parses, and every entry it keeps is a usable port.
#include <cstdlib>
#include <string>

#include "port_map.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const platform::PortMap map = platform::PortMap::Parse(text);
  for (const platform::PortEntry& e : map.Entries()) {
    if (e.device.empty()) std::abort();
    if (!map.Find(e.number)) std::abort();
  }
  platform::ComNumberFromFileName(text);
  return 0;
}
