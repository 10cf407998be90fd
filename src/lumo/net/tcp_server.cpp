// The TCP server object: identity, construction of its two long-lived threads,
// settings, Start (ports, own address, first workers), Stop, destruction, and the
// reaction to system suspend and resume.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "lumo/clock.h"
#include "lumo/digest.h"
#include "lumo/net/socket_binding.h"
#include "lumo/power.h"
#include "lumo/table.h"
#include "lumo/uuid.h"
#include "tcp_server_records.h"

using Impl = CL_TCPServer::Impl;

namespace {

constexpr uint32 kListenerCandidates = 11;
constexpr uint32 kResponderCandidates = 10;
constexpr uint32 kPortStep = 20;
constexpr uint32 kMaxInterfaces = 32;
// Stop's wait for the workers to delete the dead clients, and the suspend event's.
constexpr uint32 kStopPoll = 50;
constexpr uint32 kSuspendPoll = 10;
// The input budget: twice the request limit, so that one request of the largest size
// can be gathered while another waits whole, but never below this.
constexpr uint64 kMinInputBudget = 1u << 20;

bool CanUsePort(uint16 port, CL_SocketType type) {
    CL_Socket probe(port, CL_SOCKET_DOMAIN_INET, type);
    return probe.CanAccept();
}

// The configured port when it is free, else (none configured) the first free
// candidate; 0 when there is none.
uint16 ChooseListenerPort(uint16 configured) {
    if (configured != 0) return CanUsePort(configured, CL_SOCKET_TYPE_TCP) ? configured : 0;
    for (uint32 k = 0; k < kListenerCandidates; k++) {
        uint16 port = uint16(CL_SERVER_FIRST_LISTENER_PORT + kPortStep * k);
        if (CanUsePort(port, CL_SOCKET_TYPE_TCP)) return port;
    }
    return 0;
}

uint16 ChooseResponderPort() {
    for (uint32 k = 0; k < kResponderCandidates; k++) {
        uint16 port = uint16(CL_SERVER_FIRST_RESPONDER_PORT + kPortStep * k);
        if (CanUsePort(port, CL_SOCKET_TYPE_UDP)) return port;
    }
    return 0;
}

// The machine part of the server id: the primary MAC address as a 48-bit number, or
// a pseudo-random number when there is none.
uint64 MachinePart() {
    uint8 mac[6] = {0, 0, 0, 0, 0, 0};
    uint64 machine = 0;
    if (CL_NetInterface::GetPrimaryMAC(mac) == CL_OK) {
        for (int i = 0; i < 6; i++)
            machine = (machine << 8) | mac[i];
    }
    if (machine == 0) {
        srand(CL_GetTime());
        machine = uint64(uint32(rand()));
    }
    return machine;
}

int32 PowerThunk(int32 event, void* param) {
    return CL_TCPServer::PowerCallback(event, static_cast<CL_TCPServer*>(param));
}

}  // namespace

// ---- The public object: what callers use ------------------------------------------------

CL_TCPServer::CL_TCPServer() : fImpl(new Impl(*this)) {}

CL_TCPServer::CL_TCPServer(CLU_Table& settings) : fImpl(new Impl(*this)) {
    Setup(settings);
}

// The threads end before the base object, whose log and callbacks they use.
CL_TCPServer::~CL_TCPServer() {
    Stop();
    fImpl.reset();
}

void CL_TCPServer::Setup(CLU_Table& settings) {
    Stop();
    fImpl->Configure(settings);
    fFlags = uint16(settings.GetInteger("flags"));
    SetLogLevel(uint32(settings.GetInteger("log_level")));
}

CL_Status CL_TCPServer::Start() {
    return fImpl->Start();
}

void CL_TCPServer::Stop() {
    if (fImpl->StopServing()) Log(CL_LOG_LEVEL_INFO, T("Server fermato"));
}

// The server lock, held by the caller across calls: beyond the analysis.
void CL_TCPServer::Lock() CL_NO_THREAD_SAFETY_ANALYSIS {
    fImpl->fLock.Lock();
}

void CL_TCPServer::Unlock() CL_NO_THREAD_SAFETY_ANALYSIS {
    fImpl->fLock.Unlock();
}

void CL_TCPServer::GetUUID(CLU_UUID& uuid) {
    CL_Blob id;
    id += GetID();
    CLU_MD5 digest(id.Encode(CL_BLOB_CODING_BASE_16));
    uint8 raw[16];
    digest.Get(raw);
    CL_Blob bytes(raw, 16, true);
    uuid = CLU_UUID(bytes);
}

// Takes no server lock, so that a callback that holds it may call it.
void CL_TCPServer::GetInfo(CLU_Table& info) {
    info.Set("log_level", (long long)GetLogLevel());
    fImpl->Publish(info);
}

void CL_TCPServer::GetClientsList(CL_LinkedList<uint32>* ids) {
    fImpl->ListClients(ids);
}

CL_Status CL_TCPServer::GetClientInfo(uint32 clientID, CLU_Table& info) {
    return fImpl->DescribeClient(clientID, info);
}

CL_Status CL_TCPServer::CloseClient(uint32 clientID) {
    return fImpl->CloseClient(clientID);
}

int32 CL_TCPServer::PowerCallback(int32 event, CL_TCPServer* server) {
    if (!server) return CL_OK;
    if (event == CL_POWER_EVENT_SUSPEND)
        server->fImpl->DropClientsForSuspend();
    else if (event == CL_POWER_EVENT_RESUME)
        server->fImpl->RefreshAddressAfterResume();
    return CL_OK;
}

uint64 CL_TCPServer::GetID() const {
    return fImpl->fID;
}

CL_NetAddress CL_TCPServer::GetAddress() {
    CL_AutoLocker lock(fImpl->fLock);
    return fImpl->fAddress;
}

uint16 CL_TCPServer::GetResponderPort() const {
    return fImpl->fResponderPort;
}

uint32 CL_TCPServer::GetTimeOut() const {
    return fImpl->fTimeOut;
}

uint32 CL_TCPServer::GetMaxRequestSize() const {
    return fImpl->fMaxRequestSize;
}

bool CL_TCPServer::IsRunning() const {
    return fImpl->fRun;
}

uint32 CL_TCPServer::GetWorkerCount() {
    CL_AutoLocker lock(fImpl->fLock);
    return fImpl->fWorkerList.Count();
}

uint64 CL_TCPServer::GetQueuedInput() const {
    return fImpl->fInputBytes;
}

uint64 CL_TCPServer::GetInputBudget() const {
    return fImpl->GetInputBudget();
}

uint64 CL_TCPServer::GetQueuedOutput() const {
    return fImpl->fOutputBytes;
}

uint64 CL_TCPServer::GetOutputBudget() const {
    return fImpl->GetOutputBudget();
}

// ---- The machinery ------------------------------------------------------------------------

Impl::Impl(CL_TCPServer& server)
    : fServer(server),
      fID(MachinePart() << 16),
      fRun(false),
      fQuit(false),
      fInputBytes(0),
      fOutputBytes(0),
      fLiveOutput(0),
      fHandshakeBytes(0),
      fListenerPort(0),
      fResponderPort(CL_SERVER_FIRST_RESPONDER_PORT),
      fTimeOut(CL_SERVER_DEFAULT_TIMEOUT),
      fMaxRequestSize(CL_SERVER_DEFAULT_MAX_REQUEST),
      fListener(new CL_Socket()),
      fResponder(new CL_Socket()),
      fInflating(0),
      fInflateHeld(false),
      fWakeFD(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      fWakePending(false) {
    InitLocked();
    fListenerThreadID = CL_Thread::Spawn("server listener", 1, 0, ListenerThread, this);
    fDispatcherThreadID = CL_Thread::Spawn("server dispatcher", 2, 0, DispatcherThread, this);
}

// Part of construction: no other thread sees the object before the two threads start
// at its end, which the analysis cannot tell.
void Impl::InitLocked() CL_NO_THREAD_SAFETY_ANALYSIS {
    fNextClientID = 1;
    fNextWorkerID = 1;
    fHeldTurns = 0;
    fLoad = 0.0;
    fDispatcherPass = nullptr;
    fStarts = 0;
}

Impl::~Impl() {
    StopServing();
    fQuit = true;
    if (fListenerThreadID) CL_Thread::Wait(fListenerThreadID);
    if (fDispatcherThreadID) CL_Thread::Wait(fDispatcherThreadID);
    if (fWakeFD >= 0) close(fWakeFD);
}

// The settings of this object; the base's flags and log level are the caller's.
void Impl::Configure(CLU_Table& settings) {
    fIP = settings.GetString("ip");
    fLoopbackOnly = settings.GetInteger("loopback_only") != 0;
    fListenerPort = uint16(settings.GetInteger("listener_port"));
    uint32 timeOut = uint32(settings.GetInteger("timeout"));
    fTimeOut = timeOut ? timeOut : CL_SERVER_DEFAULT_TIMEOUT;
    uint64 maxRequest = uint64(settings.GetInteger("max_request_size"));
    if (maxRequest == 0) maxRequest = CL_SERVER_DEFAULT_MAX_REQUEST;
    fMaxRequestSize = uint32(maxRequest < CL_Blob::kMaxSize ? maxRequest : CL_Blob::kMaxSize);
    fResponderPort = CL_SERVER_FIRST_RESPONDER_PORT;
}

// The configured IP, else the first interface that is not a loopback one, else the
// local host; *count is the number of interfaces found.
CL_NetAddress Impl::FindOwnAddress(uint32* count) {
    CL_NetInterface interfaces[kMaxInterfaces];
    *count = CL_NetInterface::Enumerate(interfaces, kMaxInterfaces);
    if (!fIP.empty()) return CL_NetAddress(fIP);
    CL_NetAddress address = CL_NetAddress::LocalHost();
    for (uint32 i = 0; i < *count; i++) {
        if (!(interfaces[i].GetFeatures() & CL_NIC_IS_LOOPBACK)) {
            address = interfaces[i].GetAddress();
            break;
        }
    }
    return address;
}

CL_Status Impl::Start() {
    CL_AutoLocker lock(fLock);
    if (fRun) return CL_OK;
    uint16 listenerPort = ChooseListenerPort(fListenerPort);
    if (listenerPort == 0) return CL_IPC_NO_LISTEN_PORT;
    uint16 responderPort = ChooseResponderPort();
    if (responderPort == 0) return CL_IPC_NO_RESPONDER_PORT;
    uint32 interfaces = 0;
    CL_NetAddress address = FindOwnAddress(&interfaces);
    if (!address.IsOk()) return interfaces > 0 ? CL_BAD_HOST_ADDRESS : CL_NO_NET_INTERFACE;
    CL_Status status = OpenSockets(listenerPort, responderPort);
    if (status != CL_OK) return status;
    fID = (fID.load() & ~uint64(0xFFFF)) | listenerPort;
    fResponderPort = responderPort;
    address.SetPort(listenerPort);
    SetAddress(address);

    StartWorkers();
    fServer.Log(CL_LOG_LEVEL_INFO,
                T("Server ID 0x%016llX avviato in ascolto sulla porta %d, livello di log %d"),
                (unsigned long long)fID.load(), int(listenerPort), int(fServer.GetLogLevel()));
    // The dispatcher takes its stamps afresh: those of before a stop may be of any age,
    // and after a gap near the clock's wrap would read as up to kClockLead ahead, which
    // held its periodic work (PINGs, sweeps, discovery) back that long.
    fStarts++;
    fRun = true;
    if (CL_AddPowerCallback(PowerThunk, &fServer) != CL_OK)
        fServer.Log(CL_LOG_LEVEL_WARNING,
                    T("Impossibile monitorare gli eventi di sospensione/ripristino del sistema"));
    return CL_OK;
}

void Impl::SetAddress(const CL_NetAddress& address) {
    fAddress = address;
    CL_AutoLocker lock(fAddressLock);
    fPublishedAddress = address;
}

// The sockets are bound here rather than on their first use, so that a client may
// connect as soon as Start returns. Neither stays open when the other fails.
CL_Status Impl::OpenSockets(uint16 listenerPort, uint16 responderPort) {
    // Every interface, or only this machine's own connections and discovery requests.
    const CL_NetAddress::Special bound = fLoopbackOnly ? CL_NetAddress::LOOPBACK
                                                       : CL_NetAddress::ANY;
    {
        CL_AutoLocker listenerLock(fListenerLock);
        fListener->SetAddress(CL_NetAddress(bound, listenerPort));
        CL_SocketBinding::KeepLoopback(*fListener, fLoopbackOnly);
        fListener->SetType(CL_SOCKET_TYPE_TCP);
        if (fListener->Accept(nullptr, 0) != CL_OK) {
            fListener->Close();
            return CL_IPC_NO_LISTEN_PORT;
        }
    }
    {
        CL_AutoLocker responderLock(fResponderLock);
        fResponder->SetAddress(CL_NetAddress(bound, responderPort));
        CL_SocketBinding::KeepLoopback(*fResponder, fLoopbackOnly);
        fResponder->SetType(CL_SOCKET_TYPE_UDP);
        if (fResponder->Accept(nullptr, 0) == CL_OK) return CL_OK;
        fResponder->Close();
    }
    CL_AutoLocker listenerLock(fListenerLock);
    fListener->Close();
    return CL_IPC_NO_RESPONDER_PORT;
}

// Kills every client, waits for the workers to delete them, ends the workers and
// closes the sockets; false when the server was not running. The listener and
// dispatcher threads stay, idle, so that Start may be called again.
bool Impl::StopServing() {
    CL_AutoLocker lock(fLock);
    if (!fRun) return false;
    fRun = false;
    {
        // The power listener holds its table while it runs callbacks, and this
        // server's callback takes the server lock: remove it with the lock released.
        CL_AutoUnlocker unlock(fLock);
        CL_RemovePowerCallback(PowerThunk, &fServer);
    }
    while (fClientList.Count() > 0)
        DoKillClient(fClientList.Pop(false));
    WaitForDeadClients();
    CL_Array<CL_ThreadID> threads = StopWorkers();
    {
        CL_AutoLocker responderLock(fResponderLock);
        fResponder->Close();
    }
    {
        CL_AutoUnlocker unlock(fLock);
        JoinWorkers(threads);
    }
    fDeadList.Clear();
    fWaitingList.Clear();
    CL_AutoLocker listenerLock(fListenerLock);
    fListener->Close();
    return true;
}

// Until no thread is at work and the workers have deleted every dead client.
void Impl::WaitForDeadClients() {
    while (fBusyCount > 0 || fDeadList.Count() > 0) {
        HandOutWork();
        CL_AutoUnlocker unlock(fLock);
        CL_Thread::Sleep(kStopPoll);
    }
}

// The address published for GetInfo, which takes no server lock.
void Impl::Publish(CLU_Table& info) {
    CL_NetAddress address;
    {
        CL_AutoLocker lock(fAddressLock);
        address = fPublishedAddress;
    }
    info.Set("host", address.GetIP());
    info.Set("port", (long long)address.GetPort());
    info.Set("responder_port", (long long)fResponderPort.load());
}

uint64 Impl::GetInputBudget() const {
    uint64 budget = uint64(fMaxRequestSize) * 2;
    return budget > kMinInputBudget ? budget : kMinInputBudget;
}

// The event's counter only has to be non-zero: one write while none is unread.
void Impl::WakeDispatcher() {
    if (fWakePending.exchange(true)) return;
    uint64 one = 1;
    ssize_t written = write(fWakeFD, &one, sizeof(one));
    (void)written;
}

// Closes every connection and returns once the workers have deleted them all, their
// contexts handed to the disconnect callback, before the system sleeps.
void Impl::DropClientsForSuspend() {
    CL_AutoLocker lock(fLock);
    while (fClientList.Count() > 0) {
        Client* client = fClientList.GetFirst();
        client->fContext->SetFlags(client->fContext->GetFlags() & ~0xFFu);
        KillClient(client);
    }
    while (fDeadList.Count() > 0) {
        HandOutWork();
        CL_AutoUnlocker unlock(fLock);
        CL_Thread::Sleep(kSuspendPoll);
    }
}

// The own address may have changed while the system slept; the port stays, and the
// sockets are not reopened.
void Impl::RefreshAddressAfterResume() {
    CL_AutoLocker lock(fLock);
    uint32 count = 0;
    uint16 port = fAddress.GetPort();
    CL_NetAddress address = FindOwnAddress(&count);
    address.SetPort(port);
    SetAddress(address);
    fServer.Log(CL_LOG_LEVEL_WARNING,
                T("Server riavviato a seguito di ripristino del sistema (indirizzo: %s:%d)"),
                address.GetIP().c_str(), int(port));
}
