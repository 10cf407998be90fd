// Compression between blobs in the zlib stream format (RFC 1950) at zlib's default
// level, the format of compressed RPC payloads. CL_Blob::Compress and
// CL_Blob::Uncompress convert a whole blob; CL_Compressor works piece by piece.
#pragma once

#include <zlib.h>

#include "lumo/base_types.h"

class CL_Blob;

// One deflate stream and one inflate stream that keep their state across calls, so
// that a stream can be produced or consumed in pieces; Reset starts new ones. One
// thread at a time (CL_Blob::Compress and Uncompress keep one per thread).
class CL_Compressor {
public:
    enum : CL_Status {
        CL_COMPRESS_MORE = CL_OK,  // bytes were taken: call again
        CL_COMPRESS_CORRUPT = CL_STREAM_CORRUPT,
        CL_COMPRESS_END = CL_STREAM_END,
    };

    CL_Compressor();
    ~CL_Compressor();
    CL_Compressor(const CL_Compressor&) = delete;
    CL_Compressor& operator=(const CL_Compressor&) = delete;

    void Reset();

    // Feeds up to `max` bytes from src's position into the deflate stream and writes
    // the output at dst's position (dst ends there). CL_COMPRESS_MORE while src had
    // bytes; once src is at its end the call finishes the stream and returns
    // CL_COMPRESS_END.
    CL_Status Compress(CL_Blob& src, CL_Blob& dst, uint32 max);

    // Feeds up to `max` bytes from src's position into the inflate stream and writes
    // the output at dst's position. CL_COMPRESS_MORE: more to come; CL_COMPRESS_END: the
    // stream ended (bytes after it are skipped) or src had nothing left;
    // CL_COMPRESS_CORRUPT: corrupt input, src's position unchanged.
    CL_Status Uncompress(CL_Blob& src, CL_Blob& dst, uint32 max);

private:
    z_stream fDeflateStream;
    z_stream fInflateStream;
};
