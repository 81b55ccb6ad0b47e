// Opening a seal data file (.xml and .zrd alike) with a crypto object in this process
// that answers at once: whatever the file holds, opening ends, and a file opened and
// saved opens again and saves as the same text.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "dom.h"
#include "fuzz_crypto.h"

namespace {

bool Open(TZarnDocument& document, const std::string& file, const std::string& text) {
  std::FILE* f = std::fopen(file.c_str(), "wb");
  if (!f) std::abort();
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
  return document.LoadFromFile(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string file = "/tmp/zarn-fuzz-seal-data-" + std::to_string(getpid()) + ".xml";
  TZarnDocument document(TDocumentHost{{}, {}, {}, [](const std::string&) {}});
  document.SetCryptoFactory(FuzzCrypto::Client);
  if (!Open(document, file, std::string(reinterpret_cast<const char*>(data), size))) return 0;
  const std::string saved = document.Xml();
  if (!Open(document, file, saved)) std::abort();
  if (document.Xml() != saved) std::abort();
  return 0;
}
