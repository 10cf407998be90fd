// The TCP server object: identity, construction of its two long-lived threads,
// settings, Start (ports, own address, first workers), Stop, destruction, and the
// reaction to system suspend and resume.
#include <cstdlib>
#include <cstring>

#include "lumo/clock.h"
#include "lumo/digest.h"
#include "lumo/power.h"
#include "lumo/table.h"
#include "lumo/tcp_server.h"
#include "lumo/translator.h"
#include "lumo/uuid.h"

namespace {

const char* T(const char* text) {
    return CL_Translator::Get().Translate(text, nullptr);
}

constexpr uint32 kListenerCandidates = 11;
constexpr uint32 kResponderCandidates = 10;
constexpr uint32 kPortStep = 20;
constexpr uint32 kMaxInterfaces = 32;

bool CanUsePort(uint16 port, CL_SocketType type) {
    CL_Socket probe(port, CL_SOCKET_DOMAIN_INET, type);
    return probe.CanAccept();
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

void CL_TCPServer::InitObject() {
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
    fID = machine << 16;
    fNextClientID = 1;
    fNextWorkerID = 1;
    fListener = new CL_Socket();
    fResponder = new CL_Socket();
    fListenerPort = 0;
    fResponderPort = CL_SERVER_FIRST_RESPONDER_PORT;
    fWorkerList = new WorkerList();
    fClientList = new ClientList();
    fWaitingList = new ClientList();
    fDeadList = new ClientList();
    fReadyCond = new CL_Condition();
    fLock = new CL_Mutex();
    fTimeOut = CL_SERVER_DEFAULT_TIMEOUT;
    fLoad = 0.0;
    fRun = false;
    fQuit = false;
    fServerThreadID = CL_Thread::Spawn("server listener", 1, 0, ListenerThread, this);
    fDispatcherThreadID = CL_Thread::Spawn("server dispatcher", 2, 0, DispatcherThread, this);
}

CL_TCPServer::~CL_TCPServer() {
    Stop();
    fQuit = true;
    if (fServerThreadID) CL_Thread::Wait(fServerThreadID);
    if (fDispatcherThreadID) CL_Thread::Wait(fDispatcherThreadID);
    delete fWorkerList;
    delete fClientList;
    delete fWaitingList;
    delete fDeadList;
    delete fLock;
    delete fReadyCond;
    delete fListener;
    delete fResponder;
}

void CL_TCPServer::Setup(CLU_Table& settings) {
    Stop();
    fIP = settings.GetString("ip");
    fListenerPort = uint16(settings.GetInteger("listener_port"));
    fTimeOut = uint32(settings.GetInteger("timeout"));
    if (fTimeOut == 0) fTimeOut = CL_SERVER_DEFAULT_TIMEOUT;
    fFlags = uint16(settings.GetInteger("flags"));
    SetLogLevel(uint32(settings.GetInteger("log_level")));
    fResponderPort = CL_SERVER_FIRST_RESPONDER_PORT;
}

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
    fLock->Lock();
    if (fRun) {
        fLock->Unlock();
        return CL_OK;
    }
    uint16 listenerPort = 0;
    if (fListenerPort != 0) {
        if (CanUsePort(fListenerPort, CL_SOCKET_TYPE_TCP)) listenerPort = fListenerPort;
    } else {
        for (uint32 k = 0; k < kListenerCandidates && listenerPort == 0; k++) {
            uint16 port = uint16(CL_SERVER_FIRST_LISTENER_PORT + kPortStep * k);
            if (CanUsePort(port, CL_SOCKET_TYPE_TCP)) listenerPort = port;
        }
    }
    if (listenerPort == 0) {
        fLock->Unlock();
        return CL_IPC_NO_LISTEN_PORT;
    }
    uint16 responderPort = 0;
    for (uint32 k = 0; k < kResponderCandidates && responderPort == 0; k++) {
        uint16 port = uint16(CL_SERVER_FIRST_RESPONDER_PORT + kPortStep * k);
        if (CanUsePort(port, CL_SOCKET_TYPE_UDP)) responderPort = port;
    }
    if (responderPort == 0) {
        fLock->Unlock();
        return CL_IPC_NO_RESPONDER_PORT;
    }

    uint32 interfaces = 0;
    CL_NetAddress address = FindOwnAddress(&interfaces);
    if (!address.IsOk()) {
        fLock->Unlock();
        return interfaces > 0 ? CL_BAD_HOST_ADDRESS : CL_NO_NET_INTERFACE;
    }

    // The sockets are bound here rather than on their first use, so that a client
    // may connect as soon as Start returns.
    {
        CL_AutoLocker listenerLock(fListenerLock);
        fListener->SetAddress(CL_NetAddress(CL_NetAddress::ANY, listenerPort));
        fListener->SetType(CL_SOCKET_TYPE_TCP);
        if (fListener->Accept(nullptr, 0) != CL_OK) {
            fListener->Close();
            fLock->Unlock();
            return CL_IPC_NO_LISTEN_PORT;
        }
    }
    {
        CL_AutoLocker responderLock(fResponderLock);
        fResponder->SetAddress(CL_NetAddress(CL_NetAddress::ANY, responderPort));
        fResponder->SetType(CL_SOCKET_TYPE_UDP);
        if (fResponder->Accept(nullptr, 0) != CL_OK) {
            fResponder->Close();
            CL_AutoLocker listenerLock(fListenerLock);
            fListener->Close();
            fLock->Unlock();
            return CL_IPC_NO_RESPONDER_PORT;
        }
    }
    fID = (fID & ~uint64(0xFFFF)) | listenerPort;
    fResponderPort = responderPort;
    address.SetPort(listenerPort);
    fAddress = address;

    // A thread that cannot be created is retried a bounded number of times.
    for (uint32 attempt = 0; fWorkerList->Count() < CL_SERVER_MIN_WORKERS && attempt < 100;
         attempt++) {
        Worker* worker = SpawnWorker(true);
        if (worker)
            fWorkerList->Append(worker);
        else
            CL_Thread::Sleep(10);
    }
    Log(CL_LOG_LEVEL_INFO,
        T("Server ID 0x%016llX avviato in ascolto sulla porta %d, livello di log %d"),
        (unsigned long long)fID, int(listenerPort), int(GetLogLevel()));
    fRun = true;
    if (CL_AddPowerCallback(PowerThunk, this) != CL_OK)
        Log(CL_LOG_LEVEL_WARNING,
            T("Impossibile monitorare gli eventi di sospensione/ripristino del sistema"));
    fLock->Unlock();
    return CL_OK;
}

void CL_TCPServer::Stop() {
    fLock->Lock();
    if (!fRun) {
        fLock->Unlock();
        return;
    }
    fRun = false;
    // The power listener holds its table while it runs callbacks, and this server's
    // callback takes the server lock: remove it with the lock released.
    fLock->Unlock();
    CL_RemovePowerCallback(PowerThunk, this);
    fLock->Lock();

    while (fClientList->Count() > 0) {
        Client* client = fClientList->Pop(false);
        DoKillClient(client);
    }
    while (fBusyCount > 0 || fDeadList->Count() > 0) {
        fReadyCond->Broadcast();
        fLock->Unlock();
        CL_Thread::Sleep(50);
        fLock->Lock();
    }
    CL_Array<CL_ThreadID> threads;
    while (fWorkerList->Count() > 0) {
        Worker* worker = fWorkerList->Pop(false);
        threads.Append(worker->fThreadID);
        worker->fQuit = true;
    }
    {
        CL_AutoLocker responderLock(fResponderLock);
        fResponder->Close();
    }
    fReadyCond->Broadcast();
    fLock->Unlock();
    for (uint32 i = 0; i < threads.Count(); i++)
        CL_Thread::Wait(threads.Get(i));
    // Retired workers may still be on their way out.
    while (fRetiring > 0)
        CL_Thread::Sleep(1);

    fLock->Lock();
    fDeadList->Clear();
    fWaitingList->Clear();
    {
        CL_AutoLocker listenerLock(fListenerLock);
        fListener->Close();
    }
    fLock->Unlock();
    Log(CL_LOG_LEVEL_INFO, T("Server fermato"));
}

void CL_TCPServer::Lock() {
    fLock->Lock();
}

void CL_TCPServer::Unlock() {
    fLock->Unlock();
}

void CL_TCPServer::GetUUID(CLU_UUID& uuid) {
    CL_Blob id;
    id += fID;
    CLU_MD5 digest(id.Encode(CL_BLOB_CODING_BASE_16));
    uint8 raw[16];
    digest.Get(raw);
    CL_Blob bytes(raw, 16, true);
    uuid = CLU_UUID(bytes);
}

void CL_TCPServer::GetInfo(CLU_Table& info) {
    info.Set("log_level", (long long)GetLogLevel());
    info.Set("host", fAddress.GetIP());
    info.Set("port", (long long)fAddress.GetPort());
    info.Set("responder_port", (long long)fResponderPort);
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
    if (event == CL_POWER_EVENT_SUSPEND) {
        server->fLock->Lock();
        while (server->fClientList->Count() > 0) {
            Client* client = server->fClientList->GetFirst();
            client->fContext->SetFlags(client->fContext->GetFlags() & ~0xFFu);
            server->KillClient(client);
        }
        while (server->fDeadList->Count() > 0) {
            server->fReadyCond->Broadcast();
            server->fLock->Unlock();
            CL_Thread::Sleep(10);
            server->fLock->Lock();
        }
        server->fLock->Unlock();
    } else if (event == CL_POWER_EVENT_RESUME) {
        server->fLock->Lock();
        uint32 count = 0;
        uint16 port = server->fAddress.GetPort();
        CL_NetAddress address = server->FindOwnAddress(&count);
        address.SetPort(port);
        server->fAddress = address;
        server->Log(CL_LOG_LEVEL_WARNING,
                    T("Server riavviato a seguito di ripristino del sistema (indirizzo: %s:%d)"),
                    address.GetIP().c_str(), int(port));
        server->fLock->Unlock();
    }
    return CL_OK;
}
