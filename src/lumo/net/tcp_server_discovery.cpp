// The discovery responder: answers DISCOVER datagrams with the server's description
// and relays USER_MESSAGE datagrams to the chat ports of the target clients. Every
// datagram is read whole and checked against its own length before it is used.
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "lumo/table.h"
#include "lumo/tcp_server.h"

namespace {

constexpr uint32 kHeaderSize = sizeof(CL_PacketHeader);
constexpr uint32 kTurnDatagrams = 10;
constexpr uint32 kDatagramWait = 1500;
constexpr uint32 kMaxDatagram = 65536;

// Length of the next queued datagram (0 is a valid length), or -1 when none is queued.
int32 NextDatagramSize(CL_Socket* socket) {
    int fd = socket->GetDescriptor();
    if (fd < 0) return -1;
    for (;;) {
        char byte;
        ssize_t k = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT | MSG_TRUNC);
        if (k >= 0) return int32(k > int32(kMaxDatagram) ? kMaxDatagram : k);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return -1;
        // An error queued on the socket (an earlier reply that bounced): consume it.
        int pending = 0;
        socklen_t length = sizeof(pending);
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length);
        return -1;
    }
}

}  // namespace

void CL_TCPServer::DiscoveryTurn() {
    // Relays take the server lock, which is never taken inside the responder's lock
    // (Start and Stop take them the other way round): they wait for the turn's end.
    CL_Array<CL_Blob> relays;
    {
        CL_AutoLocker responderLock(fResponderLock);
        if (!fRun || fResponder->GetDescriptor() < 0) return;
        CLU_Table answered;
        CL_Set<uint32> relayed;
        uint8* datagram = static_cast<uint8*>(malloc(kMaxDatagram));
        if (!datagram) return;
        for (uint32 turn = 0; turn < kTurnDatagrams && fRun; turn++) {
            int32 size = NextDatagramSize(fResponder);
            if (size < 0) break;
            // A zero-length datagram still has to be taken off the queue.
            uint32 got = fResponder->Read(datagram, size > 0 ? uint32(size) : 1, kDatagramWait);
            if (size == 0) got = 0;
            if (got != uint32(size) || got < kHeaderSize) continue;
            CL_PacketHeader header;
            memcpy(&header, datagram, kHeaderSize);
            if (header.fMagic != CL_IPC_MAGIC || header.fVersion > CL_IPC_VERSION) continue;
            if (header.fType == CL_PACKET_TYPE_DISCOVER) {
                AnswerDiscover(answered);
            } else if (header.fType == CL_PACKET_TYPE_USER_MESSAGE) {
                // The sizes come from the sender: the payload must be all there and
                // hold the target ids it announces.
                if (uint64(got) < uint64(kHeaderSize) + header.fSize) continue;
                if (uint64(header.fMessage.fNumTargets) * 4 > header.fSize) continue;
                if (relayed.Exists(header.fSequence)) continue;
                relayed.Add(header.fSequence);
                relays.Append(CL_Blob(datagram, kHeaderSize + header.fSize, true));
            }
        }
        free(datagram);
    }
    for (uint32 i = 0; i < relays.Count(); i++) {
        CL_Blob relay = relays.Get(i);
        RelayMessage(relay.GetDataForRead(), relay.GetSize());
    }
}

// Answers the sender of the datagram just read, once per IP in a turn.
void CL_TCPServer::AnswerDiscover(CLU_Table& answered) {
    std::string ip = fResponder->GetAddress().GetIP();
    if (answered.Exists(ip)) return;
    CLU_Table info;
    if (GetCallbacks().fServerInfo && GetCallbacks().fServerInfo(this, info) != CL_OK) return;
    CL_Blob block;
    block += info.GetString("name");
    block += info.GetString("desc");
    block += int32(info.GetInt32("data_version"));
    block += info.GetBool("multitenant_enabled");
    uint32 length = block.GetSize();
    CL_DiscoveryPacket packet;
    memset(&packet, 0, sizeof(packet));
    packet.fMagic = CL_IPC_MAGIC;
    packet.fVersion = CL_IPC_VERSION;
    packet.fID = fID;
    packet.fSize = uint16(length > CL_DISCOVERY_INFO_SIZE ? CL_DISCOVERY_INFO_SIZE : length);
    memset(packet.fInfo, 0xCC, CL_DISCOVERY_INFO_SIZE);
    memcpy(packet.fInfo, block.GetDataForRead(),
           length > CL_DISCOVERY_INFO_SIZE ? CL_DISCOVERY_INFO_SIZE : length);
    packet.fCheckSum = CL_Blob(packet.fInfo, CL_DISCOVERY_INFO_SIZE, true).CheckSum();
    uint32 sent = fResponder->Write(&packet, sizeof(packet), kDatagramWait);
    if (sent == sizeof(packet) && fResponder->GetIOError(false) == CL_OK) answered.Set(ip, true);
}

void CL_TCPServer::RelayMessage(const uint8* datagram, uint32 size) {
    CL_PacketHeader header;
    memcpy(&header, datagram, kHeaderSize);
    uint32 targets = header.fMessage.fNumTargets;
    const uint8* ids = datagram + kHeaderSize;
    CL_Blob message(datagram, kHeaderSize, true);
    message.Seek(0, CL_SEEK_END);
    message.Append(ids + targets * 4, size - kHeaderSize - targets * 4);

    // What the relay needs is copied under the lock: the records may be deleted as
    // soon as it is released.
    CL_Array<CL_NetAddress> destinations;
    uint32 timeOut;
    {
        CL_AutoLocker lock(fLock);
        timeOut = fTimeOut;
        std::string ownIP = fAddress.GetIP();
        std::string localIP = CL_NetAddress::LocalHost().GetIP();
        for (Client* client : *fClientList) {
            bool chosen = targets == 0;
            for (uint32 i = 0; i < targets && !chosen; i++) {
                uint32 id;
                memcpy(&id, ids + i * 4, 4);
                chosen = id == client->fID;
            }
            if (!chosen || client->fChatPort == 0) continue;
            CL_NetAddress address = client->fPeer;
            if (address.GetIP() == localIP) address = CL_NetAddress(ownIP);
            address.SetPort(client->fChatPort);
            destinations.Append(address);
        }
    }
    for (uint32 i = 0; i < destinations.Count(); i++) {
        CL_Socket socket(destinations.Get(i), CL_SOCKET_TYPE_UDP);
        socket.Write(message.GetDataForRead(), message.GetSize(), timeOut);
    }
}
