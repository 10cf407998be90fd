// AES-128 with little-endian words: the four words of a block (and of the key) are
// read little-endian and stand where FIPS-197 has big-endian columns. The table code
// below is the fallback; processors with AES instructions use cipher_aes_ni.cpp (x86)
// or cipher_aes_arm.cpp (ARMv8).
#include <array>

#include "lumo/platform/cipher_internal.h"
#include "lumo/blob.h"
#include "lumo/cipher.h"

namespace {

constexpr uint8 kTailConstant = 127;

constexpr uint8 XTime(uint8 x) {
    return uint8((x << 1) ^ ((x & 0x80) ? 0x1B : 0));
}

constexpr uint8 Mul(uint8 a, uint8 b) {
    uint8 r = 0;
    while (b) {
        if (b & 1) r ^= a;
        a = XTime(a);
        b >>= 1;
    }
    return r;
}

constexpr uint32 Ror8(uint32 x) {
    return (x >> 8) | (x << 24);
}

// The S-box and its inverse, derived from the field inverse and the affine map so
// that no hand-typed table can carry a typo.
struct Tables {
    std::array<uint8, 256> sbox{};
    std::array<uint8, 256> inv{};
    std::array<std::array<uint32, 256>, 4> te{};
    std::array<std::array<uint32, 256>, 4> td{};
};

constexpr Tables MakeTables() {
    Tables t;
    // Field inverses through powers of the generator 3: inv(x) = 3^(255 - log3(x)).
    std::array<uint8, 256> exp{};
    std::array<uint8, 256> log{};
    uint8 p = 1;
    for (int i = 0; i < 255; ++i) {
        exp[i] = p;
        log[p] = uint8(i);
        p = uint8(p ^ XTime(p));
    }
    for (int x = 0; x < 256; ++x) {
        uint8 invx = x ? exp[(255 - log[x]) % 255] : 0;
        uint8 s = invx;
        uint8 r = invx;
        for (int i = 0; i < 4; ++i) {
            r = uint8((r << 1) | (r >> 7));
            s ^= r;
        }
        s ^= 0x63;
        t.sbox[x] = s;
        t.inv[s] = uint8(x);
    }
    for (int x = 0; x < 256; ++x) {
        uint8 s = t.sbox[x];
        uint32 e = uint32(Mul(s, 2)) << 24 | uint32(s) << 16 | uint32(s) << 8 | Mul(s, 3);
        uint8 i = t.inv[x];
        uint32 d = uint32(Mul(i, 14)) << 24 | uint32(Mul(i, 9)) << 16 | uint32(Mul(i, 13)) << 8 |
                   Mul(i, 11);
        for (int k = 0; k < 4; ++k) {
            t.te[k][x] = e;
            t.td[k][x] = d;
            e = Ror8(e);
            d = Ror8(d);
        }
    }
    return t;
}

constexpr Tables kT = MakeTables();
constexpr auto& Te0 = kT.te[0];
constexpr auto& Te1 = kT.te[1];
constexpr auto& Te2 = kT.te[2];
constexpr auto& Te3 = kT.te[3];
constexpr auto& Td0 = kT.td[0];
constexpr auto& Td1 = kT.td[1];
constexpr auto& Td2 = kT.td[2];
constexpr auto& Td3 = kT.td[3];
constexpr auto& S = kT.sbox;
constexpr auto& Si = kT.inv;

constexpr uint32 kRcon[10] = {0x01000000, 0x02000000, 0x04000000, 0x08000000, 0x10000000,
                              0x20000000, 0x40000000, 0x80000000, 0x1B000000, 0x36000000};

using lumo_bytes::LoadLE;
using lumo_bytes::StoreLE;

inline uint32 B0(uint32 x) {
    return x >> 24;
}
inline uint32 B1(uint32 x) {
    return (x >> 16) & 0xFF;
}
inline uint32 B2(uint32 x) {
    return (x >> 8) & 0xFF;
}
inline uint32 B3(uint32 x) {
    return x & 0xFF;
}

void EncryptBlock(const uint32* rk, uint8* block) {
    uint32 s0 = LoadLE(block) ^ rk[0], s1 = LoadLE(block + 4) ^ rk[1];
    uint32 s2 = LoadLE(block + 8) ^ rk[2], s3 = LoadLE(block + 12) ^ rk[3];
    for (int r = 1; r < 10; ++r) {
        rk += 4;
        uint32 t0 = Te0[B0(s0)] ^ Te1[B1(s1)] ^ Te2[B2(s2)] ^ Te3[B3(s3)] ^ rk[0];
        uint32 t1 = Te0[B0(s1)] ^ Te1[B1(s2)] ^ Te2[B2(s3)] ^ Te3[B3(s0)] ^ rk[1];
        uint32 t2 = Te0[B0(s2)] ^ Te1[B1(s3)] ^ Te2[B2(s0)] ^ Te3[B3(s1)] ^ rk[2];
        uint32 t3 = Te0[B0(s3)] ^ Te1[B1(s0)] ^ Te2[B2(s1)] ^ Te3[B3(s2)] ^ rk[3];
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    rk += 4;
    auto last = [](uint32 a, uint32 b, uint32 c, uint32 d) {
        return uint32(S[B0(a)]) << 24 | uint32(S[B1(b)]) << 16 | uint32(S[B2(c)]) << 8 | S[B3(d)];
    };
    StoreLE(block, last(s0, s1, s2, s3) ^ rk[0]);
    StoreLE(block + 4, last(s1, s2, s3, s0) ^ rk[1]);
    StoreLE(block + 8, last(s2, s3, s0, s1) ^ rk[2]);
    StoreLE(block + 12, last(s3, s0, s1, s2) ^ rk[3]);
}

void DecryptBlock(const uint32* rk, uint8* block) {
    uint32 s0 = LoadLE(block) ^ rk[0], s1 = LoadLE(block + 4) ^ rk[1];
    uint32 s2 = LoadLE(block + 8) ^ rk[2], s3 = LoadLE(block + 12) ^ rk[3];
    for (int r = 1; r < 10; ++r) {
        rk += 4;
        uint32 t0 = Td0[B0(s0)] ^ Td1[B1(s3)] ^ Td2[B2(s2)] ^ Td3[B3(s1)] ^ rk[0];
        uint32 t1 = Td0[B0(s1)] ^ Td1[B1(s0)] ^ Td2[B2(s3)] ^ Td3[B3(s2)] ^ rk[1];
        uint32 t2 = Td0[B0(s2)] ^ Td1[B1(s1)] ^ Td2[B2(s0)] ^ Td3[B3(s3)] ^ rk[2];
        uint32 t3 = Td0[B0(s3)] ^ Td1[B1(s2)] ^ Td2[B2(s1)] ^ Td3[B3(s0)] ^ rk[3];
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    rk += 4;
    auto last = [](uint32 a, uint32 b, uint32 c, uint32 d) {
        return uint32(Si[B0(a)]) << 24 | uint32(Si[B1(b)]) << 16 | uint32(Si[B2(c)]) << 8 |
               Si[B3(d)];
    };
    StoreLE(block, last(s0, s3, s2, s1) ^ rk[0]);
    StoreLE(block + 4, last(s1, s0, s3, s2) ^ rk[1]);
    StoreLE(block + 8, last(s2, s1, s0, s3) ^ rk[2]);
    StoreLE(block + 12, last(s3, s2, s1, s0) ^ rk[3]);
}

void Process(const uint32* schedule, uint8* data, uint64 blocks, bool encrypt) {
    // Decided once: every payload of an enciphered connection passes through here.
    static const bool hardware = lumo_aes::HardwareAvailable();
    if (hardware) {
        if (encrypt)
            lumo_aes::EncryptHardware(schedule, data, blocks);
        else
            lumo_aes::DecryptHardware(schedule, data, blocks);
    } else {
        if (encrypt)
            lumo_aes::EncryptPortable(schedule, data, blocks);
        else
            lumo_aes::DecryptPortable(schedule, data, blocks);
    }
}

}  // namespace

namespace lumo_aes {

void ExpandKey(const uint32 key[4], uint32 enc[44], uint32 dec[44]) {
    for (int i = 0; i < 4; ++i)
        enc[i] = key[i];
    for (int i = 4; i < 44; ++i) {
        uint32 temp = enc[i - 1];
        if (i % 4 == 0) {
            // RotWord then SubWord, then the round constant in the high byte.
            temp = (uint32(S[B1(temp)]) << 24 | uint32(S[B2(temp)]) << 16 |
                    uint32(S[B3(temp)]) << 8 | S[B0(temp)]) ^
                   kRcon[i / 4 - 1];
        }
        enc[i] = enc[i - 4] ^ temp;
    }
    // Round keys in reverse order, InvMixColumns on all but the first and the last.
    for (int r = 0; r <= 10; ++r)
        for (int j = 0; j < 4; ++j)
            dec[4 * r + j] = enc[4 * (10 - r) + j];
    for (int i = 4; i < 40; ++i) {
        uint32 w = dec[i];
        dec[i] = Td0[S[B0(w)]] ^ Td1[S[B1(w)]] ^ Td2[S[B2(w)]] ^ Td3[S[B3(w)]];
    }
}

void EncryptPortable(const uint32 enc[44], uint8* data, uint64 blocks) {
    for (uint64 i = 0; i < blocks; ++i)
        EncryptBlock(enc, data + 16 * i);
}

void DecryptPortable(const uint32 dec[44], uint8* data, uint64 blocks) {
    for (uint64 i = 0; i < blocks; ++i)
        DecryptBlock(dec, data + 16 * i);
}

}  // namespace lumo_aes

CL_AESCipher::CL_AESCipher() {
    const uint32 zero[4] = {0, 0, 0, 0};
    lumo_aes::ExpandKey(zero, fEncKey, fDecKey);
}

void CL_AESCipher::SetKey(CL_Blob& key) {
    uint32 words[4];
    key.Seek(0, CL_SEEK_SET);
    for (int i = 0; i < 4; ++i)
        words[i] << key;  // a short read yields 0
    lumo_aes::ExpandKey(words, fEncKey, fDecKey);
}

void CL_AESCipher::Encrypt(CL_Blob& blob, uint32 count) {
    uint32 length;
    uint8* data = Run(blob, count, &length);
    uint32 whole = length & ~15u;
    Process(fEncKey, data, whole / 16, true);
    EncryptTail(data + whole, length - whole, kTailConstant);
}

void CL_AESCipher::Decrypt(CL_Blob& blob, uint32 count) {
    uint32 length;
    uint8* data = Run(blob, count, &length);
    uint32 whole = length & ~15u;
    Process(fDecKey, data, whole / 16, false);
    DecryptTail(data + whole, length - whole, kTailConstant);
}
