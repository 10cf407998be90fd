// AES rounds on the ARMv8 cryptography extension. As with the x86 instructions, the
// cipher's little-endian words meet the instructions' big-endian columns by
// reversing every 4-byte group of the round keys and of each block.
#include "lumo/platform/cipher_internal.h"

#if defined(__aarch64__)

#include <arm_neon.h>
#include <sys/auxv.h>

#ifndef HWCAP_AES
#define HWCAP_AES (1 << 3)
#endif

#define LUMO_AES_TARGET __attribute__((target("+crypto")))

namespace {

LUMO_AES_TARGET inline uint8x16_t Load(const void* p) {
    return vrev32q_u8(vld1q_u8(static_cast<const uint8_t*>(p)));
}

// AESE/AESD add the round key before substituting, so the first ten keys go into
// the instructions and the last is added on its own.
template <bool kEncrypt>
LUMO_AES_TARGET inline uint8x16_t Block(uint8x16_t b, const uint8x16_t* k) {
    for (int r = 0; r < 9; ++r)
        b = kEncrypt ? vaesmcq_u8(vaeseq_u8(b, k[r])) : vaesimcq_u8(vaesdq_u8(b, k[r]));
    b = kEncrypt ? vaeseq_u8(b, k[9]) : vaesdq_u8(b, k[9]);
    return veorq_u8(b, k[10]);
}

// Four blocks at a time keep the AES unit busy: ECB blocks are independent.
template <bool kEncrypt>
LUMO_AES_TARGET void Process(const uint32* schedule, uint8* data, uint64 blocks) {
    uint8x16_t k[11];
    for (int r = 0; r <= 10; ++r)
        k[r] = Load(schedule + 4 * r);
    uint64 i = 0;
    for (; i + 4 <= blocks; i += 4) {
        uint8* p = data + 16 * i;
        uint8x16_t b0 = Block<kEncrypt>(Load(p), k), b1 = Block<kEncrypt>(Load(p + 16), k),
                   b2 = Block<kEncrypt>(Load(p + 32), k), b3 = Block<kEncrypt>(Load(p + 48), k);
        vst1q_u8(p, vrev32q_u8(b0));
        vst1q_u8(p + 16, vrev32q_u8(b1));
        vst1q_u8(p + 32, vrev32q_u8(b2));
        vst1q_u8(p + 48, vrev32q_u8(b3));
    }
    for (; i < blocks; ++i) {
        uint8* p = data + 16 * i;
        vst1q_u8(p, vrev32q_u8(Block<kEncrypt>(Load(p), k)));
    }
}

}  // namespace

namespace lumo_aes {

bool HardwareAvailable() {
    return (getauxval(AT_HWCAP) & HWCAP_AES) != 0;
}

void EncryptHardware(const uint32 enc[44], uint8* data, uint64 blocks) {
    Process<true>(enc, data, blocks);
}

void DecryptHardware(const uint32 dec[44], uint8* data, uint64 blocks) {
    Process<false>(dec, data, blocks);
}

}  // namespace lumo_aes

#endif
