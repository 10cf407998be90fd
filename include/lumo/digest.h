// One-shot message digests: MD5 (RFC 1321), SHA-1 and SHA-256 (FIPS 180-4),
// computed once over a blob's whole content or a string's bytes and read back
// as raw bytes or upper-case hexadecimal text.
#pragma once

#include <string>

#include "lumo/allocator.h"
#include "lumo/base_types.h"

class CL_Blob;

// The digests are values fixed at construction: any thread may read them.
// MD5 digest of a blob or a string; kept for the protocol's password and
// identity hashes, not for anything that needs collision resistance.
class CLU_MD5 : public CL_Object {
public:
    explicit CLU_MD5(const CL_Blob& data);
    explicit CLU_MD5(const std::string& text);

    // 32 upper-case hexadecimal characters.
    std::string Get() const;
    // Copies the 16 digest bytes to `data`.
    void Get(uint8* data) const;

private:
    void InitObject(const CL_Blob& data);

    union {
        uint8 fData[16];
        uint32 fWord[4];
    };
};

// SHA-1 digest of a blob or a string; UUID generation derives its UUIDs from it. Fixed
// at construction, as the MD5 digest.
class CLU_SHA1 : public CL_Object {
public:
    explicit CLU_SHA1(const CL_Blob& data);
    explicit CLU_SHA1(const std::string& text);

    // 40 upper-case hexadecimal characters.
    std::string Get() const;
    // Copies the 20 digest bytes to `data`.
    void Get(uint8* data) const;

private:
    void InitObject(const CL_Blob& data);

    union {
        uint8 fData[20];
        uint32 fWord[5];
    };
};

// SHA-256 digest of a blob or a string. Fixed at construction, as the MD5 digest.
class CLU_SHA256 : public CL_Object {
public:
    explicit CLU_SHA256(const CL_Blob& data);
    explicit CLU_SHA256(const std::string& text);

    // 64 upper-case hexadecimal characters.
    std::string Get() const;
    // Copies the 32 digest bytes to `data`.
    void Get(uint8* data) const;

private:
    void InitObject(const CL_Blob& data);

    union {
        uint8 fData[32];
        uint32 fWord[8];
    };
};
