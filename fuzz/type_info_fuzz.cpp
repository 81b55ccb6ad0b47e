// The type information a peer describes its objects with: hostile text must give no
// interface or one that reads back the same and can be called through.
#include <cstdlib>

#include "dbus_marshal.h"

using namespace platform::dbus;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
  auto info = ParseInterface(text);
  if (!info) return 0;
  auto again = ParseInterface(SerializeInterface(*info));
  if (!again || SerializeInterface(*again) != SerializeInterface(*info)) std::abort();
  for (const MemberInfo& member : info->members) {
    DISPID id = DISPID_UNKNOWN;
    if (FAILED(LookUpNames(*info, {member.name}, &id))) std::abort();
    // A call with the member's own count of empty arguments is prepared without harm.
    DISPPARAMS params{std::vector<Variant>(member.params.size())};
    const MemberInfo* found = nullptr;
    uint32_t argError = 0;
    PrepareInvoke(*info, member.id, DISPATCH_METHOD | DISPATCH_PROPERTYGET | DISPATCH_PROPERTYPUT, &params, &argError,
                  found);
    (void)IntrospectionXml(*info);
  }
  return 0;
}
