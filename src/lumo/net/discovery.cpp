// Server discovery: a DISCOVER datagram to ten candidate ports through every
// interface that can broadcast (the loopback addresses when none can), then the
// servers' fixed-size replies gathered into one list, one entry per server id.
#include <algorithm>
#include <cstring>
#include <vector>

#include "lumo/digest.h"
#include "lumo/net/countdown.h"
#include "lumo/net/tcp_client_discover_job.h"

namespace {

CL_Mutex sDiscoverLock;

constexpr uint32 kMaxInterfaces = 32;
constexpr uint32 kScanLength = 6000;
constexpr uint32 kListenPass = 100;
constexpr uint32 kReadTimeOut = 1500;
constexpr uint32 kSendPause = 10;
constexpr uint16 kPortStep = 20;
constexpr uint16 kLowestServerPort = 1024;
// Datagrams taken from one socket per pass, so that a flood cannot hold the scan.
constexpr uint32 kRepliesPerPass = 64;

static_assert(sizeof(CL_DiscoveryPacket) == CL_TCPClient::DiscoverJob::kReplySize,
              "discovery reply size");

typedef CL_TCPClient::ServerInfo ServerInfo;

// Where a DISCOVER goes for one port: the broadcast address of every interface that
// can broadcast, else the loopback interfaces' own addresses.
std::vector<CL_NetAddress> Destinations(const CL_NetInterface* interfaces, uint32 count,
                                        uint16 port) {
    std::vector<CL_NetAddress> out;
    for (uint32 i = 0; i < count; i++) {
        uint32 features = interfaces[i].GetFeatures();
        CL_NetAddress broadcast = interfaces[i].GetBroadcast();
        if ((features & CL_NIC_UP) && (features & CL_NIC_CAN_BROADCAST) &&
            !(features & CL_NIC_IS_LOOPBACK) && broadcast.IsOk()) {
            broadcast.SetPort(port);
            out.push_back(broadcast);
        }
    }
    if (!out.empty()) return out;
    for (uint32 i = 0; i < count; i++) {
        if (interfaces[i].GetFeatures() & CL_NIC_IS_LOOPBACK) {
            CL_NetAddress own = interfaces[i].GetAddress();
            own.SetPort(port);
            out.push_back(own);
        }
    }
    return out;
}

// Keeps a good reply from a server not yet listed; `socket` names the sender after the
// read.
void KeepReply(const CL_DiscoveryPacket& packet, const CL_Socket& socket,
               std::vector<ServerInfo*>* servers) {
    for (ServerInfo* info : *servers)
        if (info->fID == packet.fID) return;
    CL_Blob infoBytes;
    if (!CL_ReadDiscoveryReply(packet, &infoBytes)) return;
    ServerInfo* info = new ServerInfo;
    info->fID = packet.fID;
    info->fProtocolVersion = packet.fVersion;
    info->fAddress = socket.GetAddress();
    info->fAddress.SetPort(uint16(packet.fID & 0xFFFF));
    info->fInfo = infoBytes;
    servers->push_back(info);
}

// The list as the caller gets it, the last server found first; frees the entries.
CL_Blob TakeResult(std::vector<ServerInfo*>* servers) {
    CL_Blob result;
    result += uint32(servers->size());
    for (auto it = servers->rbegin(); it != servers->rend(); ++it) {
        ServerInfo* info = *it;
        CL_Blob id(&info->fID, sizeof(info->fID), true);
        result += CLU_MD5(id.Encode(CL_BLOB_CODING_BASE_16)).Get();
        result += info->fAddress.GetIP();
        result += uint16(info->fID & 0xFFFF);
        result += info->fInfo.GetSize();
        if (info->fInfo.GetSize() > 0)
            result.Write(info->fInfo.GetDataForRead(), info->fInfo.GetSize());
        delete info;
    }
    servers->clear();
    return result;
}

void CloseAll(std::vector<CL_Socket*>* sockets) {
    for (CL_Socket* socket : *sockets) {
        socket->Close();
        delete socket;
    }
    sockets->clear();
}

}  // namespace

void CL_MakeDiscoveryReply(uint64 serverID, const CL_Blob& info, CL_DiscoveryPacket* packet) {
    uint32 kept = std::min<uint32>(info.GetSize(), CL_DISCOVERY_INFO_SIZE);
    memset(packet, 0, sizeof(*packet));
    packet->fMagic = CL_IPC_MAGIC;
    packet->fVersion = CL_IPC_VERSION;
    packet->fID = serverID;
    packet->fSize = uint16(kept);
    memset(packet->fInfo, 0xCC, CL_DISCOVERY_INFO_SIZE);
    if (kept > 0) memcpy(packet->fInfo, info.GetDataForRead(), kept);
    packet->fCheckSum = CL_Blob(packet->fInfo, CL_DISCOVERY_INFO_SIZE, true).CheckSum();
}

bool CL_ReadDiscoveryReply(const CL_DiscoveryPacket& packet, CL_Blob* info) {
    if (packet.fMagic != CL_IPC_MAGIC || packet.fVersion < CL_IPC_VERSION ||
        (packet.fID & 0xFFFF) < kLowestServerPort)
        return false;
    if (CL_Blob(packet.fInfo, CL_DISCOVERY_INFO_SIZE, true).CheckSum() != packet.fCheckSum)
        return false;
    *info = CL_Blob(packet.fInfo, std::min<uint32>(packet.fSize, CL_DISCOVERY_INFO_SIZE), true);
    return true;
}

CL_TCPClient::DiscoverJob::DiscoverJob(CL_TCPClient* client, const CL_Blob& input,
                                       CL_SuccessCB success, CL_ErrorCB error,
                                       CL_ProgressCB progress, void* userData, uint32 timeout)
    : ActionJob(client, input, userData, timeout, success, progress, nullptr), fError(error) {}

CL_Status CL_TCPClient::DiscoverJob::Error(int32 code) {
    CL_Blob empty;
    return fError ? fError(code, empty, fUserData) : CL_OK;
}

CL_Status CL_TCPClient::DiscoverJob::Run() {
    RunScope scope(this);
    uint16 basePort = 0;
    fInput.Seek(0, CL_SEEK_SET);
    if (fInput.Read(&basePort, sizeof(basePort)) != sizeof(basePort)) basePort = 0;
    if (basePort == 0) basePort = kBasePort;

    uint32 numScans = std::max<uint32>(fTimeOut / kScanLength, 1);
    uint32 scanTime = fTimeOut / numScans;
    // Room is left for the sends; a short scan listens for all of its time rather than
    // letting the subtraction wrap.
    uint32 listenTime = scanTime > kListenPass ? scanTime - kListenPass : scanTime;

    CL_NetInterface interfaces[kMaxInterfaces];
    uint32 count;
    {
        CL_AutoLocker locker(sDiscoverLock);
        count = CL_NetInterface::Enumerate(interfaces, kMaxInterfaces);
    }

    std::vector<ServerInfo*> servers;
    bool cancelled = CheckCancel();
    for (uint32 scan = 0; scan < numScans && !cancelled; scan++) {
        std::vector<CL_Socket*> sockets;
        SendRequests(interfaces, count, basePort, scanTime, &sockets);
        cancelled = !Listen(sockets, listenTime, &servers);
        CloseAll(&sockets);
    }

    CL_Blob result = TakeResult(&servers);
    if (!cancelled) cancelled = CheckCancel();
    QuitProgress();
    if (cancelled) return Error(CL_CANCELLED);
    result.Seek(0, CL_SEEK_SET);
    return Success(result);
}

void CL_TCPClient::DiscoverJob::SendRequests(const CL_NetInterface* interfaces, uint32 count,
                                             uint16 basePort, uint32 scanTime,
                                             std::vector<CL_Socket*>* sockets) {
    CL_PacketHeader request;
    CL_MakeDiscoverRequest(&request);
    const CL_Blob none;
    for (uint32 k = 0; k < kPortCount; k++) {
        uint16 port = uint16(basePort + kPortStep * k);
        std::vector<CL_NetAddress> destinations = Destinations(interfaces, count, port);
        if (destinations.empty()) continue;
        for (const CL_NetAddress& destination : destinations) {
            CL_Socket* socket = new CL_Socket(destination, CL_SOCKET_TYPE_UDP);
            CL_Status status = socket->SetBroadcast(destination);
            if (status == CL_OK) status = CL_WritePacket(*socket, request, none, scanTime);
            if (status != CL_OK) {
                socket->Close();
                delete socket;
                continue;
            }
            sockets->push_back(socket);
        }
        CL_Thread::Sleep(kSendPause);
    }
}

bool CL_TCPClient::DiscoverJob::Listen(const std::vector<CL_Socket*>& sockets, uint32 listenTime,
                                       std::vector<ServerInfo*>* servers) {
    CL_Countdown budget(listenTime);
    bool cancelled = false;
    while (!budget.IsOver() && !sockets.empty() && !(cancelled = CheckCancel())) {
        CL_Set<CL_Socket*> readable;
        for (CL_Socket* socket : sockets) readable.Add(socket);
        uint32 pass = std::min(budget.Left(), kListenPass);
        CL_Status status = CL_Socket::Select(&readable, nullptr, nullptr, nullptr, pass, nullptr);
        if (status == CL_OK) {
            for (CL_Socket* socket : readable) cancelled = !TakeReplies(socket, servers);
        } else if (status != CL_TIMEOUT) {
            CL_Thread::Sleep(pass);
        }
        budget.Tick();
    }
    return !cancelled;
}

bool CL_TCPClient::DiscoverJob::TakeReplies(CL_Socket* socket, std::vector<ServerInfo*>* servers) {
    bool cancelled = false;
    for (uint32 n = 0; n < kRepliesPerPass && !(cancelled = HasAborted()); n++) {
        if (!socket->Pending(kReplySize)) {
            // Shorter datagrams never make a reply; left queued they would keep the
            // socket readable for ever.
            if (!socket->DropDatagram()) break;
            continue;
        }
        CL_DiscoveryPacket packet;
        memset(&packet, 0, sizeof(packet));
        uint32 got = socket->Read(&packet, sizeof(packet), kReadTimeOut);
        if (got != sizeof(packet) || socket->GetIOError(false) != 0) {
            socket->Discard(0);
            break;
        }
        KeepReply(packet, *socket, servers);
    }
    return !cancelled;
}
