// MD5, SHA-1 and SHA-256 over contiguous bytes. The message is never copied:
// whole blocks are compressed straight from the caller's bytes and only the
// last partial block is padded in a small local buffer.
#include "lumo/digest.h"

#include <cstring>
#include <type_traits>
#include <utility>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

#include "lumo/base/byte_order.h"
#include "lumo/platform/digest_internal.h"
#include "lumo/blob.h"

namespace {

inline uint32 Rotl(uint32 x, int n) {
    return (x << n) | (x >> (32 - n));
}
inline uint32 Rotr(uint32 x, int n) {
    return (x >> n) | (x << (32 - n));
}

using lumo_bytes::LoadBE;
using lumo_bytes::LoadLE;
using lumo_bytes::StoreBE;
using lumo_bytes::StoreLE;

// ---- MD5 -------------------------------------------------------------------

constexpr uint32 kMD5T[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};
constexpr int kMD5S[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

struct MD5State {
    uint32 h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    static constexpr bool kBigEndian = false;

    // One step of round i / 16; unrolled at compile time so the round function,
    // the message index and the rotation are constants.
    // The sum is ordered so that everything not depending on b (the word just computed)
    // is added first: the chain from one step to the next is then a few operations.
    // The second round's choice is split into two disjoint halves that are added.
    template <int i>
    [[gnu::always_inline]] static void Step(uint32& a, uint32 b, uint32 c, uint32 d,
                                            const uint32* m) {
        uint32 early, late;
        int g;
        if constexpr (i < 16) {
            g = i;
            early = a + kMD5T[i] + m[g];
            late = d ^ (b & (c ^ d));
        } else if constexpr (i < 32) {
            g = (5 * i + 1) & 15;
            early = a + kMD5T[i] + m[g] + (c & ~d);
            late = b & d;
        } else if constexpr (i < 48) {
            g = (3 * i + 5) & 15;
            early = a + kMD5T[i] + m[g];
            late = b ^ (c ^ d);
        } else {
            g = (7 * i) & 15;
            early = a + kMD5T[i] + m[g];
            late = c ^ (b | ~d);
        }
        a = b + Rotl(early + late, kMD5S[i >> 4][i & 3]);
    }

    template <int... i>
    [[gnu::always_inline]] static void Steps(uint32* v, const uint32* m,
                                             std::integer_sequence<int, i...>) {
        // The four working words rotate roles each step: a, b, c, d = d, a, b, c.
        ((Step<i>(v[(64 - i) & 3], v[(65 - i) & 3], v[(66 - i) & 3], v[(67 - i) & 3], m)), ...);
    }

    void Block(const uint8* p) {
        uint32 m[16];
        for (int i = 0; i < 16; ++i)
            m[i] = LoadLE(p + 4 * i);
        uint32 v[4] = {h[0], h[1], h[2], h[3]};
        Steps(v, m, std::make_integer_sequence<int, 64>());
        h[0] += v[0];
        h[1] += v[1];
        h[2] += v[2];
        h[3] += v[3];
    }
    void Output(uint8* out) const {
        for (int i = 0; i < 4; ++i)
            StoreLE(out + 4 * i, h[i]);
    }
};

// ---- SHA-1 -----------------------------------------------------------------

struct SHA1State {
    uint32 h[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
    static constexpr bool kBigEndian = true;

    // Unrolled at compile time; the message schedule is kept as a rolling window
    // of 16 words.
    template <int i>
    static void Step(uint32* v, uint32* w) {
        uint32& a = v[(80 - i) % 5];
        uint32& b = v[(81 - i) % 5];
        uint32& c = v[(82 - i) % 5];
        uint32& d = v[(83 - i) % 5];
        uint32& e = v[(84 - i) % 5];
        uint32 x;
        if constexpr (i < 16) {
            x = w[i];
        } else {
            x = Rotl(w[(i - 3) & 15] ^ w[(i - 8) & 15] ^ w[(i - 14) & 15] ^ w[i & 15], 1);
            w[i & 15] = x;
        }
        uint32 f, k;
        if constexpr (i < 20) {
            f = d ^ (b & (c ^ d));
            k = 0x5a827999;
        } else if constexpr (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ed9eba1;
        } else if constexpr (i < 60) {
            f = (b & c) | (d & (b | c));
            k = 0x8f1bbcdc;
        } else {
            f = b ^ c ^ d;
            k = 0xca62c1d6;
        }
        // e takes the new a; the roles then rotate by one word.
        e = Rotl(a, 5) + f + e + k + x;
        b = Rotl(b, 30);
    }

    template <int... i>
    static void Steps(uint32* v, uint32* w, std::integer_sequence<int, i...>) {
        (Step<i>(v, w), ...);
    }

    void Block(const uint8* p) {
        uint32 w[16];
        for (int i = 0; i < 16; ++i)
            w[i] = LoadBE(p + 4 * i);
        uint32 v[5] = {h[0], h[1], h[2], h[3], h[4]};
        Steps(v, w, std::make_integer_sequence<int, 80>());
        for (int i = 0; i < 5; ++i)
            h[i] += v[i];
    }
    void Output(uint8* out) const {
        for (int i = 0; i < 5; ++i)
            StoreBE(out + 4 * i, h[i]);
    }
};

// ---- SHA-256 ---------------------------------------------------------------

constexpr uint32 kSHA256K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

struct SHA256State {
    uint32 h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    static constexpr bool kBigEndian = true;

    void Block(const uint8* p) {
        uint32 w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = LoadBE(p + 4 * i);
        for (int i = 16; i < 64; ++i) {
            uint32 s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32 s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32 a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
        for (int i = 0; i < 64; ++i) {
            uint32 s1 = Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25);
            uint32 ch = (e & f) ^ (~e & g);
            uint32 t1 = hh + s1 + ch + kSHA256K[i] + w[i];
            uint32 s0 = Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22);
            uint32 maj = (a & b) ^ (a & c) ^ (b & c);
            uint32 t2 = s0 + maj;
            hh = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
        h[4] += e;
        h[5] += f;
        h[6] += g;
        h[7] += hh;
    }
    void Output(uint8* out) const {
        for (int i = 0; i < 8; ++i)
            StoreBE(out + 4 * i, h[i]);
    }
};

#if defined(__x86_64__)

// SHA-256 on the x86 SHA instructions: two rounds per sha256rnds2, the state kept
// as the ABEF and CDGH halves the instructions expect.
#define LUMO_SHA_TARGET __attribute__((target("sha,sse4.1")))

LUMO_SHA_TARGET void SHA256Hardware(uint32* h, const uint8* data, uint64 blocks) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h)), 0xB1);
    __m128i state1 =
        _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h + 4)), 0x1B);
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);  // ABEF
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);       // CDGH
    for (uint64 b = 0; b < blocks; ++b, data += 64) {
        const __m128i saveABEF = state0, saveCDGH = state1;
        __m128i w[16];
        for (int i = 0; i < 16; ++i) {
            if (i < 4) {
                w[i] = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byteSwap);
            } else {
                __m128i t = _mm_alignr_epi8(w[i - 1], w[i - 2], 4);
                w[i] = _mm_sha256msg2_epu32(
                    _mm_add_epi32(_mm_sha256msg1_epu32(w[i - 4], w[i - 3]), t), w[i - 1]);
            }
            __m128i msg = _mm_add_epi32(
                w[i], _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSHA256K + 4 * i)));
            state1 = _mm_sha256rnds2_epu32(state1, state0, msg);
            state0 = _mm_sha256rnds2_epu32(state0, state1, _mm_shuffle_epi32(msg, 0x0E));
        }
        state0 = _mm_add_epi32(state0, saveABEF);
        state1 = _mm_add_epi32(state1, saveCDGH);
    }
    tmp = _mm_shuffle_epi32(state0, 0x1B);        // FEBA
    state1 = _mm_shuffle_epi32(state1, 0xB1);     // DCHG
    state0 = _mm_blend_epi16(tmp, state1, 0xF0);  // DCBA
    state1 = _mm_alignr_epi8(state1, tmp, 8);     // HGFE
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h), state0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h + 4), state1);
}

// SHA-1 on the same instructions: four rounds per sha1rnds4. Message words come in
// groups of four, each from the four groups before it (sha1msg1, XOR, sha1msg2); the E
// input of a group is derived by sha1nexte from the ABCD the group before started with.
template <int kGroup>
LUMO_SHA_TARGET inline void SHA1Group(__m128i& abcd, __m128i& previous, __m128i* w) {
    if constexpr (kGroup >= 4)
        w[kGroup & 3] =
            _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(w[kGroup & 3], w[(kGroup + 1) & 3]),
                                             w[(kGroup + 2) & 3]),
                               w[(kGroup + 3) & 3]);
    const __m128i e = _mm_sha1nexte_epu32(previous, w[kGroup & 3]);
    previous = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, e, kGroup / 5);
}

template <int... kGroups>
LUMO_SHA_TARGET inline void SHA1Groups(__m128i& abcd, __m128i& previous, __m128i* w,
                                       std::integer_sequence<int, kGroups...>) {
    (SHA1Group<kGroups + 1>(abcd, previous, w), ...);
}

LUMO_SHA_TARGET void SHA1Hardware(uint32* h, const uint8* data, uint64 blocks) {
    const __m128i byteSwap = _mm_set_epi64x(0x0001020304050607ULL, 0x08090a0b0c0d0e0fULL);
    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h)), 0x1B);
    __m128i e0 = _mm_set_epi32(static_cast<int>(h[4]), 0, 0, 0);
    for (uint64 b = 0; b < blocks; ++b, data += 64) {
        const __m128i saveABCD = abcd, saveE = e0;
        __m128i w[4];
        for (int i = 0; i < 4; ++i)
            w[i] = _mm_shuffle_epi8(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byteSwap);
        // The first group takes E straight from the state.
        __m128i previous = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, _mm_add_epi32(e0, w[0]), 0);
        SHA1Groups(abcd, previous, w, std::make_integer_sequence<int, 19>());
        e0 = _mm_sha1nexte_epu32(previous, saveE);
        abcd = _mm_add_epi32(abcd, saveABCD);
    }
    abcd = _mm_shuffle_epi32(abcd, 0x1B);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h), abcd);
    h[4] = static_cast<uint32>(_mm_extract_epi32(e0, 3));
}

bool HasSHAInstructions() {
    unsigned a, b, c, d;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    bool sha = (b >> 29) & 1;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    bool sse41 = (c >> 19) & 1, ssse3 = (c >> 9) & 1;
    return sha && sse41 && ssse3;
}

#endif

template <class State, bool kHardware>
void Blocks(State& state, const uint8* data, uint64 blocks) {
#if defined(__x86_64__)
    if constexpr (kHardware && std::is_same_v<State, SHA256State>) {
        static const bool hardware = HasSHAInstructions();
        if (hardware) {
            SHA256Hardware(state.h, data, blocks);
            return;
        }
    }
    if constexpr (kHardware && std::is_same_v<State, SHA1State>) {
        static const bool hardware = HasSHAInstructions();
        if (hardware) {
            SHA1Hardware(state.h, data, blocks);
            return;
        }
    }
#endif
    for (uint64 i = 0; i < blocks; ++i)
        state.Block(data + 64 * i);
}

template <class State, bool kHardware = true>
void Digest(const uint8* data, uint64 size, uint8* out) {
    State state;
    uint64 whole = size & ~uint64(63);
    Blocks<State, kHardware>(state, data, whole / 64);
    uint8 last[128];
    uint32 n = lumo_digest::Pad(data + whole, uint32(size - whole), size, State::kBigEndian, last);
    Blocks<State, kHardware>(state, last, n / 64);
    state.Output(out);
}

// Upper-case hexadecimal through the blob's base16 coding, over the bytes in place.
std::string ToHex(const uint8* data, uint32 size) {
    return CL_Blob(data, size, false).Encode(CL_BLOB_CODING_BASE_16);
}

inline const uint8* BytesOf(const std::string& text) {
    return reinterpret_cast<const uint8*>(text.data());
}

}  // namespace

namespace lumo_digest {

uint32 Pad(const uint8* tail, uint32 tailSize, uint64 totalSize, bool bigEndian, uint8* out) {
    if (tailSize) memcpy(out, tail, tailSize);
    out[tailSize] = 0x80;
    // The length field needs 8 bytes after the marker; otherwise one more block.
    uint32 n = tailSize + 1 + 8 <= 64 ? 64 : 128;
    memset(out + tailSize + 1, 0, n - tailSize - 1);
    // The bit count is the full byte count times 8, kept in 64 bits (wrapping
    // modulo 2^64 as the standards do for longer messages).
    uint64 bits = totalSize << 3;
    for (int i = 0; i < 8; ++i) {
        uint8 byte = uint8(bits >> (8 * i));
        if (bigEndian)
            out[n - 1 - i] = byte;
        else
            out[n - 8 + i] = byte;
    }
    return n;
}

void MD5(const uint8* data, uint64 size, uint8* out) {
    Digest<MD5State>(data, size, out);
}
void SHA1(const uint8* data, uint64 size, uint8* out) {
    Digest<SHA1State>(data, size, out);
}
void SHA256(const uint8* data, uint64 size, uint8* out) {
    Digest<SHA256State>(data, size, out);
}
void SHA256Portable(const uint8* data, uint64 size, uint8* out) {
    Digest<SHA256State, false>(data, size, out);
}
void SHA1Portable(const uint8* data, uint64 size, uint8* out) {
    Digest<SHA1State, false>(data, size, out);
}

}  // namespace lumo_digest

// The blob is read in place: padding happens in a local block, so neither the
// caller's content nor its position changes and no copy of the input is made.

CLU_MD5::CLU_MD5(const CL_Blob& data) {
    InitObject(data);
}
CLU_MD5::CLU_MD5(const std::string& text) {
    lumo_digest::MD5(BytesOf(text), text.size(), fData);
}
void CLU_MD5::InitObject(const CL_Blob& data) {
    lumo_digest::MD5(static_cast<const uint8*>(data.GetDataForRead()), data.GetSize(), fData);
}
std::string CLU_MD5::Get() const {
    return ToHex(fData, sizeof(fData));
}
void CLU_MD5::Get(uint8* data) const {
    memcpy(data, fData, sizeof(fData));
}

CLU_SHA1::CLU_SHA1(const CL_Blob& data) {
    InitObject(data);
}
CLU_SHA1::CLU_SHA1(const std::string& text) {
    lumo_digest::SHA1(BytesOf(text), text.size(), fData);
}
void CLU_SHA1::InitObject(const CL_Blob& data) {
    lumo_digest::SHA1(static_cast<const uint8*>(data.GetDataForRead()), data.GetSize(), fData);
}
std::string CLU_SHA1::Get() const {
    return ToHex(fData, sizeof(fData));
}
void CLU_SHA1::Get(uint8* data) const {
    memcpy(data, fData, sizeof(fData));
}

CLU_SHA256::CLU_SHA256(const CL_Blob& data) {
    InitObject(data);
}
CLU_SHA256::CLU_SHA256(const std::string& text) {
    lumo_digest::SHA256(BytesOf(text), text.size(), fData);
}
void CLU_SHA256::InitObject(const CL_Blob& data) {
    lumo_digest::SHA256(static_cast<const uint8*>(data.GetDataForRead()), data.GetSize(), fData);
}
std::string CLU_SHA256::Get() const {
    return ToHex(fData, sizeof(fData));
}
void CLU_SHA256::Get(uint8* data) const {
    memcpy(data, fData, sizeof(fData));
}
