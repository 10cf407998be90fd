// zlib streams between blobs. Output is written straight into the destination's
// spare capacity, which is grown in steps, so no intermediate buffer is needed.
#include "lumo/compress.h"

#include <cstring>

#include "lumo/blob.h"

namespace {

// Makes at least `want` bytes writable at dst's position (cut to what a blob may
// hold) and returns how many are; 0 when no room can be had.
uint32 Room(CL_Blob& dst, uint64 want) {
    uint64 pos = dst.Tell();
    uint64 limit = CL_Blob::kMaxSize - pos;
    if (want > limit) want = limit;
    uint64 free = dst.GetCapacity() - pos;
    if (free < want) {
        dst.SetCapacity(uint32(pos + want));
        free = dst.GetCapacity() >= pos ? dst.GetCapacity() - pos : 0;
    }
    return uint32(free < want ? free : want);
}

// dst ends after the `produced` bytes written at its position; anything that stood
// beyond is cut off and the position moves to the new end.
void Advance(CL_Blob& dst, uint32 produced) {
    uint32 end = dst.Tell() + produced;
    dst.SetSize(end);
    dst.Seek(int32(end), CL_SEEK_SET);
}

uint32 RunLength(CL_Blob& src, uint32 max) {
    uint32 size = src.GetSize();
    uint32 left = src.Tell() < size ? size - src.Tell() : 0;
    return max < left ? max : left;
}

}  // namespace

CL_Compressor::CL_Compressor() {
    memset(&fDeflateStream, 0, sizeof(fDeflateStream));
    memset(&fInflateStream, 0, sizeof(fInflateStream));
    deflateInit(&fDeflateStream, Z_DEFAULT_COMPRESSION);
    inflateInit(&fInflateStream);
}

CL_Compressor::~CL_Compressor() {
    deflateEnd(&fDeflateStream);
    inflateEnd(&fInflateStream);
}

void CL_Compressor::Reset() {
    deflateReset(&fDeflateStream);
    inflateReset(&fInflateStream);
}

CL_Status CL_Compressor::Compress(CL_Blob& src, CL_Blob& dst, uint32 max) {
    uint32 count = RunLength(src, max);
    // The stream is finished by the first call that finds src empty, whatever `max`
    // says, so every caller can complete its stream.
    bool hadData = src.Tell() < src.GetSize();
    int flush = hadData ? Z_NO_FLUSH : Z_FINISH;

    // One room of 110% of the input plus 1024 bytes normally takes all the output.
    uint64 step = uint64(count) * 110 / 100 + 1024;
    uint64 free = dst.GetCapacity() - dst.Tell();
    uint32 room = Room(dst, free < step ? step : free);

    fDeflateStream.next_in = const_cast<Bytef*>(src.GetDataForRead() + src.Tell());
    fDeflateStream.avail_in = count;
    src.Seek(int32(src.Tell() + count), CL_SEEK_SET);

    while (room) {
        fDeflateStream.next_out = dst.GetDataForWrite() + dst.Tell();
        fDeflateStream.avail_out = room;
        deflate(&fDeflateStream, flush);
        uint32 produced = room - fDeflateStream.avail_out;
        Advance(dst, produced);
        if (fDeflateStream.avail_out != 0) break;
        room = Room(dst, room);
    }
    fDeflateStream.next_in = nullptr;
    fDeflateStream.avail_in = 0;
    return hadData ? CL_COMPRESS_MORE : CL_COMPRESS_END;
}

CL_Status CL_Compressor::Uncompress(CL_Blob& src, CL_Blob& dst, uint32 max) {
    uint32 count = RunLength(src, max);
    if (count == 0) return CL_COMPRESS_END;

    // Small inputs get 2.5 times their size; larger ones four times (deflated text and
    // result sets shrink about that much), so that a whole payload usually inflates
    // into one room instead of a kibibyte that doubles a dozen times.
    uint64 five = uint64(count) * 5;
    uint64 step = five < 2050 ? five / 2 : uint64(count) * 4;
    uint64 free = dst.GetCapacity() - dst.Tell();
    uint32 room = Room(dst, free < step ? step : free);

    fInflateStream.next_in = const_cast<Bytef*>(src.GetDataForRead() + src.Tell());
    fInflateStream.avail_in = count;
    int z = Z_BUF_ERROR;
    for (;;) {
        if (room == 0) {
            // The output would pass what a blob can hold.
            z = Z_DATA_ERROR;
            break;
        }
        fInflateStream.next_out = dst.GetDataForWrite() + dst.Tell();
        fInflateStream.avail_out = room;
        z = inflate(&fInflateStream, Z_NO_FLUSH);
        Advance(dst, room - fInflateStream.avail_out);
        if (z == Z_MEM_ERROR) {
            fInflateStream.next_in = nullptr;
            fInflateStream.avail_in = 0;
            return CL_COMPRESS_CORRUPT;
        }
        if (z == Z_NEED_DICT || z == Z_DATA_ERROR || z == Z_STREAM_ERROR) break;
        // An output that ends exactly at the room's end needs no more room.
        if (z == Z_STREAM_END || fInflateStream.avail_out != 0) break;
        // Rooms double (up to 1 MiB) so that a large output is not reallocated
        // and inflated a kibibyte at a time.
        room = Room(dst, room < (1u << 20) ? uint64(room) * 2 : room);
    }
    fInflateStream.next_in = nullptr;
    fInflateStream.avail_in = 0;

    switch (z) {
        case Z_OK:
        case Z_BUF_ERROR:
            src.Seek(int32(src.Tell() + count), CL_SEEK_SET);
            return CL_COMPRESS_MORE;
        case Z_STREAM_END:
            src.Seek(int32(src.Tell() + count), CL_SEEK_SET);
            return CL_COMPRESS_END;
        default:
            return CL_COMPRESS_CORRUPT;
    }
}
