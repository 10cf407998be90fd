// The TCP server's records of connected clients: creation at accept, killing (socket
// shut, requests cancelled, moved to the dead list), deletion, and the administration
// calls that list, describe and close clients.
#include <algorithm>
#include <iterator>

#include "lumo/cipher.h"
#include "lumo/clock.h"
#include "lumo/table.h"
#include "tcp_server_records.h"

using Impl = CL_TCPServer::Impl;

namespace {

// A heap block as glibc's malloc hands it out on a 64-bit system: the size asked for
// and a word of its own, in steps of 16 bytes, 32 at least.
constexpr uint64 Allocated(uint64 size) {
    return std::max<uint64>(32, (size + sizeof(size_t) + 15) & ~uint64(15));
}

// A request's record, its node in the queue's list (two links and the pointer) and in
// its map by sequence (colour and three links, the number and the list position).
// Measured with malloc_usable_size on Debian 12 (glibc 2.36, x86-64): blocks of 80, 32
// and 64 bytes, the 176 bytes of an empty request that the allowance counted at 56.
constexpr uint64 kRecordBytes =
    Allocated(sizeof(Impl::Incoming)) + Allocated(2 * sizeof(void*) + sizeof(Impl::Incoming*)) +
    Allocated(4 * sizeof(void*) +
              sizeof(std::pair<const uint32, std::list<Impl::Incoming*>::iterator>));

}  // namespace

uint64 Impl::Incoming::Held() const {
    return kRecordBytes + fInput.GetSize();
}

uint64 Impl::Incoming::MostHeld(uint64 bytes) {
    return bytes + (bytes + sizeof(CL_PacketHeader) - 1) / sizeof(CL_PacketHeader) * kRecordBytes;
}

CL_Packet::CL_Packet(uint16 type, uint16 flags, uint32 sequence) {
    CL_InitPacketHeader(&fHeader, CL_PacketType(type), flags, sequence);
}

CL_Packet::CL_Packet(const CL_PacketHeader& header) : fHeader(header) {}

// Created by the listener with the server lock held.
Impl::Client::Client(Impl* server, CL_Socket* socket)
    : fID(server->fNextClientID++),
      fPeer(socket->GetAddress()),
      fQueuedBytes(0),
      fBacklog(0),
      fHeadReach(0),
      fProtocolVersion(CL_IPC_VERSION),
      fAuthorized(false),
      fDead(false),
      fBusyCount(0),
      fContext(new CL_ClientContext(fID, &server->fServer)),
      fSocket(socket),
      fOutput(&server->fOutputBytes, &server->fLiveOutput, &fBacklog),
      fPinnedWorker(nullptr),
      fWaiting(false),
      fWaitStartTime(CL_GetTime()),
      fHeldTurn(0),
      fChatPort(0),
      fHeld(false),
      fPartial(false),
      fLastReadTime(fWaitStartTime),
      fReader(true),
      fGatheredBytes(0),
      fPendingCancelAll(false),
      fDroppedInput(0),
      fWatchPass(0),
      fWatchSlot(0),
      fServer(server) {
    fContext->SetCipher(new CL_Cipher());
}

// The server's counters were settled when the client was killed; the lock is taken
// for the analysis' sake, no other thread sees the record any more. What its requests
// and replies held is given back in one go.
Impl::Client::~Client() {
    if (fPinnedWorker) fPinnedWorker->fPinnedClient = nullptr;
    if (fContext) delete fContext->GetCipher();
    for (Incoming* request : fGathers)
        delete request;
    uint64 replies;
    {
        CL_AutoLocker lock(fLock);
        for (Incoming* request : fQueuedRequests)
            delete request;
        for (Request* request : fExecutingRequests)
            delete request;
        replies = fOutput.Free();
    }
    fServer->GiveBack(fDroppedInput, replies);
}

Impl::Client* Impl::FindClient(uint32 clientID) {
    for (Client* client : fClientList)
        if (client->fID == clientID) return client;
    return nullptr;
}

void Impl::KillClient(Client* client) {
    fClientList.Remove(client);
    DoKillClient(client);
}

void Impl::DoKillClient(Client* client) {
    {
        // The socket is shut down rather than closed: the dispatcher may be waiting on
        // it, and it is closed when the record is deleted. What waits to be written goes.
        CL_AutoLocker lock(ClientLock(client));
        client->fSocket->Shutdown();
        client->fDead = true;
        client->fOutput.Drop();
    }
    client->fPartial = false;
    client->fContext->AbortAll(fServer.GetCallbacks().fAbort);
    UnlistWaiting(client);
    fDeadList.RemoveAll(client);
    fDeadList.Append(client);
    HandOutWork();
}

// When the record is deleted: the dispatcher no longer looks at it, and what it had
// gathered or queued leaves the server's counts.
void Impl::DropInput(Client* client) {
    for (Incoming* request : client->fGathers) {
        client->fDroppedInput += request->Held();
        ReleaseInput(*request);
        delete request;
    }
    client->fGathers = CL_HashMap<int32, Incoming*>();
    client->fGatheredBytes = 0;
    client->fPendingCancels.clear();
    client->fPendingCancelAll = false;
    CL_AutoLocker lock(ClientLock(client));
    while (Incoming* request = client->TakeRequest()) {
        client->fDroppedInput += request->Held();
        ReleaseInput(*request);
        delete request;
    }
}

void Impl::GiveBack(uint64 input, uint64 replies) {
    if (fInputBytes == 0 && fInputPeaked.exchange(false)) input = std::max(input, kTrimAfter);
    if (input + replies < kTrimAfter) return;
    fLastTrimAsked = CL_GetMicroTime();
    fRepliesFreed += replies;
    fTrimDue = true;
    TrimWhenDue();
}

// One thread trims at a time, and looks at the clock once it is the one; a trim asked
// for meanwhile waits for the next turn, the dispatcher's next pass for replies that
// come to their share. A clock set back makes the stamps look far ahead: the turn has
// come then.
void Impl::TrimWhenDue(bool now) {
    if (!fTrimDue || fTrimming.exchange(true)) return;
    uint64 last = fLastTrim, time = CL_GetMicroTime();
    bool spaced = last == 0 || time - last >= kTrimInterval;
    bool overdue = now || last == 0 || time - last >= kTrimLongest;
    bool quiet = time - fLastTrimAsked >= kTrimInterval;
    bool replies = fRepliesFreed >= GetOutputBudget() / kTrimShare;
    if ((overdue || replies || (spaced && quiet)) && fTrimDue.exchange(false)) {
        // What is freed while the trim runs counts towards the next.
        fRepliesFreed = 0;
        fLastTrim = std::max<uint64>(time, 1);
        fTrims++;
        CL_ReleaseMemory();
    }
    fTrimming = false;
}

void Impl::ListClients(CL_LinkedList<uint32>* ids) {
    if (!ids) return;
    CL_AutoLocker lock(fLock);
    ids->Clear();
    for (Client* client : fClientList)
        ids->Append(client->fID);
}

CL_Status Impl::DescribeClient(uint32 clientID, CLU_Table& info) {
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
    CL_ClientInfoCB describe = fServer.GetCallbacks().fClientInfo;
    if (describe) describe(client->fContext.get(), info);
    return CL_OK;
}

CL_Status Impl::CloseClient(uint32 clientID) {
    CL_AutoLocker lock(fLock);
    Client* client = FindClient(clientID);
    if (!client) return CL_IPC_NO_CLIENT_ID;
    client->fContext->SetFlags(client->fContext->GetFlags() & ~0xFFu);
    KillClient(client);
    return CL_OK;
}

void Impl::Client::QueueRequest(Incoming* request) {
    fQueuedRequests.Append(request);
    fQueuedBytes += request->Held();
    if (fQueuedRequests.Count() == 1) fHeadReach = fServer->InflateReach(*request);
}

Impl::Incoming* Impl::Client::TakeRequest() {
    return Uncount(fQueuedRequests.PopFront());
}

Impl::Incoming* Impl::Client::TakeRequest(uint32 sequence) {
    return Uncount(fQueuedRequests.Take(sequence));
}

Impl::Incoming* Impl::Client::Uncount(Incoming* request) {
    if (!request) return nullptr;
    fQueuedBytes -= request->Held();
    Incoming* next = PeekRequest();
    fHeadReach = next ? fServer->InflateReach(*next) : 0;
    return request;
}

void Impl::RequestQueue::Append(Incoming* request) {
    fOrder.push_back(request);
    fBySequence.emplace(request->fHeader.fSequence, std::prev(fOrder.end()));
}

// The front request is the oldest of its number too: the first of its range.
Impl::Incoming* Impl::RequestQueue::PopFront() {
    if (fOrder.empty()) return nullptr;
    return Take(fOrder.front()->fHeader.fSequence);
}

Impl::Incoming* Impl::RequestQueue::Take(uint32 sequence) {
    auto found = fBySequence.lower_bound(sequence);
    if (found == fBySequence.end() || found->first != sequence) return nullptr;
    Incoming* request = *found->second;
    fOrder.erase(found->second);
    fBySequence.erase(found);
    return request;
}
