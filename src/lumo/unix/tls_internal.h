// Hook between thread start-up and the per-thread storage: a thread started by
// CL_Thread::Spawn arms its exit clean-up before running its procedure.
#pragma once

void CL_ArmThreadExit();
