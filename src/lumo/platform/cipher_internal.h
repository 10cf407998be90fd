// Block-level entry points of the AES cipher, shared by the cipher class, the tests
// and the benchmarks, with the byte-order helpers the ciphers work with; not part of
// the library's public headers.
#pragma once

#include "lumo/base/byte_order.h"
#include "lumo/base_types.h"

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
