// Memory tests: the resident size, and a cap on the (child) process's address space at what it uses
// now plus `headroom` bytes, so that larger allocations fail.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "support/sanitizer.h"

// A sanitizer's heap reserves more address space than any cap allows.
#define LUMO_CAN_CAP_ADDRESS_SPACE (!ZELMO_SANITIZER_HEAP)

inline bool CapAddressSpace(unsigned long long headroom) {
    unsigned long pages = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (!statm) return false;
    bool read = fscanf(statm, "%lu", &pages) == 1;
    fclose(statm);
    if (!read) return false;
    rlimit cap;
    if (getrlimit(RLIMIT_AS, &cap) != 0) return false;
    cap.rlim_cur = pages * static_cast<unsigned long long>(sysconf(_SC_PAGESIZE)) + headroom;
    return setrlimit(RLIMIT_AS, &cap) == 0;
}

// What the process has resident, in KiB; -1 when it cannot be read.
inline long ResidentKiB() {
    long size = 0, resident = 0;
    std::ifstream statm("/proc/self/statm");
    return statm >> size >> resident ? resident * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}
