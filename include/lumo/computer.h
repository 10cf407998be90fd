// Computer, memory and processor information: who runs the process on which host and
// system, how much memory there is and is used (inside a container as well as on a
// plain host), whether memory runs low, how busy the processors are, and a readable
// stack trace of the calling thread.
#pragma once

#include <string>

#include "lumo/base_types.h"

// Description of the machine and its user, computed once per process under a lock:
// CL_GetComputerInfo is safe from any thread.
struct CL_ComputerInfo {
    std::string fHostName;
    std::string fDomainName;     // empty when the system reports "(none)"
    std::string fUserLoginName;  // of the effective user
    std::string fUserFullName;   // the whole GECOS field
    uint32 fNumCPUs = 0;         // processors online
    // System name, distribution, " (kernel <release>)", processor family and word size.
    std::string fOSSpec;
    uint32 fOSVersion = 0;  // major << 16 | minor << 8 | patch, each part at most 255
};

// Byte counts; inside a container the totals and use are the container's own.
// CL_GetMemoryInfo and CL_IsMemoryLow keep the limits and pressure events they set
// up in unguarded statics: one thread at a time.
struct CL_MemoryInfo {
    uint64 fTotalPhysical = 0;
    uint64 fAvailablePhysical = 0;
    uint64 fTotalSwap = 0;
    uint64 fAvailableSwap = 0;
    uint64 fUsed = 0;         // in use, system-wide or in the container
    uint64 fUsedProcess = 0;  // resident memory of this process
};

void CL_GetComputerInfo(CL_ComputerInfo* info);
void CL_GetMemoryInfo(CL_MemoryInfo* info);
// Whether memory runs low. isCritical, when given, may receive whether the shortage
// is critical; it is left alone when that cannot be told.
bool CL_IsMemoryLow(bool* isCritical = nullptr);
// Percent (0 to 100) of all processors together since the previous call; 0 the first
// time. The previous sample is an unguarded static: one thread at a time.
double CL_GetCPUUsage();
bool CL_IsRunningInContainer();
// One line per frame of the calling thread, without this function's frame and `skip`
// more: number, image, address, symbol + offset and, where known, the source position.
std::string CL_GetStackTrace(unsigned int skip = 0);
