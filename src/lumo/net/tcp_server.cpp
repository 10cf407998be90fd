// The TCP server object: identity, construction of its two long-lived threads,
// settings, Start (ports, own address, first workers), Stop, destruction, and the
// reaction to system suspend and resume.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "lumo/clock.h"
#include "lumo/digest.h"
#include "lumo/power.h"
#include "lumo/table.h"
#include "lumo/translator.h"
#include "lumo/uuid.h"
#include "tcp_server_records.h"

namespace {

const char* T(const char* text) {
    return CL_Translator::Get().Translate(text, nullptr);
}

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

CL_TCPServer::CL_TCPServer() {
    InitObject();
}

CL_TCPServer::CL_TCPServer(CLU_Table& settings) {
    InitObject();
    Setup(settings);
}

// Part of construction: no other thread sees the object before the two threads start
// at its end, which the analysis cannot tell.
void CL_TCPServer::InitObject() CL_NO_THREAD_SAFETY_ANALYSIS {
    fID = MachinePart() << 16;
    fNextClientID = 1;
    fNextWorkerID = 1;
    fListener = new CL_Socket();
    fResponder = new CL_Socket();
    fListenerPort = 0;
    fResponderPort = CL_SERVER_FIRST_RESPONDER_PORT;
    fWorkerList = new WorkerList();
    fIdleWorkers = new WorkerList();
    fHeavyServed = 0;
    fDispatcherPass = nullptr;
    fClientList = new ClientList();
    fWaitingList = new ClientList();
    fDeadList = new ClientList();
    fTimeOut = CL_SERVER_DEFAULT_TIMEOUT;
    fMaxRequestSize = CL_SERVER_DEFAULT_MAX_REQUEST;
    fLoad = 0.0;
    fRun = false;
    fQuit = false;
    fWakeFD = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    fWakePending = false;
    fInputBytes = 0;
    fOutputBytes = 0;
    fServerThreadID = CL_Thread::Spawn("server listener", 1, 0, ListenerThread, this);
    fDispatcherThreadID = CL_Thread::Spawn("server dispatcher", 2, 0, DispatcherThread, this);
}

CL_TCPServer::~CL_TCPServer() {
    Stop();
    fQuit = true;
    if (fServerThreadID) CL_Thread::Wait(fServerThreadID);
    if (fDispatcherThreadID) CL_Thread::Wait(fDispatcherThreadID);
    delete fWorkerList;
    delete fIdleWorkers;
    delete fClientList;
    delete fWaitingList;
    delete fDeadList;
    delete fListener;
    delete fResponder;
    if (fWakeFD >= 0) close(fWakeFD);
}

void CL_TCPServer::Setup(CLU_Table& settings) {
    Stop();
    fIP = settings.GetString("ip");
    fListenerPort = uint16(settings.GetInteger("listener_port"));
    uint32 timeOut = uint32(settings.GetInteger("timeout"));
    fTimeOut = timeOut ? timeOut : CL_SERVER_DEFAULT_TIMEOUT;
    uint64 maxRequest = uint64(settings.GetInteger("max_request_size"));
    if (maxRequest == 0) maxRequest = CL_SERVER_DEFAULT_MAX_REQUEST;
    fMaxRequestSize = uint32(maxRequest < CL_Blob::kMaxSize ? maxRequest : CL_Blob::kMaxSize);
    fFlags = uint16(settings.GetInteger("flags"));
    SetLogLevel(uint32(settings.GetInteger("log_level")));
    fResponderPort = CL_SERVER_FIRST_RESPONDER_PORT;
}

// The configured IP, else the first interface that is not a loopback one, else the
// local host; *count is the number of interfaces found.
CL_NetAddress CL_TCPServer::FindOwnAddress(uint32* count) {
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

CL_Status CL_TCPServer::Start() {
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
    Log(CL_LOG_LEVEL_INFO,
        T("Server ID 0x%016llX avviato in ascolto sulla porta %d, livello di log %d"),
        (unsigned long long)fID.load(), int(listenerPort), int(GetLogLevel()));
    fRun = true;
    if (CL_AddPowerCallback(PowerThunk, this) != CL_OK)
        Log(CL_LOG_LEVEL_WARNING,
            T("Impossibile monitorare gli eventi di sospensione/ripristino del sistema"));
    return CL_OK;
}

void CL_TCPServer::SetAddress(const CL_NetAddress& address) {
    fAddress = address;
    CL_AutoLocker lock(fAddressLock);
    fPublishedAddress = address;
}

// The sockets are bound here rather than on their first use, so that a client may
// connect as soon as Start returns. Neither stays open when the other fails.
CL_Status CL_TCPServer::OpenSockets(uint16 listenerPort, uint16 responderPort) {
    {
        CL_AutoLocker listenerLock(fListenerLock);
        fListener->SetAddress(CL_NetAddress(CL_NetAddress::ANY, listenerPort));
        fListener->SetType(CL_SOCKET_TYPE_TCP);
        if (fListener->Accept(nullptr, 0) != CL_OK) {
            fListener->Close();
            return CL_IPC_NO_LISTEN_PORT;
        }
    }
    {
        CL_AutoLocker responderLock(fResponderLock);
        fResponder->SetAddress(CL_NetAddress(CL_NetAddress::ANY, responderPort));
        fResponder->SetType(CL_SOCKET_TYPE_UDP);
        if (fResponder->Accept(nullptr, 0) == CL_OK) return CL_OK;
        fResponder->Close();
    }
    CL_AutoLocker listenerLock(fListenerLock);
    fListener->Close();
    return CL_IPC_NO_RESPONDER_PORT;
}

void CL_TCPServer::Stop() {
    if (StopServing()) Log(CL_LOG_LEVEL_INFO, T("Server fermato"));
}

// Kills every client, waits for the workers to delete them, ends the workers and
// closes the sockets; false when the server was not running. The listener and
// dispatcher threads stay, idle, so that Start may be called again.
bool CL_TCPServer::StopServing() {
    CL_AutoLocker lock(fLock);
    if (!fRun) return false;
    fRun = false;
    {
        // The power listener holds its table while it runs callbacks, and this
        // server's callback takes the server lock: remove it with the lock released.
        CL_AutoUnlocker unlock(fLock);
        CL_RemovePowerCallback(PowerThunk, this);
    }
    while (fClientList->Count() > 0)
        DoKillClient(fClientList->Pop(false));
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
    fDeadList->Clear();
    fWaitingList->Clear();
    CL_AutoLocker listenerLock(fListenerLock);
    fListener->Close();
    return true;
}

// Until no thread is at work and the workers have deleted every dead client.
void CL_TCPServer::WaitForDeadClients() {
    while (fBusyCount > 0 || fDeadList->Count() > 0) {
        HandOutWork();
        CL_AutoUnlocker unlock(fLock);
        CL_Thread::Sleep(kStopPoll);
    }
}

void CL_TCPServer::Lock() {
    fLock.Lock();
}

void CL_TCPServer::Unlock() {
    fLock.Unlock();
}

void CL_TCPServer::GetUUID(CLU_UUID& uuid) {
    CL_Blob id;
    id += fID.load();
    CLU_MD5 digest(id.Encode(CL_BLOB_CODING_BASE_16));
    uint8 raw[16];
    digest.Get(raw);
    CL_Blob bytes(raw, 16, true);
    uuid = CLU_UUID(bytes);
}

// Takes no server lock, so that a callback that holds it may call it: the address is
// the copy published for such readers.
void CL_TCPServer::GetInfo(CLU_Table& info) {
    CL_NetAddress address;
    {
        CL_AutoLocker lock(fAddressLock);
        address = fPublishedAddress;
    }
    info.Set("log_level", (long long)GetLogLevel());
    info.Set("host", address.GetIP());
    info.Set("port", (long long)address.GetPort());
    info.Set("responder_port", (long long)fResponderPort.load());
}

uint64 CL_TCPServer::GetInputBudget() const {
    uint64 budget = uint64(fMaxRequestSize) * 2;
    return budget > kMinInputBudget ? budget : kMinInputBudget;
}

// The event's counter only has to be non-zero: one write while none is unread.
void CL_TCPServer::WakeDispatcher() {
    if (fWakePending.exchange(true)) return;
    uint64 one = 1;
    ssize_t written = write(fWakeFD, &one, sizeof(one));
    (void)written;
}

CL_NetAddress CL_TCPServer::GetAddress() {
    CL_AutoLocker lock(fLock);
    return fAddress;
}

uint32 CL_TCPServer::GetWorkerCount() {
    CL_AutoLocker lock(fLock);
    return fWorkerList->Count();
}

int32 CL_TCPServer::PowerCallback(int32 event, CL_TCPServer* server) {
    if (!server) return CL_OK;
    if (event == CL_POWER_EVENT_SUSPEND)
        server->DropClientsForSuspend();
    else if (event == CL_POWER_EVENT_RESUME)
        server->RefreshAddressAfterResume();
    return CL_OK;
}

// Closes every connection and returns once the workers have deleted them all, their
// contexts handed to the disconnect callback, before the system sleeps.
void CL_TCPServer::DropClientsForSuspend() {
    CL_AutoLocker lock(fLock);
    while (fClientList->Count() > 0) {
        Client* client = fClientList->GetFirst();
        client->fContext->SetFlags(client->fContext->GetFlags() & ~0xFFu);
        KillClient(client);
    }
    while (fDeadList->Count() > 0) {
        HandOutWork();
        CL_AutoUnlocker unlock(fLock);
        CL_Thread::Sleep(kSuspendPoll);
    }
}

// The own address may have changed while the system slept; the port stays, and the
// sockets are not reopened.
void CL_TCPServer::RefreshAddressAfterResume() {
    CL_AutoLocker lock(fLock);
    uint32 count = 0;
    uint16 port = fAddress.GetPort();
    CL_NetAddress address = FindOwnAddress(&count);
    address.SetPort(port);
    SetAddress(address);
    Log(CL_LOG_LEVEL_WARNING,
        T("Server riavviato a seguito di ripristino del sistema (indirizzo: %s:%d)"),
        address.GetIP().c_str(), int(port));
}
