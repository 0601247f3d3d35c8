#pragma once
#include <cstdint>

namespace quobble {

// The device's "last error code": one value per thread, set by the platform
// stand-ins when an operation fails (errno for files, curl's code for HTTP).
uint32_t GetLastError();
void SetLastError(uint32_t code);

}  // namespace quobble
