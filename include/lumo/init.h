// Library start-up: CL_Init readies the clocks, the broken-pipe signal, thread-local
// storage, the per-thread flattened-format version and the engines behind decimals and
// regular expressions, and registers the exit handler that releases them.
#pragma once

#include "lumo/base_types.h"

// Call once before using clocks, threads, thread-local storage, decimals or regular
// expressions. Only the first call does anything; every call returns CL_OK. Safe from
// any thread.
CL_Status CL_Init();
