// The TCP server's records of connected clients: creation at accept, killing (socket
// shut, requests cancelled, moved to the dead list), deletion, and the administration
// calls that list, describe and close clients.
#include "lumo/cipher.h"
#include "lumo/clock.h"
#include "lumo/table.h"
#include "tcp_server_records.h"

namespace {

// What a queued request counts against the client's allowance: its bytes and its
// record, so that empty requests count too.
uint64 QueuedCost(const CL_Blob& input) {
    return uint64(input.GetSize()) + sizeof(CL_PacketHeader) + sizeof(CL_Blob);
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
      fQueuedBytes(0),
      fBacklog(0),
      fHeavyQueued(0),
      fServedHeavy(false),
      fBusyCount(0),
      fLastReadTime(0),
      fWaitStartTime(0),
      fChatPort(0),
      fProtocolVersion(CL_IPC_VERSION),
      fPeer(socket->GetAddress()),
      fAuthorized(false),
      fPartial(false),
      fReader(true),
      fGatheredBytes(0),
      fPendingCancelAll(false),
      fWatchPass(0),
      fWatchSlot(0),
      fHeld(false),
      fDead(false) {
    uint32 now = CL_GetTime();
    fContext = new CL_ClientContext(fID, server);
    fContext->SetCipher(new CL_Cipher());
    fLastReadTime = now;
    fWaitStartTime = now;
}

// The server's counters were settled when the client was killed; the lock is taken
// for the analysis' sake, no other thread sees the record any more.
CL_TCPServer::Client::~Client() {
    if (fPinnedWorker) fPinnedWorker->fPinnedClient = nullptr;
    if (fContext) {
        delete fContext->GetCipher();
        delete fContext;
    }
    for (Incoming* request : fGathers)
        delete request;
    CL_AutoLocker lock(fLock);
    delete fSocket;
    for (Incoming* request : fQueuedRequests)
        delete request;
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
        // The socket is shut down rather than closed: the dispatcher may be waiting on
        // it, and it is closed when the record is deleted. What waits to be written goes.
        CL_AutoLocker lock(ClientLock(client));
        client->fSocket->Shutdown();
        client->fDead = true;
        DropOutput(client);
    }
    client->fPartial = false;
    client->fContext->AbortAll(GetCallbacks().fAbort);
    fWaitingList->RemoveAll(client);
    fDeadList->RemoveAll(client);
    fDeadList->Append(client);
    HandOutWork();
}

// When the record is deleted: the dispatcher no longer looks at it, and what it had
// gathered or queued leaves the server's count.
void CL_TCPServer::DropInput(Client* client) {
    uint64 dropped = client->fGatheredBytes;
    for (Incoming* request : client->fGathers)
        delete request;
    client->fGathers = CL_HashMap<int32, Incoming*>();
    client->fGatheredBytes = 0;
    client->fPendingCancels.clear();
    client->fPendingCancelAll = false;
    CL_AutoLocker lock(ClientLock(client));
    while (Incoming* request = client->TakeRequest()) {
        dropped += request->fInput.GetSize();
        delete request;
    }
    fInputBytes -= dropped;
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

void CL_TCPServer::Client::QueueRequest(Incoming* request) {
    fQueuedRequests.Append(request);
    fQueuedBytes += QueuedCost(request->fInput);
    if (IsHeavy(*request)) fHeavyQueued++;
}

CL_TCPServer::Incoming* CL_TCPServer::Client::TakeRequest() {
    if (fQueuedRequests.Count() == 0) return nullptr;
    Incoming* request = fQueuedRequests.Pop(true);
    fQueuedBytes -= QueuedCost(request->fInput);
    if (IsHeavy(*request)) fHeavyQueued--;
    return request;
}

CL_TCPServer::Incoming* CL_TCPServer::Client::TakeRequest(uint32 sequence) {
    for (CL_LinkedList<Incoming*>::iterator it = fQueuedRequests.begin();
         it != fQueuedRequests.end(); ++it) {
        Incoming* request = *it;
        if (request->fHeader.fSequence != sequence) continue;
        fQueuedRequests.Remove(it);
        fQueuedBytes -= QueuedCost(request->fInput);
        if (IsHeavy(*request)) fHeavyQueued--;
        return request;
    }
    return nullptr;
}
