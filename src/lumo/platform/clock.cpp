#include "lumo/clock.h"

#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

#include "lumo/platform/monotonic_clock.h"

uint64 sTimerBase = 0;
uint64 sTimerFrequency = 0;

namespace {

using lumo_clock::MonotonicNanos;

// Scales the elapsed ticks to `perSecond` units without overflowing the product:
// whole seconds and the remainder are scaled separately, the remainder in 128 bits.
uint64 Elapsed(uint64 perSecond) {
    const uint64 frequency = sTimerFrequency;
    if (frequency == 0) return 0;
    // Read as an atomic: tests move the base while the library's threads read clocks.
    const uint64 ticks =
        MonotonicNanos() - std::atomic_ref<uint64>(sTimerBase).load(std::memory_order_relaxed);
    const uint64 seconds = ticks / frequency;
    const uint64 rest = ticks % frequency;
    return seconds * perSecond + uint64((unsigned __int128)rest * perSecond / frequency);
}

}  // namespace

void CL_StartClock() {
    sTimerFrequency = 1000000000ull;
    sTimerBase = MonotonicNanos();
}

uint32 CL_GetTime() {
    return uint32(Elapsed(1000));
}
uint64 CL_GetMicroTime() {
    return Elapsed(1000000);
}
uint64 CL_GetNanoTime() {
    return Elapsed(1000000000);
}

CL_Status CL_GetRandomBytes(uint8* buffer, uint32 count) {
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return CL_ERROR;
    uint32 done = 0;
    while (done < count) {
        uint32 piece = count - done < 256 ? count - done : 256;
        ssize_t got = read(fd, buffer + done, piece);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            close(fd);
            return CL_ERROR;
        }
        done += uint32(got);
    }
    close(fd);
    return CL_OK;
}

uint32 CL_GetRandom() {
    uint8 bytes[4];
    if (CL_GetRandomBytes(bytes, 4) != CL_OK) return uint32(rand());
    uint32 value;
    memcpy(&value, bytes, 4);
    return value;
}

std::string CL_GetEnv(const std::string& name, bool* found) {
    const char* value = getenv(name.c_str());
    if (found) *found = value != nullptr;
    return value ? std::string(value) : std::string();
}

void CL_SetEnv(const std::string& name, const std::string& value) {
    setenv(name.c_str(), value.c_str(), 1);
}

void CL_DeleteEnv(const std::string& name) {
    unsetenv(name.c_str());
}

void CL_ReleaseMemory() {
    malloc_trim(0);
}

void CL_SetProcessForeground(bool) {}
