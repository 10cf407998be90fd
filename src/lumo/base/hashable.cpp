// Key hashes of the hash table family that are not worth inlining.
#include "lumo/containers.h"

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
