// Bit fields of 1 to 32 bits over a blob, most significant bit first. Full 32-bit
// words are stored little-endian at the blob's position; the last partial word goes
// out byte by byte when the writer is flushed.
#pragma once

#include "lumo/allocator.h"
#include "lumo/base_types.h"

class CL_Blob;

// A reader or a writer of bit fields, chosen by the constructor. The blob is not
// owned and must outlive the stream. One thread at a time, and no other use of the
// blob while the stream works on it.
class CL_BitStream : public CL_Object {
public:
    // Reader over `blob`, starting at its position.
    explicit CL_BitStream(CL_Blob& blob);
    // Writer into `blob`, at its position.
    explicit CL_BitStream(CL_Blob* blob);
    ~CL_BitStream();
    CL_BitStream(const CL_BitStream&) = delete;
    CL_BitStream& operator=(const CL_BitStream&) = delete;

    // Appends the low `count` bits (1 to 32) of `bits`; `bits` must fit in them.
    void Write(uint32 bits, int32 count);
    // The next `count` bits (1 to 32), the first read being the most significant;
    // bits past the end of the data read as 0 and set EOS.
    uint32 Read(int32 count);
    // Stores the bits a writer still holds; a reader does nothing.
    void Flush();
    bool EOS() const { return fEOS; }

private:
    bool fReadOnly;
    bool fEOS;
    CL_Blob* fBlob;  // borrowed
    uint32 fWord;
    int32 fBitPos;
};
