// The blob operations that rest on the digests and the compressor.
#include "lumo/blob.h"
#include "lumo/compress.h"
#include "lumo/digest.h"

namespace {

// Setting up the zlib streams costs far more than compressing a small payload, so each
// thread keeps one compressor and resets it for every blob.
CL_Compressor& ThreadCompressor() {
    thread_local CL_Compressor sCompressor;
    sCompressor.Reset();
    return sCompressor;
}

}  // namespace

std::string CL_Blob::MD5() const {
    return CLU_MD5(*this).Get();
}
std::string CL_Blob::SHA1() const {
    return CLU_SHA1(*this).Get();
}
std::string CL_Blob::SHA256() const {
    return CLU_SHA256(*this).Get();
}

void CL_Blob::Compress() {
    Detach();
    CL_Compressor& compressor = ThreadCompressor();
    CL_Blob output;
    // The first call takes every byte from the position, the next ends the stream.
    while (compressor.Compress(*this, output, 0x7FFFFFFF) == CL_Compressor::CL_COMPRESS_MORE) {
    }
    *this = output;
}

bool CL_Blob::Uncompress(bool /*returnPartial*/) {
    uint32 pos = Tell();
    Detach();
    Seek(0, CL_SEEK_SET);
    CL_Compressor& compressor = ThreadCompressor();
    CL_Blob output;
    // Success needs the stream's end: a stream cut short is as unusable as a
    // corrupt one, and CL_COMPRESS_END alone also comes back once the input is used up.
    bool ended = false;
    for (;;) {
        bool hadInput = Tell() < GetSize();
        CL_Status status = compressor.Uncompress(*this, output, 0x7FFFFFFF);
        if (status == CL_Compressor::CL_COMPRESS_MORE) continue;
        ended = status == CL_Compressor::CL_COMPRESS_END && hadInput;
        break;
    }
    if (!ended) {
        Seek(int32(pos), CL_SEEK_SET);
        return false;
    }
    *this = output;
    return true;
}
