// Fixed-width integer names and the status code shared by the whole base library.
#pragma once

#include <cstddef>
#include <cstdint>

typedef int8_t int8;
typedef uint8_t uint8;
typedef int16_t int16;
typedef uint16_t uint16;
typedef int32_t int32;
typedef uint32_t uint32;
typedef int64_t int64;
typedef uint64_t uint64;

// Types and constants only: nothing here holds state.
// Result code of base-library operations: 0 (CL_OK) is success.
typedef int32 CL_Status;

#include "lumo/status.h"  // IWYU pragma: export

// Unsigned 32-bit millisecond time-out that waits for ever.
constexpr uint32 CL_WAIT_FOREVER = 0xFFFFFFFFu;
