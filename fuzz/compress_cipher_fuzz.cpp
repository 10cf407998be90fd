// Fuzz target for uncompressing and deciphering arbitrary bytes, whole and piece by
// piece, and for the round trips: what is compressed uncompresses to itself, in any
// pieces, and what is enciphered deciphers to itself under every cipher.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "lumo/blob.h"
#include "lumo/cipher.h"
#include "lumo/compress.h"
#include "lumo/status.h"

namespace {

void Ciphers(const std::string& key, const std::string& text, uint32 offset) {
    std::unique_ptr<CL_Cipher> ciphers[3] = {std::make_unique<CL_TEACipher>(),
                                             std::make_unique<CL_AESCipher>(),
                                             std::make_unique<CL_BlowfishCipher>()};
    for (auto& cipher : ciphers) {
        CL_Blob keyBlob(key);
        keyBlob.Rewind();
        cipher->SetKey(keyBlob);
        CL_Blob blob(text);
        blob.Seek(static_cast<int32>(offset), CL_SEEK_SET);
        uint32 at = blob.Tell();
        cipher->Encrypt(blob, 0xFFFFFFFF);
        if (blob.Tell() != at || blob.GetSize() != text.size()) abort();
        if (blob.Raw().compare(0, at, text, 0, at) != 0) abort();
        cipher->Decrypt(blob, 0xFFFFFFFF);
        if (blob.Raw() != text) abort();
        // Arbitrary bytes decipher without fault, a part of them too.
        CL_Blob hostile(text);
        hostile.Rewind();
        cipher->Decrypt(hostile, offset);
        if (hostile.GetSize() != text.size()) abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    uint32 piece = data[0] % 64 + 1;
    uint32 offset = data[1] % 32;
    std::string text(reinterpret_cast<const char*>(data + 2), size - 2);

    // Arbitrary bytes as a compressed stream: whole, and piece by piece.
    CL_Blob whole(text);
    (void)whole.Uncompress(true);
    CL_Blob stream(text);
    stream.Rewind();
    CL_Blob out;
    CL_Compressor inflater;
    CL_Status status = CL_Compressor::CL_COMPRESS_MORE;
    for (int calls = 0; status == CL_Compressor::CL_COMPRESS_MORE; calls++) {
        if (calls > 70000) abort();
        uint32 at = stream.Tell();
        status = inflater.Uncompress(stream, out, piece);
        if (status == CL_Compressor::CL_COMPRESS_CORRUPT && stream.Tell() != at) abort();
        if (out.GetSize() > (64u << 20)) break;
    }

    // Round trips.
    CL_Blob packed(text);
    packed.Rewind();
    packed.Compress();
    CL_Blob unpacked(packed);
    if (!unpacked.Uncompress(false) || unpacked.Raw() != text) abort();

    CL_Compressor compressor;
    CL_Blob src(text), piecewise;
    src.Rewind();
    while (compressor.Compress(src, piecewise, piece) == CL_Compressor::CL_COMPRESS_MORE) {
    }
    piecewise.Rewind();
    CL_Blob back;
    status = CL_Compressor::CL_COMPRESS_MORE;
    while (status == CL_Compressor::CL_COMPRESS_MORE)
        status = compressor.Uncompress(piecewise, back, piece);
    if (status != CL_Compressor::CL_COMPRESS_END || back.Raw() != text) abort();

    Ciphers(text.substr(0, 24), text, offset);
    return 0;
}
