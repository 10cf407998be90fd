// The TCP server's records of connected clients: creation at accept, killing (socket
// shut, requests cancelled, moved to the dead list), deletion, and the administration
// calls that list, describe and close clients.
#include "lumo/cipher.h"
#include "lumo/clock.h"
#include "lumo/table.h"
#include "tcp_server_records.h"

namespace {

// What a queued chunk counts against the client's allowance: its bytes and its record,
// so that empty chunks count too.
uint64 QueuedCost(const CL_Packet* packet) {
    return uint64(packet->fData.GetSize()) + sizeof(CL_Packet);
}

}  // namespace

CL_Packet::CL_Packet(uint16 type, uint16 flags, uint32 sequence) {
    CL_InitPacketHeader(&fHeader, CL_PacketType(type), flags, sequence);
}

CL_Packet::CL_Packet(const CL_PacketHeader& header) : fHeader(header) {}

// Created by the listener with the server lock held.
CL_TCPServer::Client::Client(CL_TCPServer* server, CL_Socket* socket)
    : fID(server->fNextClientID++),
      fSocket(socket),
      fContext(nullptr),
      fPinnedWorker(nullptr),
      fQueuedReadPackets(new CL_LinkedList<CL_Packet*>()),
      fQueuedWritePackets(new CL_LinkedList<CL_Packet*>()),
      fBusyCount(0),
      fLastReadTime(0),
      fWaitStartTime(0),
      fChatPort(0),
      fProtocolVersion(CL_IPC_VERSION),
      fPeer(socket->GetAddress()),
      fAuthorized(false),
      fPartial(false),
      fReader(true),
      fDead(false),
      fQueuedReadBytes(0),
      fServingWorker(nullptr) {
    uint32 now = CL_GetTime();
    fContext = new CL_ClientContext(fID, server);
    fContext->SetCipher(new CL_Cipher());
    fLastReadTime = now;
    fWaitStartTime = now;
}

CL_TCPServer::Client::~Client() {
    if (fPinnedWorker) fPinnedWorker->fPinnedClient = nullptr;
    delete fSocket;
    if (fContext) {
        delete fContext->GetCipher();
        delete fContext;
    }
    for (CL_Packet* packet : *fQueuedReadPackets)
        delete packet;
    for (CL_Packet* packet : *fQueuedWritePackets)
        delete packet;
    delete fQueuedReadPackets;
    delete fQueuedWritePackets;
    for (Request* request : fExecutingRequests)
        delete request;
}

CL_TCPServer::Client* CL_TCPServer::FindClient(uint32 clientID) {
    for (Client* client : *fClientList)
        if (client->fID == clientID) return client;
    return nullptr;
}

void CL_TCPServer::KillClient(Client* client) {
    fClientList->Remove(client);
    DoKillClient(client);
}

void CL_TCPServer::DoKillClient(Client* client) {
    {
        // Under the context lock no worker is writing, so the descriptor is the
        // connection's own. It is shut down rather than closed: the dispatcher may be
        // waiting on it, and it is closed when the record is deleted.
        CL_AutoLocker lock(client->fContext->GetLock());
        client->fSocket->Shutdown();
        client->fDead = true;
        client->fPartial = false;
        client->fContext->AbortAll(GetCallbacks().fAbort);
    }
    fWaitingList->RemoveAll(client);
    fDeadList->RemoveAll(client);
    fDeadList->Append(client);
}

void CL_TCPServer::GetClientsList(CL_LinkedList<uint32>* ids) {
    if (!ids) return;
    CL_AutoLocker lock(fLock);
    ids->Clear();
    for (Client* client : *fClientList)
        ids->Append(client->fID);
}

CL_Status CL_TCPServer::GetClientInfo(uint32 clientID, CLU_Table& info) {
    info.Clear();
    CL_AutoLocker lock(fLock);
    Client* client = FindClient(clientID);
    if (!client) return CL_IPC_NO_CLIENT_ID;
    std::string ip = client->fPeer.GetIP();
    if (ip == CL_NetAddress::LocalHost().GetIP()) ip = fAddress.GetIP();
    CL_NetAddress shown(ip);
    info.Set("address", ip);
    info.Set("port", (long long)fAddress.GetPort());
    info.Set("local", shown.IsLocal());
    info.Set("requests", (long long)client->fContext->GetNumRequests());
    info.Set("flags", (long long)client->fContext->GetFlags());
    CL_ClientInfoCB describe = GetCallbacks().fClientInfo;
    if (describe) describe(client->fContext, info);
    return CL_OK;
}

CL_Status CL_TCPServer::CloseClient(uint32 clientID) {
    CL_AutoLocker lock(fLock);
    Client* client = FindClient(clientID);
    if (!client) return CL_IPC_NO_CLIENT_ID;
    client->fContext->SetFlags(client->fContext->GetFlags() & ~0xFFu);
    KillClient(client);
    return CL_OK;
}

void CL_TCPServer::Client::QueueChunk(CL_Packet* packet) {
    fQueuedReadPackets->Append(packet);
    fQueuedReadBytes += QueuedCost(packet);
}

CL_Packet* CL_TCPServer::Client::TakeFirstChunk() {
    for (CL_LinkedList<CL_Packet*>::iterator it = fQueuedReadPackets->begin();
         it != fQueuedReadPackets->end(); ++it) {
        CL_Packet* packet = *it;
        if (!(packet->fHeader.fFlags & CL_IPC_FIRST_CHUNK)) continue;
        fQueuedReadPackets->Remove(it);
        fQueuedReadBytes -= QueuedCost(packet);
        return packet;
    }
    return nullptr;
}

CL_Packet* CL_TCPServer::Client::TakeNextChunk(uint32 sequence) {
    for (CL_LinkedList<CL_Packet*>::iterator it = fQueuedReadPackets->begin();
         it != fQueuedReadPackets->end(); ++it) {
        CL_Packet* packet = *it;
        if (packet->fHeader.fSequence != sequence || (packet->fHeader.fFlags & CL_IPC_FIRST_CHUNK))
            continue;
        fQueuedReadPackets->Remove(it);
        fQueuedReadBytes -= QueuedCost(packet);
        return packet;
    }
    return nullptr;
}

bool CL_TCPServer::Client::HasFirstChunk() {
    for (CL_Packet* packet : *fQueuedReadPackets)
        if (packet->fHeader.fFlags & CL_IPC_FIRST_CHUNK) return true;
    return false;
}

bool CL_TCPServer::Client::HasFirstChunk(uint32 sequence) {
    for (CL_Packet* packet : *fQueuedReadPackets)
        if (packet->fHeader.fSequence == sequence && (packet->fHeader.fFlags & CL_IPC_FIRST_CHUNK))
            return true;
    return false;
}

void CL_TCPServer::Client::DropChunks(uint32 sequence, bool laterOnly) {
    for (CL_LinkedList<CL_Packet*>::iterator it = fQueuedReadPackets->begin();
         it != fQueuedReadPackets->end(); ++it) {
        CL_Packet* packet = *it;
        if (packet->fHeader.fSequence != sequence) continue;
        if (laterOnly && (packet->fHeader.fFlags & CL_IPC_FIRST_CHUNK)) continue;
        fQueuedReadBytes -= QueuedCost(packet);
        fQueuedReadPackets->Remove(it);
        delete packet;
    }
}
