// AES rounds on the x86 AES instructions. The cipher's words are little-endian
// while the instructions work on big-endian columns, so every 4-byte group of the
// round keys and of each block is byte-reversed on the way in and out. ARM has its
// own file; other processors fall back to the table code.
#include "lumo/platform/cipher_internal.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#define LUMO_AES_TARGET __attribute__((target("aes,ssse3")))

namespace {

LUMO_AES_TARGET inline __m128i GroupSwap() {
    return _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
}

LUMO_AES_TARGET inline void LoadSchedule(const uint32* schedule, __m128i* keys) {
    const __m128i swap = GroupSwap();
    for (int r = 0; r <= 10; ++r)
        keys[r] = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(schedule + 4 * r)), swap);
}

LUMO_AES_TARGET inline __m128i LoadBlock(const uint8* p, __m128i swap, __m128i key) {
    return _mm_xor_si128(
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), swap), key);
}

LUMO_AES_TARGET inline void StoreBlock(uint8* p, __m128i v, __m128i swap) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_shuffle_epi8(v, swap));
}

// Four blocks at a time keep the AES unit busy: ECB blocks are independent.
template <bool kEncrypt>
LUMO_AES_TARGET void Process(const uint32* schedule, uint8* data, uint64 blocks) {
    __m128i k[11];
    LoadSchedule(schedule, k);
    const __m128i swap = GroupSwap();
    uint64 i = 0;
    for (; i + 4 <= blocks; i += 4) {
        __m128i b0 = LoadBlock(data + 16 * (i), swap, k[0]),
                b1 = LoadBlock(data + 16 * (i + 1), swap, k[0]),
                b2 = LoadBlock(data + 16 * (i + 2), swap, k[0]),
                b3 = LoadBlock(data + 16 * (i + 3), swap, k[0]);
        for (int r = 1; r < 10; ++r) {
            if constexpr (kEncrypt) {
                b0 = _mm_aesenc_si128(b0, k[r]);
                b1 = _mm_aesenc_si128(b1, k[r]);
                b2 = _mm_aesenc_si128(b2, k[r]);
                b3 = _mm_aesenc_si128(b3, k[r]);
            } else {
                b0 = _mm_aesdec_si128(b0, k[r]);
                b1 = _mm_aesdec_si128(b1, k[r]);
                b2 = _mm_aesdec_si128(b2, k[r]);
                b3 = _mm_aesdec_si128(b3, k[r]);
            }
        }
        if constexpr (kEncrypt) {
            b0 = _mm_aesenclast_si128(b0, k[10]);
            b1 = _mm_aesenclast_si128(b1, k[10]);
            b2 = _mm_aesenclast_si128(b2, k[10]);
            b3 = _mm_aesenclast_si128(b3, k[10]);
        } else {
            b0 = _mm_aesdeclast_si128(b0, k[10]);
            b1 = _mm_aesdeclast_si128(b1, k[10]);
            b2 = _mm_aesdeclast_si128(b2, k[10]);
            b3 = _mm_aesdeclast_si128(b3, k[10]);
        }
        StoreBlock(data + 16 * (i), b0, swap);
        StoreBlock(data + 16 * (i + 1), b1, swap);
        StoreBlock(data + 16 * (i + 2), b2, swap);
        StoreBlock(data + 16 * (i + 3), b3, swap);
    }
    for (; i < blocks; ++i) {
        __m128i b = LoadBlock(data + 16 * (i), swap, k[0]);
        for (int r = 1; r < 10; ++r)
            b = kEncrypt ? _mm_aesenc_si128(b, k[r]) : _mm_aesdec_si128(b, k[r]);
        b = kEncrypt ? _mm_aesenclast_si128(b, k[10]) : _mm_aesdeclast_si128(b, k[10]);
        StoreBlock(data + 16 * (i), b, swap);
    }
}

}  // namespace

namespace lumo_aes {

bool HardwareAvailable() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("aes") && __builtin_cpu_supports("ssse3");
}

void EncryptHardware(const uint32 enc[44], uint8* data, uint64 blocks) {
    Process<true>(enc, data, blocks);
}

void DecryptHardware(const uint32 dec[44], uint8* data, uint64 blocks) {
    Process<false>(dec, data, blocks);
}

}  // namespace lumo_aes

#elif !defined(__aarch64__)

namespace lumo_aes {

bool HardwareAvailable() {
    return false;
}

void EncryptHardware(const uint32 enc[44], uint8* data, uint64 blocks) {
    EncryptPortable(enc, data, blocks);
}

void DecryptHardware(const uint32 dec[44], uint8* data, uint64 blocks) {
    DecryptPortable(dec, data, blocks);
}

}  // namespace lumo_aes

#endif
