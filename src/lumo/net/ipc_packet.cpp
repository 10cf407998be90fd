// Packet building and parsing shared by the RPC client and server: headers per packet
// type, progress encoding, the connection cipher, the checksum / compression / cipher
// pipeline in both directions, and chunking over a socket.
#include <cmath>
#include <zlib.h>

#include <cstddef>
#include <cstring>
#include <new>

#include "lumo/cipher.h"
#include "lumo/ipc.h"
#include "lumo/socket.h"

namespace {

constexpr uint32 kHeaderSize = sizeof(CL_PacketHeader);
// Inflated output is grown ahead by at most this much at a time: the sizes that
// drive the growth come from the wire.
constexpr uint64 kMaxGrowStep = 16u << 20;

// Whether a packet of this type marks its first chunk. A PING is a single chunk
// recognised by its type, and a DISCOVER datagram goes out with flags 0.
bool MarksFirstChunk(uint16 type) {
    return type != CL_PACKET_TYPE_PING && type != CL_PACKET_TYPE_DISCOVER;
}

}  // namespace

CL_PacketHeader CL_ChunkHeader(const CL_PacketHeader& header, uint32 offset, uint32 left) {
    CL_PacketHeader chunk = header;
    chunk.fSize = left;
    if (offset == 0 && MarksFirstChunk(header.fType))
        chunk.fFlags |= CL_IPC_FIRST_CHUNK;
    else
        chunk.fFlags &= uint16(~CL_IPC_FIRST_CHUNK);
    return chunk;
}

void CL_InitPacketHeader(CL_PacketHeader* header, CL_PacketType type, uint16 flags,
                         uint32 sequence) {
    memset(header, 0, sizeof(*header));
    header->fMagic = CL_IPC_MAGIC;
    header->fVersion = CL_IPC_VERSION;
    header->fType = uint16(type);
    header->fFlags = flags;
    header->fSequence = sequence;
}

CL_Status CL_CheckPacketHeader(const CL_PacketHeader& header) {
    return header.fMagic == CL_IPC_MAGIC ? CL_OK : CL_PROTOCOL_NOT_SUPPORTED;
}

CL_Status CL_CheckRequestHeader(const CL_PacketHeader& header) {
    if (header.fMagic != CL_IPC_MAGIC) return CL_IPC_BAD_REQUEST;
    if (header.fVersion > CL_IPC_VERSION) return CL_PROTOCOL_NOT_SUPPORTED;
    if (header.fType != CL_PACKET_TYPE_PING && (header.fFlags & CL_IPC_FIRST_CHUNK) &&
        header.fSize > CL_Blob::kMaxSize)
        return CL_IPC_BAD_REQUEST;
    return CL_OK;
}

void CL_CopyPacketArguments(const CL_PacketHeader& from, CL_PacketHeader* to) {
    constexpr size_t kArguments = offsetof(CL_PacketHeader, fPing);
    memcpy(reinterpret_cast<uint8*>(to) + kArguments,
           reinterpret_cast<const uint8*>(&from) + kArguments, kHeaderSize - kArguments);
}

void CL_MakeDiscoverRequest(CL_PacketHeader* header) {
    CL_InitPacketHeader(header, CL_PACKET_TYPE_DISCOVER, 0, 0);
}

void CL_MakeServerInfoRequest(CL_PacketHeader* header, uint32 sequence) {
    CL_InitPacketHeader(header, CL_PACKET_TYPE_SERVER_INFO, CL_IPC_FIRST_CHUNK, sequence);
}

void CL_MakeAuthRequest(CL_PacketHeader* header, uint32 sequence, uint32 connectionFlags) {
    CL_InitPacketHeader(header, CL_PACKET_TYPE_AUTH, CL_IPC_FIRST_CHUNK, sequence);
    header->fConnection.fFlags = connectionFlags;
}

void CL_MakeDataRequest(CL_PacketHeader* header, uint32 sequence, CL_Command command,
                        uint16 connectionFlags) {
    CL_InitPacketHeader(header, CL_PACKET_TYPE_DATA, connectionFlags | CL_IPC_FIRST_CHUNK,
                        sequence);
    header->fData.fCommand = command;
}

void CL_MakeAbortRequest(CL_PacketHeader* header, uint32 sequence) {
    CL_InitPacketHeader(header, CL_PACKET_TYPE_ABORT, CL_IPC_FIRST_CHUNK, sequence);
}

void CL_MakeAbortAllRequest(CL_PacketHeader* header) {
    CL_InitPacketHeader(header, CL_PACKET_TYPE_ABORT_ALL, CL_IPC_FIRST_CHUNK, 0);
}

void CL_MakeServerInfoReply(const CL_PacketHeader& request, uint64 serverID,
                            CL_PacketHeader* reply) {
    CL_PacketHeader copy = request;
    copy.fFlags |= CL_IPC_FIRST_CHUNK;
    copy.fSize = 0;
    copy.fServer.fID = serverID;
    *reply = copy;
}

void CL_MakeAuthReply(const CL_PacketHeader& request, uint16 grantedFlags, uint32 clientID,
                      CL_PacketHeader* reply) {
    CL_PacketHeader copy = request;
    copy.fFlags = grantedFlags | CL_IPC_FIRST_CHUNK;
    copy.fSize = 0;
    copy.fConnection.fID = clientID;
    *reply = copy;
}

void CL_MakeNoAuthReply(const CL_PacketHeader& request, uint32 error, CL_PacketHeader* reply) {
    CL_PacketHeader copy = request;
    copy.fType = CL_PACKET_TYPE_NO_AUTH;
    copy.fFlags |= CL_IPC_FIRST_CHUNK;
    copy.fSize = 0;
    copy.fConnection.fError = error;
    *reply = copy;
}

void CL_MakeReply(const CL_PacketHeader& request, CL_PacketType type, uint16 connectionFlags,
                  CL_PacketHeader* reply) {
    CL_PacketHeader copy = request;
    copy.fType = uint16(type);
    copy.fSize = 0;
    if (type == CL_PACKET_TYPE_ABORT) {
        copy.fFlags = CL_IPC_FIRST_CHUNK;
        copy.fData.fCheckSum = 0;
    } else {
        copy.fFlags = uint16((request.fFlags & ~CL_IPC_COMPRESS) |
                             (connectionFlags & CL_IPC_COMPRESS) | CL_IPC_FIRST_CHUNK);
    }
    *reply = copy;
}

uint16 CL_EncodeCompleteness(double percent) {
    if (!(percent >= 0.0)) return CL_IPC_COMPLETENESS_UNKNOWN;  // negative or NaN
    if (percent > 100.0) percent = 100.0;
    return uint16(percent * 655.34);
}

double CL_DecodeCompleteness(uint16 value) {
    if (value == CL_IPC_COMPLETENESS_UNKNOWN) return -1.0;
    return value / 655.34;
}

void CL_MakePing(CL_PacketHeader* header, CL_Blob* payload, uint32 sequence, double percent,
                 const std::string* message) {
    CL_InitPacketHeader(header, CL_PACKET_TYPE_PING, 0, sequence);
    header->fPing.fCompleteness = CL_EncodeCompleteness(percent);
    if (payload) payload->Clear();
    if (!message || !payload) return;
    size_t length = message->size();
    // Stop at an embedded NUL too: the receiver reads the text up to the first one.
    size_t nul = message->find('\0');
    if (nul != std::string::npos) length = nul;
    if (length > CL_IPC_MAX_PING_MESSAGE) length = CL_IPC_MAX_PING_MESSAGE;
    payload->SetSize(uint32(length) + 1);
    uint8* data = payload->GetDataForWrite();
    if (payload->GetSize() != length + 1 || !data) {
        payload->Clear();  // out of memory: a ping without its message
        return;
    }
    memcpy(data, message->data(), length);
    data[length] = 0;
    payload->Seek(0, CL_SEEK_SET);
    header->fSize = uint32(length) + 1;
}

std::string CL_GetPingMessage(const CL_Blob& payload) {
    const char* data = reinterpret_cast<const char*>(payload.GetDataForRead());
    uint32 size = payload.GetSize();
    if (!data || size == 0) return "";
    const void* nul = memchr(data, 0, size);
    return std::string(data, nul ? size_t(static_cast<const char*>(nul) - data) : size);
}

void CL_MakeConnectionKey(uint32 clientID, uint64 serverID, CL_Blob* key) {
    key->Clear();
    *key += clientID;
    *key += serverID;
    key->Seek(0, CL_SEEK_SET);
}

CL_Cipher* CL_NewConnectionCipher(uint16 connectionFlags, uint32 clientID, uint64 serverID) {
    CL_Cipher* cipher;
    if (connectionFlags & CL_IPC_TEA_CRYPTING)
        cipher = new CL_TEACipher();
    else if (connectionFlags & CL_IPC_BLOWFISH_CRYPTING)
        cipher = new CL_BlowfishCipher();
    else if (connectionFlags & CL_IPC_AES_CRYPTING)
        cipher = new CL_AESCipher();
    else
        return new CL_Cipher();
    if (!cipher) return nullptr;
    CL_Blob key;
    CL_MakeConnectionKey(clientID, serverID, &key);
    cipher->SetKey(key);
    return cipher;
}

void CL_EncodePayload(CL_PacketHeader* header, CL_Blob& payload, uint16 connectionFlags,
                      CL_Cipher* cipher, bool compressEmpty) {
    payload.Seek(0, CL_SEEK_SET);
    header->fData.fCheckSum = payload.CheckSum();
    if (connectionFlags & CL_IPC_COMPRESS) {
        header->fFlags |= CL_IPC_COMPRESS;
        if (payload.GetSize() > 0 || compressEmpty) {
            payload.Seek(0, CL_SEEK_SET);
            payload.Compress();
        }
    }
    payload.Seek(0, CL_SEEK_SET);
    if (cipher && payload.GetSize() > 0) cipher->Encrypt(payload, 0xFFFFFFFF);
    payload.Seek(0, CL_SEEK_SET);
}

bool CL_VerifyCheckSum(const CL_PacketHeader& first, const CL_Blob& plain) {
    return plain.CheckSum() == first.fData.fCheckSum;
}

namespace {

// Inflates the zlib stream that `packed` holds, stopping as soon as the output would
// pass `max` bytes: the stream comes from the wire, and a few kilobytes of it may
// stand for gigabytes. Bytes after the end of the stream are ignored.
CL_Status InflateAtMost(const CL_Blob& packed, uint32 max, CL_Blob* plain) {
    z_stream z;
    memset(&z, 0, sizeof(z));
    if (inflateInit(&z) != Z_OK) return CL_OUT_OF_MEMORY;
    z.next_in = const_cast<Bytef*>(packed.GetDataForRead());
    z.avail_in = packed.GetSize();
    // One byte past the limit tells a stream that passes it from one that ends there.
    uint64 limit = uint64(max) + 1;
    CL_Status status = CL_IPC_BAD_REPLY;
    for (;;) {
        uint64 size = plain->GetSize();
        uint64 room = size < 4096 ? 4096 : size;
        if (room > kMaxGrowStep) room = kMaxGrowStep;
        if (size + room > limit) room = limit - size;
        if (room == 0) {
            status = CL_OUT_OF_MEMORY;
            break;
        }
        plain->SetSize(uint32(size + room));
        if (plain->GetSize() != size + room) {
            status = CL_OUT_OF_MEMORY;
            break;
        }
        z.next_out = plain->GetDataForWrite() + size;
        z.avail_out = uInt(room);
        int result = inflate(&z, Z_NO_FLUSH);
        plain->SetSize(uint32(size + room - z.avail_out));
        if (result == Z_STREAM_END) {
            status = plain->GetSize() > max ? CL_OUT_OF_MEMORY : CL_OK;
            break;
        }
        // Z_BUF_ERROR with room left: the input ended before the stream did.
        if (result != Z_OK && !(result == Z_BUF_ERROR && z.avail_out == 0)) break;
    }
    inflateEnd(&z);
    return status;
}

}  // namespace

CL_Status CL_DecodePayload(const CL_PacketHeader& first, CL_Blob& payload, CL_Cipher* cipher,
                           uint32 maxPlain) {
    payload.Seek(0, CL_SEEK_SET);
    if (cipher && payload.GetSize() > 0) cipher->Decrypt(payload, 0xFFFFFFFF);
    // An empty payload with the flag set is the client's form of "nothing".
    if ((first.fFlags & CL_IPC_COMPRESS) && payload.GetSize() > 0) {
        if (maxPlain > CL_Blob::kMaxSize) maxPlain = CL_Blob::kMaxSize;
        CL_Blob plain;
        CL_Status status = InflateAtMost(payload, maxPlain, &plain);
        if (status != CL_OK) return status;
        payload = plain;
    }
    payload.Seek(0, CL_SEEK_SET);
    return CL_VerifyCheckSum(first, payload) ? CL_OK : CL_IPC_BAD_REPLY;
}

CL_PayloadDecoder::CL_PayloadDecoder(CL_Cipher* cipher, bool raw)
    : fCipher(cipher),
      fRaw(raw),
      fStarted(false),
      fEnded(false),
      fLeft(0),
      fLimit(CL_Blob::kMaxSize),
      fInflater(nullptr) {
    memset(&fFirst, 0, sizeof(fFirst));
}

void CL_PayloadDecoder::SetLimit(uint32 bytes) {
    fLimit = bytes < CL_Blob::kMaxSize ? bytes : CL_Blob::kMaxSize;
}

struct CL_PayloadDecoder::Inflater {
    z_stream fStream;
    bool fReady;
};

CL_PayloadDecoder::~CL_PayloadDecoder() {
    if (fInflater && fInflater->fReady) inflateEnd(&fInflater->fStream);
    delete fInflater;
}

CL_Status CL_PayloadDecoder::Add(const CL_PacketHeader& header, CL_Blob& chunk) {
    uint32 n = CL_ChunkPayloadSize(header);
    if (chunk.GetSize() != n) return CL_IPC_BAD_REPLY;
    if (!fStarted) {
        if (!(header.fFlags & CL_IPC_FIRST_CHUNK)) return CL_IPC_BAD_REPLY;
        bool compressed = !fRaw && (header.fFlags & CL_IPC_COMPRESS);
        if (!compressed && header.fSize > fLimit) return CL_IPC_BAD_REPLY;
        fFirst = header;
        fStarted = true;
        fLeft = header.fSize;
    } else if (fLeft == 0 || (header.fFlags & CL_IPC_FIRST_CHUNK) || header.fSize != fLeft ||
               header.fSequence != fFirst.fSequence || header.fType != fFirst.fType) {
        return CL_IPC_BAD_REPLY;
    }
    fLeft -= n;
    if (n == 0) return CL_OK;

    chunk.Seek(0, CL_SEEK_SET);
    fResult.Seek(0, CL_SEEK_END);
    if (fRaw) {
        uint32 added = fResult.Append(chunk);
        fResult.Seek(0, CL_SEEK_END);
        return added == n ? CL_OK : CL_IPC_BAD_REPLY;
    }
    if (fCipher) fCipher->Decrypt(chunk, 0xFFFFFFFF);
    chunk.Seek(0, CL_SEEK_SET);
    if (!(fFirst.fFlags & CL_IPC_COMPRESS)) {
        uint32 added = fResult.Append(chunk);
        fResult.Seek(0, CL_SEEK_END);
        return added == n ? CL_OK : CL_IPC_BAD_REPLY;
    }
    if (fEnded) return CL_OK;  // bytes after the end of the stream carry nothing
    return Inflate(chunk, n);
}

uint64 CL_PayloadDecoder::RoomAhead(uint32 n) const {
    // Five times the compressed bytes still to come, bounded, since those counts come
    // from the wire. One byte beyond the limit tells a stream that would pass it from
    // one that ends exactly there.
    uint64 size = fResult.GetSize();
    uint64 room = uint64(fLeft) * 5;
    if (room < uint64(n) * 4) room = uint64(n) * 4;
    if (room < 4096) room = 4096;
    if (room > kMaxGrowStep) room = kMaxGrowStep;
    uint64 most = uint64(fLimit) + 1;
    if (most > CL_Blob::kMaxSize) most = CL_Blob::kMaxSize;
    if (size + room > most) room = most > size ? most - size : 0;
    return room;
}

CL_Status CL_PayloadDecoder::Inflate(const CL_Blob& chunk, uint32 n) {
    if (!fInflater) {
        fInflater = new (std::nothrow) Inflater;
        if (!fInflater) return CL_OUT_OF_MEMORY;
        memset(&fInflater->fStream, 0, sizeof(fInflater->fStream));
        fInflater->fReady = inflateInit(&fInflater->fStream) == Z_OK;
    }
    if (!fInflater->fReady) return CL_IPC_BAD_REPLY;
    z_stream& z = fInflater->fStream;
    z.next_in = const_cast<Bytef*>(chunk.GetDataForRead());
    z.avail_in = n;
    while (z.avail_in > 0) {
        uint64 size = fResult.GetSize();
        uint64 room = RoomAhead(n);
        if (room == 0) return CL_IPC_BAD_REPLY;
        uint64 capacity = fResult.GetCapacity();
        if (capacity < size + room) {
            uint64 wanted = capacity * 2 > size + room ? capacity * 2 : size + room;
            if (wanted > CL_Blob::kMaxSize) wanted = CL_Blob::kMaxSize;
            fResult.SetCapacity(uint32(wanted));
        }
        fResult.SetSize(uint32(size + room));
        if (fResult.GetSize() != size + room) return CL_IPC_BAD_REPLY;
        z.next_out = fResult.GetDataForWrite() + size;
        z.avail_out = uInt(room);
        int result = inflate(&z, Z_NO_FLUSH);
        fResult.SetSize(uint32(size + room - z.avail_out));
        if (fResult.GetSize() > fLimit) return CL_IPC_BAD_REPLY;
        if (result == Z_STREAM_END) {
            fEnded = true;
            break;
        }
        if (result != Z_OK && !(result == Z_BUF_ERROR && z.avail_out == 0)) return CL_IPC_BAD_REPLY;
    }
    z.next_in = nullptr;
    z.avail_in = 0;
    fResult.Seek(0, CL_SEEK_END);
    return CL_OK;
}

uint32 CL_AppendChunk(const CL_PacketHeader& header, const CL_Blob& payload, uint32 offset,
                      CL_Blob* wire) {
    uint32 size = payload.GetSize();
    uint32 left = offset < size ? size - offset : 0;
    uint32 n = left < CL_IPC_CHUNK_SIZE ? left : CL_IPC_CHUNK_SIZE;
    CL_PacketHeader chunk = CL_ChunkHeader(header, offset, left);
    wire->Seek(0, CL_SEEK_END);
    wire->Append(&chunk, kHeaderSize);
    if (n) wire->Append(payload.GetDataForRead() + offset, n);
    wire->Seek(0, CL_SEEK_END);
    return n;
}

void CL_BuildPacket(const CL_PacketHeader& header, const CL_Blob& payload, CL_Blob* wire) {
    uint32 offset = 0;
    do {
        offset += CL_AppendChunk(header, payload, offset, wire);
    } while (offset < payload.GetSize());
}

CL_Status CL_WritePacket(CL_Socket& socket, const CL_PacketHeader& header, const CL_Blob& payload,
                         uint32 ms) {
    uint8 buffer[kHeaderSize + CL_IPC_CHUNK_SIZE];
    const uint8* data = payload.GetDataForRead();
    uint32 size = payload.GetSize();
    uint32 offset = 0;
    do {
        uint32 left = size - offset;
        uint32 n = left < CL_IPC_CHUNK_SIZE ? left : CL_IPC_CHUNK_SIZE;
        CL_PacketHeader chunk = CL_ChunkHeader(header, offset, left);
        memcpy(buffer, &chunk, kHeaderSize);
        if (n) memcpy(buffer + kHeaderSize, data + offset, n);
        uint32 sent = socket.Write(buffer, kHeaderSize + n, ms);
        CL_Status status = socket.GetIOError(false);
        if (status != CL_OK) return status;
        if (sent != kHeaderSize + n) return CL_TIMEOUT;
        offset += n;
    } while (offset < size);
    return CL_OK;
}

CL_ChunkReader::CL_ChunkReader(bool request) : fRequest(request), fStart(0) {}

uint32 CL_ChunkReader::GetMissing() const {
    size_t held = fBuffer.size() - fStart;
    if (held < kHeaderSize) return uint32(kHeaderSize - held);
    CL_PacketHeader header;
    memcpy(&header, fBuffer.data() + fStart, kHeaderSize);
    size_t whole = kHeaderSize + CL_ChunkPayloadSize(header);
    return held < whole ? uint32(whole - held) : 0;
}

CL_Status CL_ChunkReader::Read(CL_Socket& socket, uint32 max) {
    // Taken chunks are dropped before new bytes come, never while a caller may still
    // hold a payload pointer of the last Next.
    if (fStart > 0 && (fStart == fBuffer.size() || fStart >= fBuffer.size() / 2)) {
        fBuffer.erase(0, fStart);
        fStart = 0;
    }
    uint32 n = max ? max : GetMissing();
    if (n == 0) return CL_OK;
    size_t size = fBuffer.size();
    try {
        fBuffer.resize(size + n);
    } catch (const std::bad_alloc&) {
        return CL_OUT_OF_MEMORY;
    }
    uint32 got = socket.Read(&fBuffer[size], n, 0);
    CL_Status status = socket.GetIOError(false);
    fBuffer.resize(size + got);
    // A peer that closed right after its last bytes: they are served first.
    if (got > 0) return CL_OK;
    return status == CL_OK ? CL_TIMEOUT : status;
}

bool CL_ChunkReader::GetHeldHeader(CL_PacketHeader* header) const {
    if (fBuffer.size() - fStart < kHeaderSize) return false;
    memcpy(header, fBuffer.data() + fStart, kHeaderSize);
    return true;
}

CL_Status CL_ChunkReader::Next(CL_PacketHeader* header, const uint8** payload, uint32* size) {
    size_t held = fBuffer.size() - fStart;
    if (held < kHeaderSize) return CL_WOULD_BLOCK;
    memcpy(header, fBuffer.data() + fStart, kHeaderSize);
    CL_Status status = fRequest ? CL_CheckRequestHeader(*header) : CL_CheckPacketHeader(*header);
    if (status != CL_OK) return status;
    uint32 n = CL_ChunkPayloadSize(*header);
    if (held < kHeaderSize + n) return CL_WOULD_BLOCK;
    *payload = reinterpret_cast<const uint8*>(fBuffer.data()) + fStart + kHeaderSize;
    *size = n;
    fStart += kHeaderSize + n;
    return CL_OK;
}

void CL_ChunkReader::Clear() {
    fBuffer.clear();
    fStart = 0;
}
