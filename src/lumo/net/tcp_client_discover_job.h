// The Discover operation of the TCP RPC client as a job: DISCOVER datagrams to the
// candidate ports through every interface that can broadcast, and the list of the
// servers that answered.
#pragma once

#include <vector>

#include "lumo/net/tcp_client_action_job.h"

// One server found by Discover.
class CL_TCPClient::ServerInfo : public CL_Object {
public:
    uint64 fID = 0;
    uint32 fProtocolVersion = 0;
    CL_NetAddress fAddress;
    CL_Blob fInfo;
};

// Touches nothing of the client's connection: it may run while the client is busy.
class CL_TCPClient::DiscoverJob : public ActionJob {
public:
    // Ports a DISCOVER goes to from a base port: base + 20 * k, k = 0..9.
    static constexpr uint16 kBasePort = 51967;
    static constexpr uint32 kPortCount = 10;
    static constexpr uint32 kReplySize = 1046;

    DiscoverJob(CL_TCPClient* client, const CL_Blob& input, CL_SuccessCB success,
                CL_ErrorCB error, CL_ProgressCB progress, void* userData, uint32 timeout);
    CL_Status Run() override;
    // The error callback gets an empty blob.
    CL_Status Error(int32 code);

private:
    // Sends the DISCOVER of one scan; *sockets: the senders whose write went out.
    void SendRequests(const CL_NetInterface* interfaces, uint32 count, uint16 basePort,
                      uint32 scanTime, std::vector<CL_Socket*>* sockets);
    // Gathers replies for `listenTime` ms, asking the blocking form's cancel check once
    // a pass; false when cancelled meanwhile.
    bool Listen(const std::vector<CL_Socket*>& sockets, uint32 listenTime,
                std::vector<ServerInfo*>* servers);
    // The replies queued on one socket; false when cancelled meanwhile (a cancel
    // already heard: the cancel check is not asked per datagram).
    bool TakeReplies(CL_Socket* socket, std::vector<ServerInfo*>* servers);

    const CL_ErrorCB fError;
};
