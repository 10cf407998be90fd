// Symmetric ciphers that work in place on a blob: a TEA-family cipher, AES-128 with
// little-endian words and a Blowfish-family cipher. All run each block on its own
// (no chaining, no padding); the bytes after the last whole block go through a
// keyless byte-wise rule, so the output always has the length of the input.
#pragma once

#include "lumo/allocator.h"
#include "lumo/base_types.h"

class CL_Blob;

// Cipher interface; the base class itself leaves every blob unchanged.
// Encrypt and Decrypt handle `count` bytes from the blob's position (0xFFFFFFFF:
// all of them), never move the position and never change the size. They only read
// the key state, so one object may serve several threads while nobody rekeys it.
class CL_Cipher : public CL_Object {
public:
    CL_Cipher() = default;
    virtual ~CL_Cipher();
    virtual void SetKey(CL_Blob& key);
    virtual void SetOption(int32 option, int32 value);
    virtual void SetOption(int32 option, const char* value);
    virtual void Encrypt(CL_Blob& blob, uint32 count);
    virtual void Decrypt(CL_Blob& blob, uint32 count);

protected:
    // Makes the blob's buffer private and returns the run to process: its start
    // and, in `length`, its size (`count` cut to the bytes from the position on).
    static uint8* Run(CL_Blob& blob, uint32 count, uint32* length);
    // The keyless rule for the bytes after the last whole block.
    static void EncryptTail(uint8* data, uint32 size, uint8 constant);
    static void DecryptTail(uint8* data, uint32 size, uint8 constant);
};

// Shared between threads as CL_Cipher is.
// TEA-family cipher on 8-byte blocks, with a round that adds where published TEA
// XORs and a configurable number of rounds.
class CL_TEACipher : public CL_Cipher {
public:
    enum {
        CL_CRYPT_TYPE = 0,
    };
    enum {
        CL_CRYPT_FAST = 8,
        CL_CRYPT_NORMAL = 16,
        CL_CRYPT_BEST = 32,
    };

    CL_TEACipher();
    CL_TEACipher(const CL_TEACipher&) = default;
    CL_TEACipher& operator=(const CL_TEACipher&) = default;

    // Folds the key bytes onto 16 bytes (XOR) read as four little-endian words.
    void SetKey(CL_Blob& key) override;
    // CL_CRYPT_TYPE sets the number of rounds; other options are ignored.
    void SetOption(int32 option, int32 value) override;
    using CL_Cipher::SetOption;
    void Encrypt(CL_Blob& blob, uint32 count) override;
    void Decrypt(CL_Blob& blob, uint32 count) override;

protected:
    uint32 fKey[4];
    int32 fType;
};

// Shared between threads as CL_Cipher is.
// AES-128 whose block and key are read as little-endian words in place of the
// standard big-endian columns. Uses the processor's AES instructions when present.
class CL_AESCipher : public CL_Cipher {
public:
    CL_AESCipher();
    CL_AESCipher(const CL_AESCipher&) = default;
    CL_AESCipher& operator=(const CL_AESCipher&) = default;

    // Reads four little-endian words from the key's start (missing words are 0);
    // moves the key's position.
    void SetKey(CL_Blob& key) override;
    void Encrypt(CL_Blob& blob, uint32 count) override;
    void Decrypt(CL_Blob& blob, uint32 count) override;

protected:
    uint32 fEncKey[44];
    uint32 fDecKey[44];
};

// Shared between threads as CL_Cipher is.
// Blowfish-structured cipher with its own starting tables and a key schedule that
// enciphers zero blocks without chaining. Keyed with an empty key it serves password
// hashing and UUID generation.
class CL_BlowfishCipher : public CL_Cipher {
public:
    CL_BlowfishCipher();
    CL_BlowfishCipher(const CL_BlowfishCipher&) = default;
    CL_BlowfishCipher& operator=(const CL_BlowfishCipher&) = default;

    void SetKey(CL_Blob& key) override;
    void Encrypt(CL_Blob& blob, uint32 count) override;
    void Decrypt(CL_Blob& blob, uint32 count) override;

protected:
    void SetKey(const uint8* key, uint32 size);

    uint32 fP[18];
    uint32 fS[1024];
};
