// The driver's shared header for a user-mode program: the integer types it is written in, then the
// records and numbers themselves. A Windows build takes the types from the system headers.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include <cstdint>

typedef uint32_t ULONG;
typedef int32_t LONG;
typedef uint8_t UCHAR;
#endif

#include "quavpub.h"
