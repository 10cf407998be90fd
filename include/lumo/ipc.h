// The TCP RPC's wire protocol and client interface: the packed 32-byte packet header,
// packet types, flag bits and status codes; the functions both ends share to build,
// chunk, checksum, compress, cipher and take apart packets; and CL_Client, the
// abstract client that the TCP implementation fills in.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <string>

#include "lumo/allocator.h"
#include "lumo/blob.h"
#include "lumo/base_types.h"

class CL_Cipher;
class CL_Dispatcher;
class CL_Socket;
class CLU_Table;

static_assert(std::endian::native == std::endian::little,
              "packet headers are read and written in place as little-endian");

constexpr uint32 CL_IPC_MAGIC = 0xF79BF0B7u;
constexpr uint32 CL_IPC_VERSION = 0x00010002u;
// Payload bytes per chunk: 510 cipher blocks of 16 bytes, so every chunk but the last
// deciphers on its own.
constexpr uint32 CL_IPC_CHUNK_SIZE = 8160;
// Longest progress message a PING carries (plus its NUL: one chunk).
constexpr uint32 CL_IPC_MAX_PING_MESSAGE = 8159;
constexpr uint16 CL_IPC_COMPLETENESS_UNKNOWN = 65535;
constexpr uint16 CL_IPC_DEFAULT_PORT = 51965;

enum CL_PacketType : uint32 {
    CL_PACKET_TYPE_DISCOVER = 1,
    CL_PACKET_TYPE_SERVER_INFO = 2,
    CL_PACKET_TYPE_PING = 3,
    CL_PACKET_TYPE_AUTH = 4,
    CL_PACKET_TYPE_NO_AUTH = 5,
    CL_PACKET_TYPE_DATA = 6,
    CL_PACKET_TYPE_FAILED = 7,
    CL_PACKET_TYPE_ABORT = 8,
    CL_PACKET_TYPE_ABORT_ALL = 9,
    CL_PACKET_TYPE_USER_MESSAGE = 10,
};

// Bits of a header's fFlags and of the connection flags granted at AUTH.
enum : uint16 {
    CL_IPC_NO_CRYPTING = 0,
    CL_IPC_TEA_CRYPTING = 0x0001,
    CL_IPC_BLOWFISH_CRYPTING = 0x0002,
    CL_IPC_AES_CRYPTING = 0x0004,
    CL_IPC_COMPRESS = 0x0100,
    CL_IPC_FIRST_CHUNK = 0x1000,
};
constexpr uint16 CL_IPC_CRYPTING_MASK =
    CL_IPC_TEA_CRYPTING | CL_IPC_BLOWFISH_CRYPTING | CL_IPC_AES_CRYPTING;

typedef uint32 CL_Command;

// Header in front of every packet and every chunk of a packet, exactly as it goes on
// the wire. The 8 bytes at offset 20 mean different things per packet type. A plain
// record.
#pragma pack(push, 1)
struct CL_PacketHeader {
    uint32 fMagic;
    uint32 fVersion;
    uint16 fType;
    uint16 fFlags;
    uint32 fSequence;
    uint32 fSize;  // payload bytes still to come, this chunk's included
    union {
        struct {
            uint16 fCompleteness;
            uint8 fUnused[6];
        } fPing;
        struct {
            uint32 fCommand;
            uint32 fCheckSum;
        } fData;
        struct {
            uint64 fID;
        } fServer;
        struct {
            uint32 fID;
            union {
                uint32 fError;
                uint32 fFlags;
            };
        } fConnection;
        struct {
            uint32 fSource;
            uint32 fNumTargets;
        } fMessage;
    };
    uint8 fReserved[4];
};
#pragma pack(pop)

static_assert(sizeof(CL_PacketHeader) == 32, "packet header size");
static_assert(offsetof(CL_PacketHeader, fVersion) == 4 && offsetof(CL_PacketHeader, fType) == 8 &&
                  offsetof(CL_PacketHeader, fFlags) == 10 &&
                  offsetof(CL_PacketHeader, fSequence) == 12 &&
                  offsetof(CL_PacketHeader, fSize) == 16 &&
                  offsetof(CL_PacketHeader, fPing) == 20 &&
                  offsetof(CL_PacketHeader, fData.fCheckSum) == 24 &&
                  offsetof(CL_PacketHeader, fConnection.fError) == 24 &&
                  offsetof(CL_PacketHeader, fMessage.fNumTargets) == 24 &&
                  offsetof(CL_PacketHeader, fReserved) == 28,
              "packet header layout");

// ---- Headers --------------------------------------------------------------------

// Magic, version, type, flags and sequence; fSize and bytes 20-31 zero.
void CL_InitPacketHeader(CL_PacketHeader* header, CL_PacketType type, uint16 flags,
                         uint32 sequence);
// CL_OK, or CL_PROTOCOL_NOT_SUPPORTED when the magic is wrong (the only check a client makes).
CL_Status CL_CheckPacketHeader(const CL_PacketHeader& header);
// The server's check of a chunk header from a client: CL_OK; CL_IPC_BAD_REQUEST for a
// wrong magic, or for a first chunk (not a PING) announcing more than a blob can hold;
// CL_PROTOCOL_NOT_SUPPORTED for a version above CL_IPC_VERSION.
CL_Status CL_CheckRequestHeader(const CL_PacketHeader& header);
// Copies bytes 20-31 (the type's own fields and the reserved bytes) from one header to
// another, as an answer that echoes its request's arguments does.
void CL_CopyPacketArguments(const CL_PacketHeader& from, CL_PacketHeader* to);
// Payload bytes that follow this chunk's header: min(fSize, 8160).
inline uint32 CL_ChunkPayloadSize(const CL_PacketHeader& header) {
    return header.fSize < CL_IPC_CHUNK_SIZE ? header.fSize : CL_IPC_CHUNK_SIZE;
}

void CL_MakeDiscoverRequest(CL_PacketHeader* header);
void CL_MakeServerInfoRequest(CL_PacketHeader* header, uint32 sequence);
void CL_MakeAuthRequest(CL_PacketHeader* header, uint32 sequence, uint32 connectionFlags);
// Client end of a DATA request: the connection flags as granted, first chunk.
void CL_MakeDataRequest(CL_PacketHeader* header, uint32 sequence, CL_Command command,
                        uint16 connectionFlags);
void CL_MakeAbortRequest(CL_PacketHeader* header, uint32 sequence);
void CL_MakeAbortAllRequest(CL_PacketHeader* header);

// Server replies start from a copy of the request's header.
void CL_MakeServerInfoReply(const CL_PacketHeader& request, uint64 serverID,
                            CL_PacketHeader* reply);
void CL_MakeAuthReply(const CL_PacketHeader& request, uint16 grantedFlags, uint32 clientID,
                      CL_PacketHeader* reply);
void CL_MakeNoAuthReply(const CL_PacketHeader& request, uint32 error, CL_PacketHeader* reply);
// DATA, FAILED or ABORT reply: the request's flags, CL_IPC_COMPRESS exactly when the
// connection has it, first chunk. An ABORT reply carries only CL_IPC_FIRST_CHUNK.
void CL_MakeReply(const CL_PacketHeader& request, CL_PacketType type, uint16 connectionFlags,
                  CL_PacketHeader* reply);

// ---- Progress (PING) --------------------------------------------------------------

// Percentage 0-100 to the wire: 65535 for unknown (negative or not a number), else
// truncated percent * 655.34 (values above 100 count as 100).
uint16 CL_EncodeCompleteness(double percent);
// 65535 gives -1.0 (CL_PROGRESS_INDEFINITE), any other value v gives v / 655.34.
double CL_DecodeCompleteness(uint16 value);
// A PING for `sequence`; with a message the payload is its text (cut to 8159 bytes)
// and a NUL, without one (null) there is no payload. Never a first chunk.
void CL_MakePing(CL_PacketHeader* header, CL_Blob* payload, uint32 sequence, double percent,
                 const std::string* message);
// The text of a PING payload, up to its NUL or its end.
std::string CL_GetPingMessage(const CL_Blob& payload);

// ---- Connection cipher --------------------------------------------------------------

// The 12-byte key: client id then server id, little-endian.
void CL_MakeConnectionKey(uint32 clientID, uint64 serverID, CL_Blob* key);
// The cipher the flags choose (TEA before Blowfish before AES), keyed; a plain
// CL_Cipher that changes nothing when no cipher bit is set. The caller owns and deletes
// it; null when out of memory.
CL_Cipher* CL_NewConnectionCipher(uint16 connectionFlags, uint32 clientID, uint64 serverID);

// ---- Payload processing -----------------------------------------------------------

// Sender side, in the protocol's order: checksum of the plain payload into fCheckSum,
// then (when the connection flags have CL_IPC_COMPRESS) the flag in the header and
// the payload replaced by its zlib stream, then the cipher over all of it. An empty
// payload stays empty unless compressEmpty (the server's habit). The payload comes
// back positioned at 0.
void CL_EncodePayload(CL_PacketHeader* header, CL_Blob& payload, uint16 connectionFlags,
                      CL_Cipher* cipher, bool compressEmpty);
// Receiver side for a gathered payload: decipher the whole, inflate when the first
// chunk says so, compare the checksum. CL_OK; CL_OUT_OF_MEMORY when the inflated
// payload would pass `maxPlain` bytes (inflating stops there); CL_IPC_BAD_REPLY when
// the stream is corrupt or cut short, or the checksum differs.
CL_Status CL_DecodePayload(const CL_PacketHeader& first, CL_Blob& payload, CL_Cipher* cipher,
                           uint32 maxPlain = CL_Blob::kMaxSize);
// Whether the plain payload matches the first chunk's fCheckSum.
bool CL_VerifyCheckSum(const CL_PacketHeader& first, const CL_Blob& plain);

// Receiver side chunk by chunk: each chunk is deciphered by itself and, for a
// compressed packet, fed into one running inflate stream. Chunk headers are checked
// against the packet they continue, since they come from the wire. One thread at a
// time.
class CL_PayloadDecoder : public CL_Object {
public:
    // raw: keep the chunks as they come (the reply to an AUTH request). The cipher is
    // borrowed (null: none) and must outlive the decoder.
    CL_PayloadDecoder(CL_Cipher* cipher, bool raw);
    ~CL_PayloadDecoder();
    CL_PayloadDecoder(const CL_PayloadDecoder&) = delete;
    CL_PayloadDecoder& operator=(const CL_PayloadDecoder&) = delete;

    // Largest plain payload accepted, in bytes (at most CL_Blob::kMaxSize, the
    // default). A packet that announces more, or whose stream inflates to more, is
    // refused as soon as that shows, before the bytes beyond the limit are made.
    void SetLimit(uint32 bytes);
    // Takes one chunk: its header and its payload (min(fSize, 8160) bytes, changed in
    // place). CL_OK, or CL_IPC_BAD_REPLY for a chunk that does not fit the packet, a corrupt
    // stream or a payload beyond the limit.
    CL_Status Add(const CL_PacketHeader& header, CL_Blob& chunk);
    bool IsStarted() const { return fStarted; }
    bool IsComplete() const { return fStarted && fLeft == 0; }
    const CL_PacketHeader& GetHeader() const { return fFirst; }
    uint32 GetTotalSize() const { return fStarted ? fFirst.fSize : 0; }
    uint32 GetBytesLeft() const { return fLeft; }
    // The plain payload so far, positioned at its end.
    CL_Blob& GetResult() { return fResult; }

private:
    // Room to give the inflater for the next step: 0 when the limit is already passed.
    uint64 RoomAhead(uint32 n) const;
    // Feeds `n` deciphered bytes of a compressed packet to the running stream.
    CL_Status Inflate(const CL_Blob& chunk, uint32 n);

    CL_Cipher* fCipher;  // borrowed
    bool fRaw;
    bool fStarted;
    bool fEnded;
    uint32 fLeft;
    uint32 fLimit;
    CL_PacketHeader fFirst;
    CL_Blob fResult;
    struct Inflater;
    Inflater* fInflater;  // owned; made for the first compressed chunk
};

// ---- Chunking -----------------------------------------------------------------------

// The header of the chunk that starts `offset` bytes into a packet's payload with
// `left` bytes still to send: fSize = left, and CL_IPC_FIRST_CHUNK at offset 0 only
// (never on a PING or a DISCOVER).
CL_PacketHeader CL_ChunkHeader(const CL_PacketHeader& header, uint32 offset, uint32 left);
// Appends the chunk that starts `offset` bytes into the payload to `wire`: the header
// with fSize = bytes left and CL_IPC_FIRST_CHUNK only at offset 0 (never on a PING),
// then min(left, 8160) payload bytes. Returns the payload bytes it carries.
uint32 CL_AppendChunk(const CL_PacketHeader& header, const CL_Blob& payload, uint32 offset,
                      CL_Blob* wire);
// The whole packet as it goes on the wire.
void CL_BuildPacket(const CL_PacketHeader& header, const CL_Blob& payload, CL_Blob* wire);
// Writes the packet chunk by chunk, each chunk in one write with `ms` as its time-out.
// CL_OK, or the socket's status (CL_TIMEOUT also when a chunk went out short).
CL_Status CL_WritePacket(CL_Socket& socket, const CL_PacketHeader& header, const CL_Blob& payload,
                         uint32 ms);

// Cuts the bytes of a connection into chunks without ever waiting: bytes are taken
// as the socket has them (TCP holds the sender back while the receiver reads nothing,
// so a chunk left in the kernel until it is whole might never become whole), and a
// chunk comes out once whole, its header checked first. One thread at a time.
class CL_ChunkReader : public CL_Object {
public:
    // request: headers from a client, checked with CL_CheckRequestHeader; otherwise
    // from a server, checked with CL_CheckPacketHeader.
    explicit CL_ChunkReader(bool request);

    // Takes what the socket holds now: at most `max` bytes, or with `max` 0 exactly
    // what the chunk being read still lacks (its header first), so that a reader never
    // takes bytes beyond one chunk. CL_OK when bytes came, CL_TIMEOUT when none did,
    // CL_OUT_OF_MEMORY, or the socket's status.
    CL_Status Read(CL_Socket& socket, uint32 max);
    // The next whole chunk: CL_OK with its header and its payload (valid until the
    // next Read), CL_WOULD_BLOCK when none is whole yet, or the status of the header
    // check (the header still in *header; it stays held, so every later call fails
    // the same way).
    CL_Status Next(CL_PacketHeader* header, const uint8** payload, uint32* size);
    // Bytes held of a chunk that is not yet whole.
    uint32 GetHeld() const { return uint32(fBuffer.size() - fStart); }
    // The header of the chunk not yet whole, when all 32 bytes of it are held
    // (unchecked); false otherwise.
    bool GetHeldHeader(CL_PacketHeader* header) const;
    // Bytes the chunk being read still lacks: its header, or its payload.
    uint32 GetMissing() const;
    void Clear();

private:
    bool fRequest;
    std::string fBuffer;  // bytes from fStart on are not yet taken
    size_t fStart;
};

// ---- Discovery ----------------------------------------------------------------------

// A DISCOVER datagram is the bare header (CL_MakeDiscoverRequest); a server answers it
// with this datagram: its id (the low 16 bits its listener port) and a 1024-byte info
// block, of which fSize bytes hold its description and the rest 0xCC.
constexpr uint32 CL_DISCOVERY_INFO_SIZE = 1024;
#pragma pack(push, 1)
struct CL_DiscoveryPacket {
    uint32 fMagic;
    uint32 fVersion;
    uint64 fID;
    uint16 fSize;
    uint32 fCheckSum;  // of all 1024 info bytes
    uint8 fInfo[CL_DISCOVERY_INFO_SIZE];
};
#pragma pack(pop)
static_assert(sizeof(CL_DiscoveryPacket) == 1046, "discovery reply size");

// The server's writer: `info` cut to the block or padded with 0xCC, and its checksum.
void CL_MakeDiscoveryReply(uint64 serverID, const CL_Blob& info, CL_DiscoveryPacket* packet);
// The client's reader: whether a reply may be taken (magic, checksum, a version not
// below the current one, a port from 1024 up); *info gets its fSize info bytes (at most
// the block).
bool CL_ReadDiscoveryReply(const CL_DiscoveryPacket& packet, CL_Blob* info);

// ---- Client interface ---------------------------------------------------------------

enum CL_ProgressType : uint32 {
    CL_PROGRESS_PROCESS = 0,
    CL_PROGRESS_SEND = 1,
    CL_PROGRESS_EXECUTE = 2,
    CL_PROGRESS_RECEIVE = 3,
    CL_PROGRESS_COMPLETE = 4,
};
constexpr double CL_PROGRESS_INDEFINITE = -1.0;

typedef CL_Status (*CL_SuccessCB)(CL_Blob& result, void* userData);
typedef CL_Status (*CL_ErrorCB)(CL_Status code, CL_Blob& partial, void* userData);
typedef CL_Status (*CL_ProgressCB)(CL_ProgressType state, double completeness,
                                   const std::string& message, CL_Blob* partial, void* userData);
typedef CL_Status (*CL_IdleCB)(void* userData);

// One connection to one RPC server. Each operation has a blocking form (status and
// output) and an asynchronous one (exactly one of success or error later, on a
// dispatcher thread). Time-out 0 means fTimeOut. The base implements nothing; each
// implementation states which calls may overlap.
class CL_Client : public CL_Object {
public:
    CL_Client(uint32 timeOut, uint32 flags) : fTimeOut(timeOut), fFlags(uint16(flags)) {}
    CL_Client(const CL_Client&) = delete;
    CL_Client& operator=(const CL_Client&) = delete;
    virtual ~CL_Client() {}

    // Runs the asynchronous forms on `dispatcher`, which stays the caller's and must
    // outlive the client; null gives the client a dispatcher of its own.
    virtual void SetDispatcher(CL_Dispatcher* dispatcher) { (void)dispatcher; }
    virtual void WaitForJobs() {}
    virtual CL_Status Discover(CL_Blob& input, CL_Blob& output, uint32 timeout) {
        (void)input, (void)output, (void)timeout;
        return CL_ERROR;
    }
    virtual void Discover(CL_Blob& input, CL_SuccessCB success, CL_ErrorCB error,
                          CL_ProgressCB progress, void* userData, uint32 timeout) {
        (void)input, (void)success, (void)error, (void)progress, (void)userData, (void)timeout;
    }
    virtual CL_Status Connect(const CLU_Table& settings, CL_Blob& output, uint32 timeout) {
        (void)settings, (void)output, (void)timeout;
        return CL_ERROR;
    }
    virtual void Connect(const CLU_Table& settings, CL_SuccessCB success, CL_ErrorCB error,
                         CL_ProgressCB progress, void* userData, uint32 timeout) {
        (void)settings, (void)success, (void)error, (void)progress, (void)userData, (void)timeout;
    }
    virtual void Disconnect() {}
    virtual uint32 GetID() { return 0; }
    virtual CL_Status Execute(uint32 command, CL_Blob& input, CL_Blob& output, CL_IdleCB idle,
                              uint32 timeout) {
        (void)command, (void)input, (void)output, (void)idle, (void)timeout;
        return CL_ERROR;
    }
    virtual void Execute(uint32 command, CL_Blob& input, CL_SuccessCB success, CL_ErrorCB error,
                         CL_ProgressCB progress, CL_IdleCB idle, void* userData, uint32 timeout) {
        (void)command, (void)input, (void)success, (void)error, (void)progress, (void)idle,
            (void)userData, (void)timeout;
    }
    virtual CL_Status Interrupt() { return CL_OK; }
    // Number of the connection that requests made now go out on; each Connect takes a
    // new one. A caller that notes it with a request can tell whether the request's end
    // is news of the connection it has now. The base keeps no numbers and gives 0: a
    // wrapper of another client must forward it, or the client library takes every
    // request's end for news of the current connection and closes that on a fatal code
    // (not while a Connect is under way), also when a later Connect opened it. After
    // the others, whose order is kept.
    virtual uint32 GetConnectionNumber() { return 0; }

protected:
    // An implementation's Connect writes them under its own lock; getters and the
    // defaults of new operations read them without it. Atomics, read relaxed: each is a
    // plain value that publishes nothing else.
    std::atomic<uint32> fTimeOut;
    std::atomic<uint16> fFlags;
};

// A cancel check for the blocking Discover and Connect that this thread calls while the
// scope lives, for implementations that honour it (the TCP client does): check(data)
// runs on this thread between the operation's waits, about 100 ms apart at most, with
// no lock of the client held; a nonzero answer ends the operation with CL_CANCELLED.
// Not asked meanwhile: a host name's look-up, and a Connect's wait for another
// thread's Connect on the same client to end.
// Scopes nest, the innermost counts. Lives on the stack of the thread it serves.
class CL_CancelScope {
public:
    CL_CancelScope(CL_IdleCB check, void* data) : fCheck(check), fData(data), fOuter(sCurrent) {
        sCurrent = this;
    }
    ~CL_CancelScope() { sCurrent = fOuter; }
    CL_CancelScope(const CL_CancelScope&) = delete;
    CL_CancelScope& operator=(const CL_CancelScope&) = delete;

    // This thread's innermost scope, or null.
    static const CL_CancelScope* Current() { return sCurrent; }

    const CL_IdleCB fCheck;
    void* const fData;

private:
    CL_CancelScope* const fOuter;
    static inline thread_local CL_CancelScope* sCurrent = nullptr;
};

// The server interface and its client context build on the declarations above.
#include "lumo/rpc_server.h"
