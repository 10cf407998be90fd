// Frame checksum and CRC-32 of a blob's whole content.
#include <zlib.h>

#include <bit>
#include <cstring>

#include "lumo/base/byte_order.h"
#include "lumo/blob.h"

namespace {

using lumo_bytes::LoadLE;

// Sum of the little-endian 32-bit words in `count` 8-byte groups, modulo 2^32.
// Addition modulo 2^32 is order-free, so the words are summed in vector lanes
// with several independent accumulators to keep up with memory bandwidth.
uint32 SumWords(const uint8* p, uint64 count) {
    uint32 sum = 0;
    if constexpr (std::endian::native == std::endian::little) {
        typedef uint32 V4 __attribute__((vector_size(16)));
        V4 a = {0, 0, 0, 0}, b = a, c = a, d = a;
        while (count >= 8) {
            V4 w0, w1, w2, w3;
            memcpy(&w0, p, 16);
            memcpy(&w1, p + 16, 16);
            memcpy(&w2, p + 32, 16);
            memcpy(&w3, p + 48, 16);
            a += w0;
            b += w1;
            c += w2;
            d += w3;
            p += 64;
            count -= 8;
        }
        V4 t = a + b + c + d;
        sum = t[0] + t[1] + t[2] + t[3];
    }
    for (; count; --count, p += 8)
        sum += LoadLE(p) + LoadLE(p + 4);
    return sum;
}

}  // namespace

uint32 CL_Blob::CheckSum() const {
    const uint8* p = GetDataForRead();
    uint32 n = GetSize();
    uint32 sum = 0;
    if (n & 1) sum += *p++;
    if (n & 2) {
        sum += LoadLE<uint16>(p);
        p += 2;
    }
    if (n & 4) {
        sum += LoadLE(p);
        p += 4;
    }
    return sum + SumWords(p, n / 8);
}

uint32 CL_Blob::CRC32() const {
    uint32 n = GetSize();
    if (n == 0) return 0;
    return static_cast<uint32>(crc32(0L, GetDataForRead(), n));
}
