// Ciphers against reference vectors (AES from openssl with the 4-byte group
// reversal; TEA, Blowfish-family and the tail rule computed by hand from the rules),
// the run frame at every position and length, and buffer sharing.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "lumo/blob.h"
#include "lumo/cipher.h"
#include "lumo/platform/cipher_internal.h"

namespace {

using Bytes = std::vector<uint8>;

Bytes Plain(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8(0x30 + i);
    return b;
}

CL_Blob BlobOf(const Bytes& b) {
    return CL_Blob(b.data(), uint32(b.size()), true);
}

Bytes BytesOf(const CL_Blob& blob) {
    const uint8* p = blob.GetDataForRead();
    return Bytes(p, p + blob.GetSize());
}

Bytes Encrypted(CL_Cipher& cipher, const Bytes& plain) {
    CL_Blob blob = BlobOf(plain);
    blob.Rewind();
    cipher.Encrypt(blob, 0xFFFFFFFF);
    return BytesOf(blob);
}

// Exposes the key state for the structural checks.
struct BlowfishProbe : CL_BlowfishCipher {
    const uint32* P() const { return fP; }
    const uint32* S() const { return fS; }
};

TEST(Cipher, BaseChangesNothing) {
    CL_Cipher cipher;
    CL_Blob key("key");
    cipher.SetKey(key);
    cipher.SetOption(0, 8);
    cipher.SetOption(0, "x");
    Bytes plain = Plain(33);
    EXPECT_EQ(Encrypted(cipher, plain), plain);
}

TEST(Cipher, TailRule) {
    CL_TEACipher tea;
    EXPECT_EQ(Encrypted(tea, Bytes{0x41, 0x41, 0x41}), (Bytes{0x91, 0x5A, 0x03}));
    // The tail rule ignores the key.
    CL_Blob key("another key");
    tea.SetKey(key);
    EXPECT_EQ(Encrypted(tea, Bytes{0x41, 0x41, 0x41}), (Bytes{0x91, 0x5A, 0x03}));
    CL_AESCipher aes;
    // 0x41 rotated is 0x28; m = 127 * k mod 256.
    EXPECT_EQ(Encrypted(aes, Bytes{0x41, 0x41}), (Bytes{0x28 ^ 127, 0x28 ^ 254}));
    CL_BlowfishCipher bf;
    EXPECT_EQ(Encrypted(bf, Bytes{0x41, 0x41}), (Bytes{0x28 ^ 91, 0x28 ^ 182}));
}

TEST(Cipher, TEAVectors) {
    CL_TEACipher tea;
    EXPECT_EQ(Encrypted(tea, Plain(20)),
              (Bytes{0xED, 0x9B, 0x11, 0xB6, 0xF7, 0xA2, 0x1B, 0x4C, 0xCA, 0x3D,
                     0x07, 0xBE, 0x8A, 0x7D, 0xB8, 0xE1, 0xB1, 0x5A, 0x63, 0x8C}));

    // A 19-byte key folds its last three bytes onto the first three.
    CL_Blob key("0123456789abcdefXYZ");
    tea.SetKey(key);
    EXPECT_EQ(Encrypted(tea, Plain(24)),
              (Bytes{0xF0, 0x50, 0xF3, 0x8C, 0x82, 0xB5, 0x0A, 0x25, 0xDF, 0x2D, 0x2C, 0xF7,
                     0x12, 0x22, 0xE3, 0xB9, 0xD1, 0x47, 0x3B, 0xBF, 0xB1, 0x41, 0xF3, 0x71}));

    CL_Blob secret("secret");
    tea.SetKey(secret);
    tea.SetOption(CL_TEACipher::CL_CRYPT_TYPE, CL_TEACipher::CL_CRYPT_BEST);
    EXPECT_EQ(Encrypted(tea, Plain(16)), (Bytes{0x2E, 0xA5, 0xB7, 0x87, 0xC2, 0x5B, 0x58, 0xA6,
                                                0x9D, 0x55, 0x94, 0xEC, 0x5B, 0x65, 0x3F, 0x6C}));
}

TEST(Cipher, TEARoundOption) {
    CL_TEACipher tea;
    CL_Blob key("k");
    tea.SetKey(key);
    Bytes normal = Encrypted(tea, Plain(19));
    tea.SetOption(1, CL_TEACipher::CL_CRYPT_FAST);  // not an option id: ignored
    EXPECT_EQ(Encrypted(tea, Plain(19)), normal);

    tea.SetOption(CL_TEACipher::CL_CRYPT_TYPE, 0);
    Bytes zero = Encrypted(tea, Plain(19));
    Bytes plain = Plain(19);
    EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + 16, zero.begin()));
    EXPECT_FALSE(std::equal(plain.begin() + 16, plain.end(), zero.begin() + 16));

    CL_TEACipher copy;
    copy = tea;
    EXPECT_EQ(Encrypted(copy, Plain(19)), zero);

    // Decryption starts its sum from the round count, whatever that count is.
    tea.SetOption(CL_TEACipher::CL_CRYPT_TYPE, CL_TEACipher::CL_CRYPT_FAST);
    EXPECT_EQ(Encrypted(tea, Plain(8)), (Bytes{0xB2, 0xD3, 0xE0, 0xEB, 0x89, 0xEB, 0xF8, 0xDC}));
    for (int32 rounds : {1, 5, 8, 32, 64}) {
        tea.SetOption(CL_TEACipher::CL_CRYPT_TYPE, rounds);
        CL_Blob blob = BlobOf(plain);
        blob.Rewind();
        tea.Encrypt(blob, 0xFFFFFFFF);
        EXPECT_NE(BytesOf(blob), plain) << rounds;
        tea.Decrypt(blob, 0xFFFFFFFF);
        EXPECT_EQ(BytesOf(blob), plain) << rounds;
    }
}

// FIPS-197 appendix C.1 with every 4-byte group of key, block and result reversed.
TEST(Cipher, AESMatchesFips197WithReversedGroups) {
    const uint8 key[16] = {3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12};
    CL_AESCipher aes;
    CL_Blob keyBlob(key, 16);
    aes.SetKey(keyBlob);
    Bytes block{0x33, 0x22, 0x11, 0x00, 0x77, 0x66, 0x55, 0x44,
                0xBB, 0xAA, 0x99, 0x88, 0xFF, 0xEE, 0xDD, 0xCC};
    EXPECT_EQ(Encrypted(aes, block), (Bytes{0xD8, 0xE0, 0xC4, 0x69, 0x30, 0x04, 0x7B, 0x6A, 0x80,
                                            0xB7, 0xCD, 0xD8, 0x5A, 0xC5, 0xB4, 0x70}));
}

// Vectors from `openssl enc -aes-128-ecb -nopad` over the group-reversed bytes.
TEST(Cipher, AESVectors) {
    CL_AESCipher aes;
    EXPECT_EQ(Encrypted(aes, Plain(32)),
              (Bytes{0xDA, 0x37, 0xC1, 0x3F, 0x07, 0xEC, 0xBE, 0x99, 0xD6, 0x63, 0x60,
                     0x43, 0xC6, 0xF8, 0x25, 0x9A, 0xAC, 0xC7, 0xEF, 0x9D, 0x3E, 0xCB,
                     0xBD, 0x98, 0xFC, 0x63, 0xAB, 0x41, 0xE1, 0xAD, 0x68, 0xD0}));
    Bytes key(16);
    for (int i = 0; i < 16; ++i)
        key[i] = uint8(i);
    CL_Blob keyBlob = BlobOf(key);
    aes.SetKey(keyBlob);
    EXPECT_EQ(Encrypted(aes, Plain(20)),
              (Bytes{0x5B, 0xFE, 0x45, 0xE2, 0x53, 0xB8, 0x76, 0x1D, 0xE6, 0x5A,
                     0x5B, 0x57, 0xDF, 0x78, 0xB0, 0x0F, 0x77, 0xD6, 0x35, 0x94}));
}

// The table code and the AES instructions agree block for block.
TEST(Cipher, AESHardwareAndPortableAgree) {
    Bytes keyBytes(16);
    for (int i = 0; i < 16; ++i)
        keyBytes[i] = uint8(i);
    uint32 key[4];
    memcpy(key, keyBytes.data(), 16);  // little-endian host
    uint32 enc[44], dec[44];
    lumo_aes::ExpandKey(key, enc, dec);
    Bytes data = Plain(16 * 9);
    Bytes portable = data;
    lumo_aes::EncryptPortable(enc, portable.data(), 9);
    EXPECT_EQ(Bytes(portable.begin(), portable.begin() + 16),
              (Bytes{0x5B, 0xFE, 0x45, 0xE2, 0x53, 0xB8, 0x76, 0x1D, 0xE6, 0x5A, 0x5B, 0x57, 0xDF,
                     0x78, 0xB0, 0x0F}));
    Bytes back = portable;
    lumo_aes::DecryptPortable(dec, back.data(), 9);
    EXPECT_EQ(back, data);
    if (!lumo_aes::HardwareAvailable()) GTEST_SKIP() << "no AES instructions";
    Bytes hardware = data;
    lumo_aes::EncryptHardware(enc, hardware.data(), 9);  // 4 + 4 + 1 blocks
    EXPECT_EQ(hardware, portable);
    lumo_aes::DecryptHardware(dec, hardware.data(), 9);
    EXPECT_EQ(hardware, data);
}

TEST(Cipher, AESShortKeys) {
    Bytes twelve = Plain(12);
    Bytes padded = twelve;
    padded.resize(16, 0);
    Bytes thirteen = Plain(13);
    CL_AESCipher a, b, c;
    CL_Blob k12 = BlobOf(twelve), k16 = BlobOf(padded), k13 = BlobOf(thirteen);
    a.SetKey(k12);
    b.SetKey(k16);
    c.SetKey(k13);
    Bytes plain = Plain(40);
    EXPECT_EQ(Encrypted(a, plain), Encrypted(b, plain));
    EXPECT_EQ(Encrypted(c, plain), Encrypted(a, plain));
    // Bytes past the 16th are ignored.
    Bytes long20 = Plain(20);
    Bytes first16(long20.begin(), long20.begin() + 16);
    CL_Blob k20 = BlobOf(long20), kf = BlobOf(first16);
    a.SetKey(k20);
    b.SetKey(kf);
    EXPECT_EQ(Encrypted(a, plain), Encrypted(b, plain));
}

TEST(Cipher, BlowfishVectors) {
    CL_BlowfishCipher bf;
    EXPECT_EQ(Encrypted(bf, Plain(20)),
              (Bytes{0xFE, 0xDB, 0xA4, 0x26, 0x8B, 0x8C, 0x1E, 0x9E, 0xF6, 0xD3,
                     0xAC, 0x2E, 0x83, 0x84, 0x16, 0x96, 0x53, 0x9E, 0x59, 0x04}));
    CL_Blob key("password");
    bf.SetKey(key);
    EXPECT_EQ(Encrypted(bf, Plain(24)),
              (Bytes{0xE5, 0x28, 0x98, 0x83, 0x89, 0x44, 0x5B, 0xF6, 0xED, 0x20, 0x90, 0x8B,
                     0x81, 0x4C, 0x53, 0xFE, 0x95, 0x58, 0xE8, 0xF3, 0xF9, 0x34, 0x2B, 0x86}));
}

TEST(Cipher, BlowfishKeyStateIsTwoWordsRepeated) {
    BlowfishProbe fresh;
    EXPECT_EQ(fresh.P()[0], 0xCC9F6D70u);
    EXPECT_EQ(fresh.P()[1], 0x3AD29217u);
    EXPECT_EQ(fresh.S()[0], 0x3A8A71BEu);
    EXPECT_EQ(fresh.S()[1], 0x93A4B2A1u);
    const char* keys[] = {"", "a", "password",
                          "a key longer than seventy-two bytes, which wraps "
                          "around the P table more than once ......"};
    for (const char* k : keys) {
        BlowfishProbe probe;
        CL_Blob key(k);
        probe.SetKey(key);
        for (int i = 2; i < 18; ++i)
            EXPECT_EQ(probe.P()[i], probe.P()[i & 1]) << k << i;
        for (int i = 2; i < 1024; ++i)
            EXPECT_EQ(probe.S()[i], probe.S()[i & 1]) << k << i;
        if (!*k) {
            EXPECT_EQ(0, memcmp(probe.P(), fresh.P(), 18 * 4));
            EXPECT_EQ(0, memcmp(probe.S(), fresh.S(), 1024 * 4));
        }
    }
}

// Every cipher, every run length 0..40 at positions 0..3: the bytes before the
// position and after the run stay, position and size stay, the run equals the same
// bytes enciphered on their own, and decryption restores them.
TEST(Cipher, RunsAtEveryPositionAndLength) {
    CL_Blob key("frame test key");
    std::vector<std::unique_ptr<CL_Cipher>> ciphers;
    ciphers.emplace_back(new CL_TEACipher);
    ciphers.emplace_back(new CL_AESCipher);
    ciphers.emplace_back(new CL_BlowfishCipher);
    for (auto& cipher : ciphers) {
        cipher->SetKey(key);
        for (uint32 pos = 0; pos <= 3; ++pos) {
            for (uint32 len = 0; len <= 40; ++len) {
                Bytes plain = Plain(pos + len + 5);
                CL_Blob blob = BlobOf(plain);
                blob.Seek(int32(pos), CL_SEEK_SET);
                cipher->Encrypt(blob, len);
                ASSERT_EQ(blob.Tell(), pos);
                ASSERT_EQ(blob.GetSize(), plain.size());
                Bytes out = BytesOf(blob);
                Bytes alone(plain.begin() + pos, plain.begin() + pos + len);
                Bytes expected = Encrypted(*cipher, alone);
                EXPECT_TRUE(std::equal(out.begin(), out.begin() + pos, plain.begin()));
                EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin() + pos))
                    << pos << " " << len;
                EXPECT_TRUE(
                    std::equal(out.begin() + pos + len, out.end(), plain.begin() + pos + len));
                if (len >= 8) {
                    EXPECT_FALSE(std::equal(alone.begin(), alone.end(), out.begin() + pos));
                }
                cipher->Decrypt(blob, len);
                EXPECT_EQ(BytesOf(blob), plain) << pos << " " << len;
            }
        }
    }
}

TEST(Cipher, CountIsCutToTheEnd) {
    CL_BlowfishCipher bf;
    Bytes plain = Plain(29);
    CL_Blob blob = BlobOf(plain);
    blob.Seek(3, CL_SEEK_SET);
    bf.Encrypt(blob, 0xFFFFFFFF);
    EXPECT_EQ(blob.Tell(), 3u);
    Bytes out = BytesOf(blob);
    EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + 3, out.begin()));
    // 26 bytes: three blocks and a 2-byte tail.
    Bytes rest(plain.begin() + 3, plain.end());
    Bytes expected = Encrypted(bf, rest);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin() + 3));
    bf.Decrypt(blob, 1000);
    EXPECT_EQ(BytesOf(blob), plain);

    // At the end there is nothing to do.
    blob.Seek(0, CL_SEEK_END);
    bf.Encrypt(blob, 0xFFFFFFFF);
    EXPECT_EQ(BytesOf(blob), plain);
    CL_Blob empty;
    bf.Encrypt(empty, 0xFFFFFFFF);
    EXPECT_EQ(empty.GetSize(), 0u);
}

TEST(Cipher, SharedBufferStaysUnchanged) {
    CL_AESCipher aes;
    Bytes plain = Plain(40);
    CL_Blob original = BlobOf(plain);
    original.Rewind();
    CL_Blob copy = original;
    aes.Encrypt(copy, 0xFFFFFFFF);
    EXPECT_EQ(BytesOf(original), plain);
    EXPECT_NE(BytesOf(copy), plain);
    CL_Blob again = copy;
    aes.Decrypt(again, 0xFFFFFFFF);
    EXPECT_EQ(BytesOf(again), plain);
    EXPECT_NE(BytesOf(copy), plain);
}

TEST(Cipher, CopiesAreIndependent) {
    CL_BlowfishCipher a;
    CL_Blob key("first");
    a.SetKey(key);
    CL_BlowfishCipher b;
    b = a;
    Bytes fromA = Encrypted(a, Plain(16));
    CL_Blob other("second");
    a.SetKey(other);
    EXPECT_EQ(Encrypted(b, Plain(16)), fromA);
    EXPECT_NE(Encrypted(a, Plain(16)), fromA);
}

}  // namespace
