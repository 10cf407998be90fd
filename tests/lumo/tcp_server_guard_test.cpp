// The server against peers that cheat: an AUTH payload that names the server's own keys,
// an AUTH repeated on a connection already let in, and floods of malformed connections
// or failing requests whose log lines are held back past the rate limit.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>

#include "lumo/net/server_log.h"
#include "support/private_network.h"
#include "support/raw_client.h"
#include "support/wait_for.h"

namespace {

const bool kIsolated = EnterPrivateNetwork();

std::mutex sSeenLock;
CLU_Table sSeen;
std::atomic<int> sConnects{0};

CL_Status RecordConnect(CL_ClientContext*, void* table) {
    std::lock_guard<std::mutex> lock(sSeenLock);
    sSeen = *static_cast<CLU_Table*>(table);
    sConnects++;
    return CL_OK;
}

CLU_Table Seen() {
    std::lock_guard<std::mutex> lock(sSeenLock);
    return sSeen;
}

TEST(TCPServerGuard, AuthPayloadCannotForgeTheServersOwnKeys) {
    TestServer test;
    test.fCallbacks.fConnect = RecordConnect;
    ASSERT_EQ(test.Start(), 0);
    RawClient client;
    ASSERT_TRUE(client.Connect(test.fPort));
    CLU_Table forged;
    forged.Set("client_host", std::string("10.66.66.66"));
    forged.Set("client_port", 1);
    forged.Set("client_id", 4242);
    forged.Set("host", std::string("workstation"));
    forged.Set("own_key", std::string("kept"));
    ASSERT_EQ(client.Auth(CL_IPC_COMPRESS, forged), 0);

    CLU_Table seen = Seen();
    EXPECT_EQ(seen.GetString("client_host"), "127.0.0.1");
    EXPECT_EQ(seen.GetInteger("client_port"), BoundPort(client.fSocket));
    EXPECT_EQ(seen.GetInteger("client_id"), client.fClientID);
    EXPECT_NE(client.fClientID, 4242u);
    // The payload's other keys are the client's to give.
    EXPECT_EQ(seen.GetString("host"), "workstation");
    EXPECT_EQ(seen.GetString("own_key"), "kept");
    EXPECT_EQ(seen.GetInteger("flags"), CL_IPC_COMPRESS);
}

// A second AUTH fails and leaves the connection as the first one set it up: the
// connect callback is not called again, the cipher and the client's flags stay.
TEST(TCPServerGuard, RepeatedAuthIsRefusedAndChangesNothing) {
    TestServer test(CL_IPC_COMPRESS | CL_IPC_AES_CRYPTING);
    test.fCallbacks.fConnect = RecordConnect;
    sConnects = 0;
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client, CL_IPC_AES_CRYPTING,
                                  CLU_Table().Set("host", std::string("first"))));
    ASSERT_EQ(sConnects.load(), 1);

    for (int round = 0; round < 2; round++) {
        CL_PacketHeader header;
        uint32 sequence = client.fSequence++;
        CL_MakeAuthRequest(&header, sequence, CL_IPC_TEA_CRYPTING);
        CLU_Table again;
        again.Set("host", std::string("second"));
        again.Set("chat_port", 4000);
        ASSERT_EQ(client.Send(header, Flat(again)), 0);
        CL_PacketHeader reply;
        CL_Blob payload;
        // Read in the connection's cipher: the reply is a failure like any other.
        ASSERT_EQ(client.ReadReply(&reply, &payload), 0);
        EXPECT_EQ(reply.fType, CL_PACKET_TYPE_FAILED);
        EXPECT_EQ(reply.fSequence, sequence);
        EXPECT_EQ(payload.GetSize(), 0u);
    }
    EXPECT_EQ(sConnects.load(), 1);
    EXPECT_EQ(Seen().GetString("host"), "first");
    CLU_Table info;
    ASSERT_EQ(test.fServer.GetClientInfo(client.fClientID, info), 0);
    EXPECT_EQ(info.GetInteger("flags"), CL_IPC_AES_CRYPTING);
    // The first cipher still serves the connection.
    CLU_Table echoed;
    EXPECT_EQ(client.Call(rpc_test::kEcho, CLU_Table().Set("k", 7), &echoed),
              CL_PACKET_TYPE_DATA);
    EXPECT_EQ(echoed.GetInteger("k"), 7);
    EXPECT_TRUE(test.fLog.Contains("Autorizzazione già concessa"));
}

// A refused AUTH may be tried again on the same connection.
CL_Status RefuseFirst(CL_ClientContext*, void* table) {
    return static_cast<CLU_Table*>(table)->GetString("password") == "good" ? CL_OK : 3001;
}

TEST(TCPServerGuard, RefusedAuthMayBeRetried) {
    TestServer test;
    test.fCallbacks.fConnect = RefuseFirst;
    ASSERT_EQ(test.Start(), 0);
    RawClient client;
    ASSERT_TRUE(client.Connect(test.fPort));
    EXPECT_EQ(client.Auth(0, CLU_Table().Set("password", std::string("bad"))), 3001);
    EXPECT_EQ(client.Auth(0, CLU_Table().Set("password", std::string("good"))), 0);
    EXPECT_EQ(client.Call(rpc_test::kEcho, CLU_Table()), CL_PACKET_TYPE_DATA);
}

// Thirty connections with a bad header, each after a good one: a bad one would log
// two error lines about its client; past the limit they are held back and counted,
// and the count comes out once the window ends, on a server that logs nothing more.
// The lines that name no client, the new connections among them, all go out.
TEST(TCPServerGuard, MalformedConnectionFloodIsRateLimited) {
    TestServer test(0, CL_LOG_LEVEL_INFO);
    // A window longer than the flood takes, so that the count is exact.
    CL_LogLimiter::Of(test.fServer).SetRate(5, 120000);
    ASSERT_EQ(test.Start(), 0);
    CL_PacketHeader bad;
    CL_MakeServerInfoRequest(&bad, 1);
    bad.fMagic = 0x12345678;
    for (int i = 0; i < 30; i++) {
        RawClient good;
        ASSERT_TRUE(good.Connect(test.fPort));
        ASSERT_EQ(good.ServerInfo(), 0);
        RawClient peer;
        ASSERT_TRUE(peer.Connect(test.fPort));
        ASSERT_EQ(peer.SendRaw(&bad, sizeof(bad)), 0);
        ASSERT_TRUE(peer.Closed()) << i;
    }
    EXPECT_TRUE(WaitFor([&] { return test.fLog.Count("[Server] Nuova connessione") == 60; }));
    EXPECT_EQ(test.fLog.Count("Ricevuta una richiesta non valida"), 5);
    EXPECT_EQ(test.fLog.Count("riportato l'errore 200"), 5);
    EXPECT_FALSE(test.fLog.Contains("Omesse"));

    CL_LogLimiter::Of(test.fServer).SetRate(5, 1);
    EXPECT_TRUE(WaitFor([&] {
        return test.fLog.Has(CL_LOG_LEVEL_ERROR,
                             "Omesse 25 righe di log uguali a \"[Dispatcher] [%d] Ricevuta una "
                             "richiesta non valida\"");
    }));
    EXPECT_TRUE(WaitFor([&] {
        return test.fLog.Contains(
            "Omesse 25 righe di log uguali a \"[Dispatcher] [%d] Il client ha riportato l'errore %d");
    }));
}

// Forty failing requests in a burst: the workers' line about each is held back past the
// limiter's rate of 5 a second, and once the second is over the count of the held-back
// ones comes from the server's periodic work, on a server that logs nothing else.
TEST(TCPServerGuard, FailingRequestFloodIsRateLimited) {
    TestServer test(0, CL_LOG_LEVEL_WARNING);
    CL_LogLimiter::Of(test.fServer).SetRate(5, 1000);
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    const int kRequests = 40;
    for (int i = 0; i < kRequests; i++)
        client.SendData(rpc_test::kFail, Flat(CLU_Table().Set("code", 3000 + i)));
    for (int i = 0; i < kRequests; i++) {
        CL_PacketHeader header;
        CL_Blob reply;
        ASSERT_EQ(client.ReadReply(&header, &reply), CL_OK);
        EXPECT_EQ(header.fType, CL_PACKET_TYPE_FAILED);
    }
    EXPECT_EQ(test.fLog.Count("Richiesta di esecuzione fallita"), 5);
    EXPECT_TRUE(WaitFor([&] {
        return test.fLog.Has(CL_LOG_LEVEL_WARNING,
                             "Omesse 35 righe di log uguali a \"[Worker %d] [%d:%d] Richiesta di "
                             "esecuzione fallita\"");
    }));
    EXPECT_EQ(test.fLog.Count("Richiesta di esecuzione fallita"), 6);
}

}  // namespace
