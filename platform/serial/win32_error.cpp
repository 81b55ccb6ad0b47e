#include "win32_error.h"

#include <cerrno>

#include "com_device.h"

namespace platform {

namespace {

struct ErrorEntry {
  int code;
  uint32_t win32;
};

// A missing device, whatever way it is missing, is a file not found; a port held by
// another program is access denied, as Windows reports an exclusively opened port.
constexpr ErrorEntry Table[] = {
    {ENOENT, 2},          // ERROR_FILE_NOT_FOUND
    {ENODEV, 2},
    {ENXIO, 2},
    {ENOTDIR, 3},         // ERROR_PATH_NOT_FOUND
    {PortInUseError, 5},  // ERROR_ACCESS_DENIED
    {EACCES, 5},
    {EPERM, 5},
    {EBADF, 6},           // ERROR_INVALID_HANDLE
    {ENOMEM, 8},          // ERROR_NOT_ENOUGH_MEMORY
    {EINVAL, 87},         // ERROR_INVALID_PARAMETER
    {ENOTTY, 87},
    {ETIMEDOUT, 121},     // ERROR_SEM_TIMEOUT
};

constexpr uint32_t ErrorGenFailure = 31;

}  // namespace

uint32_t Win32ErrorFromErrno(int error) {
  if (error == 0) return 0;
  for (const ErrorEntry& e : Table)
    if (e.code == error) return e.win32;
  return ErrorGenFailure;
}

}  // namespace platform
