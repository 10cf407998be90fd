// Opening a connection: the TCP connect, the SERVER_INFO exchange that gives the
// server id, and the AUTH exchange that gives the client id, the connection flags and
// with them the cipher. The whole handshake holds the client's lock.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "lumo/cipher.h"
#include "lumo/table.h"
#include "lumo/tcp_client.h"

namespace {

constexpr uint32 kDefaultTimeOut = 5000;
constexpr uint32 kConnectStep = 100;
// Flags a server may grant: the cipher bits and compression, nothing else.
constexpr uint16 kGrantableFlags = CL_IPC_CRYPTING_MASK | CL_IPC_COMPRESS;

}  // namespace

CL_Status CL_TCPClient::ConnectJob::Run() {
    CL_Blob output;
    CL_Status result = Handshake(&output);
    QuitProgress();
    if (result == CL_OK) return Success(output);
    return Error(result);
}

CL_Status CL_TCPClient::ConnectJob::Handshake(CL_Blob* output) {
    CL_TCPClient* client = fClient;
    CL_AutoLocker locker(client->fLock);
    client->fHandshaking = true;

    client->Disconnect();
    delete client->fCipher;
    client->fCipher = nullptr;

    CLU_Table settings;
    fInput.Seek(0, CL_SEEK_SET);
    settings.Unflatten(fInput);
    const std::string host = settings.GetString("host");
    int64 port = settings.GetInteger("port");
    if (port <= 0 || port > 0xFFFF) port = CL_IPC_DEFAULT_PORT;
    int64 timeout = settings.GetInteger("timeout");
    client->fTimeOut = timeout > 0 && timeout <= int64(0xFFFFFFFF) ? uint32(timeout) : kDefaultTimeOut;
    client->fFlags = 0;
    client->fCipher = new CL_Cipher();
    client->fConnFlags = uint32(settings.GetInteger("conn_flags"));

    CL_NetAddress address;
    if (!host.empty()) address = CL_NetAddress(host);
    address.SetPort(uint16(port));
    client->fSocket = CL_Socket(address, CL_SOCKET_TYPE_TCP);
    client->fInput.clear();
    client->fInputStart = 0;
    CL_Status result = client->fSocket.Connect(0);

    if (result == CL_WOULD_BLOCK) {
        uint32 left = client->fTimeOut;
        for (;;) {
            if (HasAborted()) {
                result = CL_CANCELLED;
                break;
            }
            if (client->CloseIfAsked()) {
                result = CL_NOT_CONNECTED;
                break;
            }
            uint32 step = std::min(left, kConnectStep);
            left -= step;
            CL_Set<CL_Socket*> readSet, writeSet;
            readSet.Add(&client->fSocket);
            writeSet.Add(&client->fSocket);
            result = CL_Socket::Select(&readSet, &writeSet, nullptr, nullptr, step, nullptr);
            if (result == CL_OK) {
                result = readSet.Count() > 0 ? client->fSocket.GetIOError(true) : 0;
                break;
            }
            if (result == CL_TIMEOUT) {
                if (left == 0) {
                    result = CL_CANNOT_CONNECT;
                    break;
                }
                continue;
            }
            if (left == 0 || result != CL_WOULD_BLOCK) break;
        }
    }

    if (result == CL_OK) {
        // Requests go out as whole packets; Nagle would hold a request's last segment
        // until the server acknowledges the previous ones.
        int noDelay = 1;
        setsockopt(client->fSocket.GetDescriptor(), IPPROTO_TCP, TCP_NODELAY, &noDelay,
                   sizeof(noDelay));
    }

    CL_PacketHeader header;
    CL_Blob data;
    uint32 clientID = 0;
    if (result == CL_OK) {
        memset(&header, 0, sizeof(header));
        result = QueryServer(CL_PACKET_TYPE_SERVER_INFO, 0, &header, &data);
        if (result == CL_OK) client->fServerID = header.fServer.fID;
    }
    if (result == CL_OK) {
        data.Clear();
        settings.Flatten(data);
        memset(&header, 0, sizeof(header));
        header.fConnection.fFlags = client->fConnFlags;
        // Never ciphered or compressed: the cipher comes out of this exchange.
        result = QueryServer(CL_PACKET_TYPE_AUTH, 0, &header, &data);
    }
    if (result == CL_OK) {
        switch (header.fType) {
            case CL_PACKET_TYPE_AUTH: {
                clientID = header.fConnection.fID;
                client->fFlags = uint16(header.fFlags & kGrantableFlags);
                delete client->fCipher;
                client->fCipher = CL_NewConnectionCipher(client->fFlags, clientID,
                                                         client->fServerID);
                break;
            }
            case CL_PACKET_TYPE_NO_AUTH:
                result = CL_Status(header.fConnection.fError);
                // A refusal that claims success is still a refusal.
                if (result == CL_OK) result = CL_IPC_AUTH_FAILED;
                break;
            case CL_PACKET_TYPE_ABORT:
                result = CL_CANCELLED;
                break;
            default:
                result = CL_IPC_BAD_REPLY;
                break;
        }
    }
    if (result == CL_OK) {
        CLU_Table reply;
        data.Seek(0, CL_SEEK_SET);
        reply.Unflatten(data);
        reply.Set("host", host);
        reply.Flatten(*output);
        output->Seek(0, CL_SEEK_SET);
    }
    // A cancelled handshake ends as cancelled, whatever it ran into after the cancel.
    if (HasAborted()) result = CL_CANCELLED;
    client->fHandshaking = false;
    if (result == CL_OK) client->fID = clientID;
    // A Disconnect that came during the handshake wins over its success; the id is
    // stored first, so that a Disconnect after this look leaves it at 0.
    if (client->CloseIfAsked() && result == CL_OK) {
        client->fID = 0;
        result = CL_NOT_CONNECTED;
    }
    if (result != CL_OK) client->fSocket.Close();
    return result;
}
