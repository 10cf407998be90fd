// Block-level entry points of the AES cipher, shared by the cipher class, the tests
// and the benchmarks, and the byte-order helpers of the ciphers; not part of the
// library's public headers.
#pragma once

#include "lumo/base_types.h"

namespace lumo_cipher {

// Words are read and written byte by byte: blocks may sit at any offset of a blob.
inline uint32 LoadLE(const uint8* p) {
    return uint32(p[0]) | uint32(p[1]) << 8 | uint32(p[2]) << 16 | uint32(p[3]) << 24;
}
inline void StoreLE(uint8* p, uint32 v) {
    p[0] = uint8(v);
    p[1] = uint8(v >> 8);
    p[2] = uint8(v >> 16);
    p[3] = uint8(v >> 24);
}
inline uint32 LoadBE(const uint8* p) {
    return uint32(p[0]) << 24 | uint32(p[1]) << 16 | uint32(p[2]) << 8 | uint32(p[3]);
}
inline void StoreBE(uint8* p, uint32 v) {
    p[0] = uint8(v >> 24);
    p[1] = uint8(v >> 16);
    p[2] = uint8(v >> 8);
    p[3] = uint8(v);
}

}  // namespace lumo_cipher

namespace lumo_aes {

// Expands four key words into the 44-word encryption schedule and the 44-word
// schedule of the equivalent inverse cipher.
void ExpandKey(const uint32 key[4], uint32 enc[44], uint32 dec[44]);

// `blocks` 16-byte blocks at `data`, in place, with the table code.
void EncryptPortable(const uint32 enc[44], uint8* data, uint64 blocks);
void DecryptPortable(const uint32 dec[44], uint8* data, uint64 blocks);

// True when the processor has AES instructions and this build can use them.
bool HardwareAvailable();
// The same with the AES instructions; only to be called when HardwareAvailable().
void EncryptHardware(const uint32 enc[44], uint8* data, uint64 blocks);
void DecryptHardware(const uint32 dec[44], uint8* data, uint64 blocks);

}  // namespace lumo_aes
