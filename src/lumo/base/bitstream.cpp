// Bit stream reader and writer over a blob.
#include "lumo/bitstream.h"

#include "lumo/blob.h"

namespace {

inline uint32 LowBits(uint32 value, int32 count) {
    return count >= 32 ? value : value & ((uint32(1) << count) - 1);
}

// Shifts computed in 64 bits so that a shift by 32 is defined.
inline uint32 ShiftLeft(uint32 value, int32 count) {
    return static_cast<uint32>(uint64(value) << count);
}

}  // namespace

CL_BitStream::CL_BitStream(CL_Blob& blob)
    : fReadOnly(true), fEOS(false), fBlob(&blob), fWord(0), fBitPos(0) {}

CL_BitStream::CL_BitStream(CL_Blob* blob)
    : fReadOnly(false), fEOS(false), fBlob(blob), fWord(0), fBitPos(32) {}

CL_BitStream::~CL_BitStream() {
    Flush();
}

void CL_BitStream::Write(uint32 bits, int32 count) {
    if (fReadOnly || !fBlob || count < 1 || count > 32) return;
    if (count <= fBitPos) {
        fWord = ShiftLeft(fWord, count) | bits;
        fBitPos -= count;
        if (fBitPos == 0) {
            *fBlob += fWord;
            fWord = 0;
            fBitPos = 32;
        }
        return;
    }
    // The field straddles two words: its top bits complete this one.
    int32 rest = count - fBitPos;
    *fBlob += ShiftLeft(fWord, fBitPos) | (bits >> rest);
    fWord = LowBits(bits, rest);
    fBitPos = 32 - rest;
}

void CL_BitStream::Flush() {
    if (fReadOnly || !fBlob || fBitPos == 32) return;
    fWord = ShiftLeft(fWord, fBitPos);
    if (fBitPos >= 8) {
        // Up to 24 bits: whole bytes, most significant first, the last one padded.
        for (fBitPos &= ~7; fBitPos < 32; fBitPos += 8) {
            *fBlob += static_cast<uint8>(fWord >> 24);
            fWord = ShiftLeft(fWord, 8);
        }
    } else {
        // 25 to 31 bits do not fit in three bytes; a whole word is what Read takes
        // back whenever four bytes remain.
        *fBlob += fWord;
    }
    fWord = 0;
    fBitPos = 32;
}

uint32 CL_BitStream::Read(int32 count) {
    if (!fReadOnly || !fBlob || count < 1 || count > 32) return 0;
    uint32 result = 0;
    int32 need = count;
    while (need > 0) {
        if (fBitPos == 0) {
            uint32 size = fBlob->GetSize();
            uint32 pos = fBlob->Tell();
            uint32 left = pos < size ? size - pos : 0;
            if (left >= 4) {
                fWord << *fBlob;
                fBitPos = 32;
            } else if (left > 0) {
                // Near the end the data goes byte by byte; a field wider than one
                // byte takes as many bytes as it needs.
                uint8 byte = 0;
                byte << *fBlob;
                fWord = byte;
                fBitPos = 8;
            } else {
                fEOS = true;
                return ShiftLeft(result, need);
            }
        }
        int32 take = need < fBitPos ? need : fBitPos;
        result = ShiftLeft(result, take) | LowBits(fWord >> (fBitPos - take), take);
        fBitPos -= take;
        need -= take;
    }
    return result;
}
