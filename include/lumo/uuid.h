// 16-byte universally unique identifiers with a cached upper-case text form. New ones
// hash a time-based layout (100 ns clock, clock sequence, node id from the primary MAC
// address) with SHA-1 and carry the version-5 and RFC 4122 variant bits.
#pragma once

#include <string>

#include "lumo/allocator.h"
#include "lumo/base_types.h"

class CL_Blob;

// A UUID value; the bytes are in RFC 4122 order (multi-byte fields big-endian).
// One thread at a time, reading included: the text form is cached in a mutable
// buffer on first use.
class CLU_UUID : public CL_Object {
public:
    // Generates a new UUID, unique within the process even across threads.
    CLU_UUID();
    // The nil UUID, whatever the argument.
    explicit CLU_UUID(int null);
    // 32 hexadecimal digits of either case, dashes anywhere; anything else is nil.
    explicit CLU_UUID(const std::string& uuid);
    // The first 16 bytes of the blob's content; nil when it holds fewer.
    explicit CLU_UUID(CL_Blob& uuid);
    CLU_UUID(const CLU_UUID& copy);
    CLU_UUID& operator=(const CLU_UUID& copy);

    bool operator==(const CLU_UUID& uuid) const;
    bool operator!=(const CLU_UUID& uuid) const { return !(*this == uuid); }

    // data becomes the 16 bytes, positioned at 0.
    void GetRaw(CL_Blob& data) const;
    // The 16 bytes, writable: the cached text is dropped, since the caller may change them.
    uint8* GetRawPtr() {
        fBuffer[0] = 0;
        return fUUID.fData;
    }
    // "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", upper case.
    std::string Get() const { return std::string(ConvertToString()); }
    operator std::string() const { return Get(); }
    operator const char*() const { return ConvertToString(); }
    operator char*() const { return const_cast<char*>(ConvertToString()); }
    bool IsNull() const;

    static CLU_UUID Null() { return CLU_UUID(0); }

private:
    const char* ConvertToString() const;

    union {
        uint8 fData[16];
        struct {
            uint32 fTimeLow;
            uint16 fTimeMid;
            uint16 fTimeHiAndVersion;
            uint8 fClockHiAndReserved;
            uint8 fClockLow;
            uint8 fNode[6];
        } fFields;
    } fUUID;
    mutable char fBuffer[37];  // cached text; written by const readers
};
