// Key hashes of the hash table family that are not worth inlining.
#include "lumo/containers.h"

#include <cstring>

namespace {

constexpr uint32 kFnvOffset = 2166136261u;
constexpr uint32 kFnvPrime = 16777619u;

}  // namespace

uint32 CL_HashBytes(const void* data, size_t length) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    uint32 hash = kFnvOffset;
    // FNV-1, not FNV-1a: stored tables and peers depend on the multiply coming first.
    for (size_t i = 0; i < length; i++) {
        hash *= kFnvPrime;
        hash ^= bytes[i];
    }
    return hash;
}

uint32 CL_HashText(const char* text) {
    uint32 hash = kFnvOffset;
    if (!text) return hash;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; p++) {
        hash *= kFnvPrime;
        hash ^= *p;
    }
    return hash;
}

uint32 CL_PlaceLongBytes(const void* data, size_t length) {
    // Sixteen bytes a round, each round's two words multiplied into the running state.
    const unsigned char* p = static_cast<const unsigned char*>(data);
    uint64 state = length ^ 0x243F6A8885A308D3ull;
    while (length > 16) {
        uint64 a, b;
        memcpy(&a, p, 8);
        memcpy(&b, p + 8, 8);
        const unsigned __int128 m =
            static_cast<unsigned __int128>(a ^ state ^ 0x9E3779B97F4A7C15ull) *
            (b ^ 0xC2B2AE3D27D4EB4Full);
        state = static_cast<uint64>(m) ^ static_cast<uint64>(m >> 64);
        p += 16;
        length -= 16;
    }
    // The last 16 bytes (overlapping the rounds when fewer remain).
    const unsigned char* last = p + length - 16;
    uint64 a, b;
    memcpy(&a, last, 8);
    memcpy(&b, last + 8, 8);
    const unsigned __int128 m = static_cast<unsigned __int128>(a ^ state ^ 0x9E3779B97F4A7C15ull) *
                                (b ^ 0xC2B2AE3D27D4EB4Full);
    const uint64 h = static_cast<uint64>(m) ^ static_cast<uint64>(m >> 64);
    return static_cast<uint32>(h ^ (h >> 32));
}
