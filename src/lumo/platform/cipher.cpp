// The cipher interface and the frame every cipher shares: the run at the blob's
// position and the keyless rule for the bytes after the last whole block.
#include "lumo/cipher.h"

#include "lumo/blob.h"

CL_Cipher::~CL_Cipher() {}
void CL_Cipher::SetKey(CL_Blob&) {}
void CL_Cipher::SetOption(int32, int32) {}
void CL_Cipher::SetOption(int32, const char*) {}
void CL_Cipher::Encrypt(CL_Blob&, uint32) {}
void CL_Cipher::Decrypt(CL_Blob&, uint32) {}

uint8* CL_Cipher::Run(CL_Blob& blob, uint32 count, uint32* length) {
    // Other blobs sharing the buffer must keep the old bytes.
    blob.Detach();
    uint32 size = blob.GetSize();
    uint32 pos = blob.Tell();
    uint8* data = blob.GetDataForWrite();
    if (!data) {
        *length = 0;  // out of memory for a private copy: nothing is processed
        return nullptr;
    }
    // A position past the end leaves nothing to process rather than reading beyond.
    uint32 left = pos < size ? size - pos : 0;
    *length = count < left ? count : left;
    return data + (pos < size ? pos : size);
}

// The k-th tail byte (k from 1) is rotated left by 5 bits and XORed with
// (constant * k) mod 256; decryption undoes it in reverse order of operations.
void CL_Cipher::EncryptTail(uint8* data, uint32 size, uint8 constant) {
    for (uint32 k = 1; k <= size; ++k) {
        uint8 b = data[k - 1];
        uint8 m = uint8(constant * k);
        data[k - 1] = uint8((b << 5) | (b >> 3)) ^ m;
    }
}

void CL_Cipher::DecryptTail(uint8* data, uint32 size, uint8 constant) {
    for (uint32 k = 1; k <= size; ++k) {
        uint8 b = data[k - 1] ^ uint8(constant * k);
        data[k - 1] = uint8((b >> 5) | (b << 3));
    }
}
