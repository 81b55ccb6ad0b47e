#pragma once
// The one table from the Linux error numbers of the serial layer to the Win32 error
// codes that callers report as HRESULTs (0x80070000 | code).

#include <cstdint>

namespace platform {

// 0 for 0; ERROR_GEN_FAILURE (31) for an error the table does not know.
uint32_t Win32ErrorFromErrno(int error);

}  // namespace platform
