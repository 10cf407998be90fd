// Opening a connection: the TCP connect, the SERVER_INFO exchange that gives the
// server id, and the AUTH exchange that gives the client id, the connection flags and
// with them the cipher. The whole handshake keeps the connection to itself: it holds
// the client's lock, and where it lets it go (waiting for the server's replies, asking
// a cancel check) the other threads' operations wait at its gate.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "lumo/cipher.h"
#include "lumo/net/countdown.h"
#include "lumo/net/tcp_client_action_job.h"
#include "lumo/net/tcp_client_progress_job.h"
#include "lumo/table.h"

namespace {

constexpr uint32 kDefaultTimeOut = 5000;
// The longest step of a handshake's waits between two looks at a cancel.
constexpr uint32 kConnectStep = 100;
// Flags a server may grant: the cipher bits and compression, nothing else.
constexpr uint16 kGrantableFlags = CL_IPC_CRYPTING_MASK | CL_IPC_COMPRESS;

// What a successful Connect hands over: the server's reply table with "host" as the
// caller gave it. A reply whose table does not unflatten is no grant.
CL_Status MakeOutput(CL_Blob& replyTable, const std::string& host, CL_Blob* output) {
    CLU_Table reply;
    replyTable.Seek(0, CL_SEEK_SET);
    if (!reply.Unflatten(replyTable)) return CL_IPC_BAD_REPLY;
    reply.Set("host", host);
    reply.Flatten(*output);
    output->Seek(0, CL_SEEK_SET);
    return CL_OK;
}

// The cipher the granted flags choose, shared; null when out of memory.
std::shared_ptr<CL_Cipher> NewCipher(uint16 flags, uint32 clientID, uint64 serverID) {
    CL_Cipher* cipher = CL_NewConnectionCipher(flags, clientID, serverID);
    if (!cipher) return nullptr;
    try {
        return std::shared_ptr<CL_Cipher>(cipher);
    } catch (const std::bad_alloc&) {
        return nullptr;  // the cipher is deleted by the failed constructor
    }
}

}  // namespace

CL_Status CL_TCPClient::Open(ActionJob* job, CL_Blob& settings, CL_Blob* output) {
    CL_AutoLocker locker(fLock);
    // Another thread's Connect ends first; this one then replaces its connection. One
    // made inside a Connect's own cancel check would pull the connection from under it.
    AwaitHandshake();
    if (fHandshaking) return CL_NOT_CONNECTED;
    fHandshaking = true;
    fHandshaker = std::this_thread::get_id();
    // The old connection goes first, as Disconnect drops it (the lock is ours), and
    // with it every request still waiting on it: their replies cannot come on the new
    // one. A reader keeps the old cipher as long as it decodes with it.
    fDisconnectAsked = true;
    fID = 0;
    CloseIfAsked();
    EndWaiters(CL_NOT_CONNECTED);
    fOutstanding.clear();
    fCipher.reset();
    fConnection++;

    CLU_Table table;
    settings.Seek(0, CL_SEEK_SET);
    table.Unflatten(settings);
    const std::string host = table.GetString("host");
    CL_Status result = ConnectSocket(job, ApplySettings(table, host));
    CL_Blob replyTable;
    uint32 clientID = 0;
    if (result == CL_OK) {
        CL_PacketHeader grant;
        const uint32 connFlags = fConnFlags;
        {
            // The exchanges take the lock themselves and let it go while they wait.
            CL_AutoUnlocker unlocker(fLock);
            result = Authorise(job, table, connFlags, &replyTable, &grant);
        }
        if (result == CL_OK) result = TakeGrant(grant, &clientID);
    }
    if (result == CL_OK) result = MakeOutput(replyTable, host, output);
    return EndHandshake(job, result, clientID);
}

bool CL_TCPClient::HandshakeElsewhere() const {
    return fHandshaking && fHandshaker != std::this_thread::get_id();
}

void CL_TCPClient::AwaitHandshake() {
    // In steps: the wake-up is not relied upon alone.
    while (HandshakeElsewhere()) fHandshakeOver.Wait(&fLock, kConnectStep);
}

bool CL_TCPClient::PollCancel(ActionJob* job) {
    if (!job->HasCancelCheck()) return job->HasAborted();
    CL_AutoUnlocker unlocker(fLock);
    return job->CheckCancel();
}

CL_NetAddress CL_TCPClient::ApplySettings(const CLU_Table& settings, const std::string& host) {
    int64 port = settings.GetInteger("port");
    if (port <= 0 || port > 0xFFFF) port = CL_IPC_DEFAULT_PORT;
    int64 timeout = settings.GetInteger("timeout");
    fTimeOut.store(timeout > 0 && timeout <= int64(0xFFFFFFFF) ? uint32(timeout) : kDefaultTimeOut,
                   std::memory_order_relaxed);
    fFlags.store(0, std::memory_order_relaxed);
    // The plain cipher until the grant; out of memory the grant fails instead.
    fCipher = NewCipher(0, 0, 0);
    fConnFlags = uint32(settings.GetInteger("conn_flags"));
    int64 limit = settings.GetInteger("reply_limit");
    uint32 replyLimit = kDefaultReplyLimit;
    if (limit > 0) replyLimit = uint32(std::min<int64>(limit, CL_Blob::kMaxSize));
    fReplyLimit.store(replyLimit, std::memory_order_relaxed);

    CL_NetAddress address;
    if (!host.empty()) address = CL_NetAddress(host);
    address.SetPort(uint16(port));
    return address;
}

CL_Status CL_TCPClient::ConnectSocket(ActionJob* job, const CL_NetAddress& address) {
    // A cancel that came first (while another Connect held the connection, say), or a
    // Disconnect since this Connect began: the server never hears of this one.
    if (PollCancel(job)) return CL_CANCELLED;
    if (CloseIfAsked()) return CL_NOT_CONNECTED;
    fSocket = CL_Socket(address, CL_SOCKET_TYPE_TCP);
    fReader.Clear();
    CL_Status result = fSocket.Connect(0);
    // A cancel shuts this socket down: a step that waits on it (a write to a server
    // that reads nothing) ends at once.
    if (ProgressJob* progress = job->GetProgress()) progress->SetConnectionSocket(fSocket);
    if (result == CL_WOULD_BLOCK) result = AwaitConnect(job);
    // Requests go out as whole packets; Nagle would hold a request's last segment
    // until the server acknowledges the previous ones.
    if (result == CL_OK) fSocket.SetNoDelay(true);
    return result;
}

CL_Status CL_TCPClient::AwaitConnect(ActionJob* job) {
    uint32 left = GetTimeOut();
    for (;;) {
        if (PollCancel(job)) return CL_CANCELLED;
        if (CloseIfAsked()) return CL_NOT_CONNECTED;
        uint32 step = std::min(left, kConnectStep);
        left -= step;
        CL_Set<CL_Socket*> readSet, writeSet;
        readSet.Add(&fSocket);
        writeSet.Add(&fSocket);
        // Nothing else may use the connection meanwhile: no lock is let go.
        CL_Status result = CL_Socket::Select(&readSet, &writeSet, nullptr, nullptr, step, nullptr);
        if (result == CL_OK) return readSet.Count() > 0 ? fSocket.GetIOError(true) : CL_OK;
        if (result == CL_TIMEOUT) {
            if (left == 0) return CL_CANNOT_CONNECT;
            continue;
        }
        if (left == 0 || result != CL_WOULD_BLOCK) return result;
    }
}

CL_Status CL_TCPClient::WriteInSteps(ActionJob* job, const CL_Blob& wire, uint32* sent) {
    // The chunk's whole time-out, as for any request, spent in steps: a server that
    // reads nothing (an AUTH far larger than the socket's buffers) must not hold the
    // handshake deaf to a cancel or a Disconnect until it runs out.
    const uint8* bytes = wire.GetDataForRead();
    const uint32 size = wire.GetSize();
    CL_Countdown budget(job->GetTimeOut());
    *sent = 0;
    for (;;) {
        *sent += fSocket.Write(bytes + *sent, size - *sent, std::min(budget.Left(), kConnectStep));
        CL_Status status = fSocket.GetIOError(false);
        if (status != CL_OK && status != CL_TIMEOUT) return status;
        if (*sent >= size) return CL_OK;
        if (budget.Tick() == 0) return CL_TIMEOUT;
        if (PollCancel(job)) return CL_CANCELLED;
        if (CloseIfAsked()) return CL_NOT_CONNECTED;
    }
}

CL_Status CL_TCPClient::Authorise(ActionJob* job, const CLU_Table& settings, uint32 connFlags,
                                  CL_Blob* data, CL_PacketHeader* grant) {
    CL_PacketHeader header;
    memset(&header, 0, sizeof(header));
    CL_Status result = job->QueryServer(CL_PACKET_TYPE_SERVER_INFO, &header, data);
    if (result != CL_OK) return result;
    fServerID.store(header.fServer.fID, std::memory_order_relaxed);

    data->Clear();
    settings.Flatten(*data);
    memset(grant, 0, sizeof(*grant));
    grant->fConnection.fFlags = connFlags;
    // Never ciphered or compressed: the cipher comes out of this exchange.
    return job->QueryServer(CL_PACKET_TYPE_AUTH, grant, data);
}

CL_Status CL_TCPClient::TakeGrant(const CL_PacketHeader& reply, uint32* clientID) {
    switch (reply.fType) {
        case CL_PACKET_TYPE_AUTH: {
            *clientID = reply.fConnection.fID;
            uint16 flags = uint16(reply.fFlags & kGrantableFlags);
            // Flags that name a cipher the client does not have would send payloads
            // in clear: no cipher, no connection.
            std::shared_ptr<CL_Cipher> cipher = NewCipher(flags, *clientID, GetServerID());
            if (!cipher) return CL_OUT_OF_MEMORY;
            fCipher = std::move(cipher);
            fFlags.store(flags, std::memory_order_relaxed);
            return CL_OK;
        }
        case CL_PACKET_TYPE_NO_AUTH: {
            CL_Status refusal = CL_Status(reply.fConnection.fError);
            // A refusal that claims success is still a refusal.
            return refusal == CL_OK ? CL_IPC_AUTH_FAILED : refusal;
        }
        case CL_PACKET_TYPE_ABORT:
            return CL_CANCELLED;
        default:
            return CL_IPC_BAD_REPLY;
    }
}

CL_Status CL_TCPClient::EndHandshake(ActionJob* job, CL_Status result, uint32 clientID) {
    // From here on a cancel no longer touches the socket: it is either the client's
    // connection or closed below.
    if (ProgressJob* progress = job->GetProgress()) progress->SetConnectionSocket(CL_Socket());
    // A cancelled handshake ends as cancelled, whatever it ran into after the cancel.
    if (job->HasAborted()) result = CL_CANCELLED;
    fHandshaking = false;
    fHandshakeOver.Broadcast();
    if (result == CL_OK) fID = clientID;
    // A Disconnect that came during the handshake wins over its success; the id is
    // stored first, so that a Disconnect after this look leaves it at 0.
    if (CloseIfAsked() && result == CL_OK) {
        fID = 0;
        result = CL_NOT_CONNECTED;
    }
    if (result != CL_OK) {
        DropConnection();
        fFlags.store(0, std::memory_order_relaxed);
    }
    return result;
}
