// The registry's text form: whatever the parser takes, the writer writes back as text
// that the parser takes again and that stays the same from then on.
#include <cstdlib>
#include <string>

#include "registry_format.h"

using namespace platform::reg;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const FileKind kind = data[0] & 1 ? FileKind::SavedKey : FileKind::Store;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  Key key;
  if (!Parse(text, kind, key)) return 0;
  const std::string written = Format(key, kind);
  Key again;
  std::string problem;
  if (!Parse(written, kind, again, &problem)) std::abort();
  if (Format(again, kind) != written) std::abort();
  return 0;
}
