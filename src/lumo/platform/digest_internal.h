// Byte-level entry points of the digests, shared by the digest classes, the
// tests and the benchmarks; not part of the library's public headers.
#pragma once

#include "lumo/base_types.h"

namespace lumo_digest {

// Digest of `size` bytes at `data` into `out` (16, 20 or 32 bytes).
void MD5(const uint8* data, uint64 size, uint8* out);
void SHA1(const uint8* data, uint64 size, uint8* out);
void SHA256(const uint8* data, uint64 size, uint8* out);
// SHA-256 and SHA-1 without the processor's SHA instructions, for tests and benchmarks.
void SHA256Portable(const uint8* data, uint64 size, uint8* out);
void SHA1Portable(const uint8* data, uint64 size, uint8* out);

// Builds the final block(s) of a message of `totalSize` bytes whose last
// `tailSize` (< 64) bytes are `tail`: the bytes, 0x80, zeros, and the bit length
// as 64 bits (big-endian or little-endian). Returns 64 or 128, the bytes written.
uint32 Pad(const uint8* tail, uint32 tailSize, uint64 totalSize, bool bigEndian, uint8* out);

}  // namespace lumo_digest
