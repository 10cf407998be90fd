// TEA-family cipher: 8-byte blocks of two little-endian words, a round that adds
// the terms where published TEA XORs them, and a configurable round count.
#include "lumo/platform/cipher_internal.h"
#include "lumo/blob.h"
#include "lumo/cipher.h"

namespace {

constexpr uint32 kDelta = 0x9E3779B9;
constexpr uint8 kTailConstant = 185;

using lumo_bytes::LoadLE;
using lumo_bytes::StoreLE;

}  // namespace

CL_TEACipher::CL_TEACipher() : fKey{0, 0, 0, 0}, fType(CL_CRYPT_NORMAL) {}

void CL_TEACipher::SetKey(CL_Blob& key) {
    uint8 folded[16] = {};
    const uint8* bytes = key.GetDataForRead();
    uint32 size = key.GetSize();
    for (uint32 i = 0; i < size; ++i)
        folded[i & 15] ^= bytes[i];
    for (int i = 0; i < 4; ++i)
        fKey[i] = LoadLE(folded + 4 * i);
}

void CL_TEACipher::SetOption(int32 option, int32 value) {
    if (option == CL_CRYPT_TYPE) fType = value;
}

void CL_TEACipher::Encrypt(CL_Blob& blob, uint32 count) {
    uint32 length;
    uint8* data = Run(blob, count, &length);
    const uint32 k0 = fKey[0], k1 = fKey[1], k2 = fKey[2], k3 = fKey[3];
    const uint32 rounds = uint32(fType);
    uint32 whole = length & ~7u;
    for (uint32 off = 0; off < whole; off += 8) {
        uint32 y = LoadLE(data + off), z = LoadLE(data + off + 4), sum = 0;
        for (uint32 r = 0; r < rounds; ++r) {
            sum += kDelta;
            y += (z << 4) + (z ^ k0) + (sum ^ (z >> 5)) + k1;
            z += (y << 4) + (y ^ k2) + (sum ^ (y >> 5)) + k3;
        }
        StoreLE(data + off, y);
        StoreLE(data + off + 4, z);
    }
    EncryptTail(data + whole, length - whole, kTailConstant);
}

void CL_TEACipher::Decrypt(CL_Blob& blob, uint32 count) {
    uint32 length;
    uint8* data = Run(blob, count, &length);
    const uint32 k0 = fKey[0], k1 = fKey[1], k2 = fKey[2], k3 = fKey[3];
    const uint32 rounds = uint32(fType);
    uint32 whole = length & ~7u;
    for (uint32 off = 0; off < whole; off += 8) {
        uint32 y = LoadLE(data + off), z = LoadLE(data + off + 4), sum = rounds * kDelta;
        for (uint32 r = 0; r < rounds; ++r) {
            z -= (y << 4) + (y ^ k2) + (sum ^ (y >> 5)) + k3;
            y -= (z << 4) + (z ^ k0) + (sum ^ (z >> 5)) + k1;
            sum -= kDelta;
        }
        StoreLE(data + off, y);
        StoreLE(data + off + 4, z);
    }
    DecryptTail(data + whole, length - whole, kTailConstant);
}
