// zarn-regsvr [-u] LIBRARY: registers (or with -u unregisters) an in-process server by
// calling its library's own entry point, so that scripts need no other tool for it.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "com.h"

int main(int argc, char** argv) {
  const bool unregister = argc == 3 && std::strcmp(argv[1], "-u") == 0;
  if (argc != 2 + unregister) {
    std::fprintf(stderr, "usage: zarn-regsvr [-u] LIBRARY\n");
    return 2;
  }
  const char* path = argv[argc - 1];
  void* library = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    std::fprintf(stderr, "zarn-regsvr: %s\n", ::dlerror());
    return 1;
  }
  const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  auto* call = reinterpret_cast<HRESULT (*)()>(::dlsym(library, entry));
  if (!call) {
    std::fprintf(stderr, "zarn-regsvr: %s has no %s\n", path, entry);
    return 1;
  }
  const HRESULT result = call();
  if (FAILED(result)) {
    std::fprintf(stderr, "zarn-regsvr: %s failed (0x%08X)\n", entry, unsigned(result));
    return 1;
  }
  return 0;
}
