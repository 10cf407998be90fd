// Hooks between thread start-up and the per-thread storage: a thread started by
// CL_Thread::Spawn arms its exit clean-up before running its procedure.
#pragma once

#include "lumo/base_types.h"

void CL_ArmThreadExit();

// Number of storage records alive in the process (for diagnostics and tests).
uint32 CL_CountLocalStorages();
