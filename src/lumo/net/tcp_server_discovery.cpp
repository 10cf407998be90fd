// The discovery responder: answers DISCOVER datagrams with the server's description
// and relays USER_MESSAGE datagrams to the chat ports of the target clients. Every
// datagram is read whole and checked against its own length before it is used.
#include <cstdlib>
#include <cstring>

#include "lumo/table.h"
#include "tcp_server_records.h"

using Impl = CL_TCPServer::Impl;

namespace {

constexpr uint32 kHeaderSize = sizeof(CL_PacketHeader);
// A USER_MESSAGE's payload opens with its target client ids.
constexpr uint32 kTargetIDSize = sizeof(uint32);
constexpr uint32 kTurnDatagrams = 10;
constexpr uint32 kDatagramWait = 1500;
constexpr uint32 kMaxDatagram = 65536;

// The sizes come from the sender: the payload must be all there and hold the target
// ids it announces.
bool HoldsWholeMessage(const CL_PacketHeader& header, uint32 size) {
    if (uint64(size) < uint64(kHeaderSize) + header.fSize) return false;
    return uint64(header.fMessage.fNumTargets) * kTargetIDSize <= header.fSize;
}

bool IsTarget(const uint8* ids, uint32 targets, uint32 clientID) {
    if (targets == 0) return true;
    for (uint32 i = 0; i < targets; i++) {
        uint32 id;
        memcpy(&id, ids + i * kTargetIDSize, kTargetIDSize);
        if (id == clientID) return true;
    }
    return false;
}

}  // namespace

void Impl::DiscoveryTurn() {
    // Relays take the server lock, which is never taken inside the responder's lock
    // (Start and Stop take them the other way round): they wait for the turn's end.
    CL_Array<CL_Blob> relays;
    {
        CL_AutoLocker responderLock(fResponderLock);
        if (!fRun || fResponder->GetDescriptor() < 0) return;
        ReadDatagrams(&relays);
    }
    for (uint32 i = 0; i < relays.Count(); i++) {
        CL_Blob relay = relays.Get(i);
        RelayMessage(relay.GetDataForRead(), relay.GetSize());
    }
}

// One turn's datagrams: DISCOVERs are answered at once, USER_MESSAGEs collected.
// Within a turn each sender IP is answered once and each message sequence relayed once.
void Impl::ReadDatagrams(CL_Array<CL_Blob>* relays) {
    CLU_Table answered;
    CL_Set<uint32> relayed;
    uint8* datagram = static_cast<uint8*>(malloc(kMaxDatagram));
    if (!datagram) return;
    for (uint32 turn = 0; turn < kTurnDatagrams && fRun; turn++) {
        int32 size = fResponder->NextDatagramSize(kMaxDatagram);
        if (size < 0) break;
        // A zero-length datagram still has to be taken off the queue.
        if (size == 0) {
            fResponder->DropDatagram();
            continue;
        }
        uint32 got = fResponder->Read(datagram, uint32(size), kDatagramWait);
        if (got != uint32(size) || got < kHeaderSize) continue;
        CL_PacketHeader header;
        memcpy(&header, datagram, kHeaderSize);
        if (header.fMagic != CL_IPC_MAGIC || header.fVersion > CL_IPC_VERSION) continue;
        if (header.fType == CL_PACKET_TYPE_DISCOVER) {
            AnswerDiscover(answered);
        } else if (header.fType == CL_PACKET_TYPE_USER_MESSAGE) {
            if (!HoldsWholeMessage(header, got) || relayed.Exists(header.fSequence)) continue;
            relayed.Add(header.fSequence);
            relays->Append(CL_Blob(datagram, kHeaderSize + header.fSize, true));
        }
    }
    free(datagram);
}

// Answers the sender of the datagram just read, once per IP in a turn.
void Impl::AnswerDiscover(CLU_Table& answered) {
    std::string ip = fResponder->GetAddress().GetIP();
    if (answered.Exists(ip)) return;
    CLU_Table info;
    CL_ServerInfoCB describe = fServer.GetCallbacks().fServerInfo;
    if (describe && describe(&fServer, info) != CL_OK) return;
    CL_Blob block;
    block += info.GetString("name");
    block += info.GetString("desc");
    block += int32(info.GetInt32("data_version"));
    block += info.GetBool("multitenant_enabled");
    CL_DiscoveryPacket packet;
    CL_MakeDiscoveryReply(fID, block, &packet);
    uint32 sent = fResponder->Write(&packet, sizeof(packet), kDatagramWait);
    if (sent == sizeof(packet) && fResponder->GetIOError(false) == CL_OK) answered.Set(ip, true);
}

// Sends the message (the header as received, then the payload after the target ids)
// to the chat port of every target client that has one.
void Impl::RelayMessage(const uint8* datagram, uint32 size) {
    CL_PacketHeader header;
    memcpy(&header, datagram, kHeaderSize);
    uint32 targets = header.fMessage.fNumTargets;
    const uint8* ids = datagram + kHeaderSize;
    uint32 idBytes = targets * kTargetIDSize;
    CL_Blob message(datagram, kHeaderSize, true);
    message.Seek(0, CL_SEEK_END);
    message.Append(ids + idBytes, size - kHeaderSize - idBytes);

    CL_Array<CL_NetAddress> destinations;
    uint32 timeOut = ChooseRelayTargets(ids, targets, &destinations);
    for (uint32 i = 0; i < destinations.Count(); i++) {
        CL_Socket socket(destinations.Get(i), CL_SOCKET_TYPE_UDP);
        socket.Write(message.GetDataForRead(), message.GetSize(), timeOut);
    }
}

// The chat addresses of the targets, and the time-out to write with. They are copied
// under the lock: the records may be deleted as soon as it is released.
uint32 Impl::ChooseRelayTargets(const uint8* ids, uint32 targets,
                                        CL_Array<CL_NetAddress>* destinations) {
    CL_AutoLocker lock(fLock);
    std::string ownIP = fAddress.GetIP();
    std::string localIP = CL_NetAddress::LocalHost().GetIP();
    for (Client* client : fClientList) {
        if (!IsTarget(ids, targets, client->fID) || client->fChatPort == 0) continue;
        CL_NetAddress address = client->fPeer;
        if (address.GetIP() == localIP) address = CL_NetAddress(ownIP);
        address.SetPort(client->fChatPort);
        destinations->Append(address);
    }
    return fTimeOut;
}
