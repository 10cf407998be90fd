// Requests through a running server, packet by packet: authorization with every flag
// combination, DATA replies in one and in many chunks, PINGs while a handler reports
// progress, FAILED and ABORT replies, format version 1 for older clients, and the
// dispatcher's and workers' answers to broken, stalled and lying clients.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <tuple>

#include "lumo/decimal.h"
#include "lumo/entry.h"
#include "lumo/net/tcp_server_records.h"
#include "support/handshake_flags.h"
#include "support/private_network.h"
#include "support/raw_client.h"
#include "support/wait_for.h"

namespace {

const bool kIsolated = EnterPrivateNetwork();

CLU_Table BigTable(uint32 bytes) {
    std::string text(bytes, 'x');
    for (uint32 i = 0; i < bytes; i++)
        text[i] = char('a' + (i * 7919u) % 26);
    CLU_Table table;
    table.Set("text", text);
    table.Set("number", 12345);
    return table;
}

class FlagCombinations : public ::testing::TestWithParam<uint16> {};

// A sleep whose handler first holds its context locked for a while.
constexpr CL_Command kLockedSleep = 40;

TEST_P(FlagCombinations, AuthorizesAndEchoesSmallAndChunkedPayloads) {
    TestServer test(GetParam());
    ASSERT_EQ(test.Start(), 0);
    RawClient client;
    ASSERT_TRUE(client.Connect(test.fPort));
    CLU_Table connection;
    connection.Set("host", std::string("db.example"));
    connection.Set("user", std::string("anna"));
    connection.Set("chat_port", 40000);
    CLU_Table granted;
    ASSERT_EQ(client.Auth(CL_IPC_COMPRESS, connection, CL_IPC_VERSION, &granted), 0);
    EXPECT_EQ(client.fFlags, GetParam());
    EXPECT_EQ(granted.GetString("host"), "db.example");
    EXPECT_EQ(granted.GetString("user"), "anna");
    EXPECT_EQ(granted.GetString("tenant_key"), "");
    EXPECT_EQ(granted.GetInteger("chat_port"), 40000);
    EXPECT_EQ(granted.GetInteger("client_id"), client.fClientID);
    EXPECT_EQ(granted.GetString("client_host"), "127.0.0.1");
    EXPECT_EQ(granted.GetInteger("flags"), CL_IPC_COMPRESS);
    for (uint32 size : {0u, 100u, 8160u, 30001u}) {
        CLU_Table input = BigTable(size);
        CLU_Table output;
        EXPECT_EQ(client.Call(rpc_test::kEcho, input, &output), CL_PACKET_TYPE_DATA) << size;
        EXPECT_EQ(output, input) << size;
    }
    // An empty payload comes back as an empty reply, compressed when the server compresses.
    uint32 sequence = client.SendData(rpc_test::kRawEcho, CL_Blob());
    CL_PacketHeader header;
    CL_Blob payload;
    ASSERT_EQ(client.ReadReply(&header, &payload), 0);
    EXPECT_EQ(header.fSequence, sequence);
    EXPECT_EQ(header.fType, CL_PACKET_TYPE_DATA);
    EXPECT_EQ(payload.GetSize(), 0u);
    EXPECT_EQ(bool(header.fFlags & CL_IPC_COMPRESS), bool(GetParam() & CL_IPC_COMPRESS));
}

INSTANTIATE_TEST_SUITE_P(TCPServerAuth, FlagCombinations, ::testing::ValuesIn(kHandshakeFlags));

std::atomic<int> sExecuted{0};
CL_Status CountingExecute(CL_Command command, CL_Blob& input, CL_Blob& output,
                          CL_ClientContext* context, uint32 id) {
    sExecuted++;
    return rpc_test::Execute(command, input, output, context, id);
}
CL_Status RefuseAll(CL_ClientContext*, void* table) {
    CLU_Table* connection = static_cast<CLU_Table*>(table);
    return connection->GetString("password") == "secret" ? CL_OK : rpc_test::kRefused;
}

TEST(TCPServerAuth, RefusedOrMissingAuthGetsNoService) {
    TestServer test(CL_IPC_AES_CRYPTING);
    test.fCallbacks.fExecute = CountingExecute;
    test.fCallbacks.fConnect = RefuseAll;
    ASSERT_EQ(test.Start(), 0);
    sExecuted = 0;

    // Before its AUTH is granted a connection may only shake hands: a request closes it,
    // unanswered.
    RawClient never;
    ASSERT_TRUE(never.Connect(test.fPort));
    ASSERT_EQ(never.ServerInfo(), 0);
    EXPECT_LT(never.Call(rpc_test::kEcho, CLU_Table().Set("a", 1)), 0);
    EXPECT_TRUE(never.Closed());
    EXPECT_TRUE(WaitFor([&] { return test.fLog.Contains("Ricevuta una richiesta non valida"); }));

    RawClient refused;
    ASSERT_TRUE(refused.Connect(test.fPort));
    EXPECT_EQ(refused.Auth(0, CLU_Table().Set("password", std::string("guess"))),
              rpc_test::kRefused);
    EXPECT_TRUE(test.fLog.Contains("Autorizzazione fallita"));
    // The connection stays open, and a good AUTH lets the client in.
    EXPECT_EQ(refused.Auth(0, CLU_Table().Set("password", std::string("secret"))), 0);
    EXPECT_EQ(refused.Call(rpc_test::kEcho, CLU_Table()), CL_PACKET_TYPE_DATA);

    // A refused AUTH lets no request through either.
    RawClient turnedAway;
    ASSERT_TRUE(turnedAway.Connect(test.fPort));
    EXPECT_EQ(turnedAway.Auth(0, CLU_Table().Set("password", std::string("guess"))),
              rpc_test::kRefused);
    EXPECT_LT(turnedAway.Call(rpc_test::kEcho, CLU_Table()), 0);
    EXPECT_TRUE(turnedAway.Closed());
    EXPECT_EQ(sExecuted.load(), 1);
}

TEST(TCPServerAuth, NewerProtocolHeaderClosesTheConnection) {
    TestServer test;
    ASSERT_EQ(test.Start(), 0);
    CL_PacketHeader header;
    // The dispatcher closes a connection whose header has a newer version.
    RawClient newer;
    ASSERT_TRUE(newer.Connect(test.fPort));
    CL_MakeAuthRequest(&header, 1, 0);
    header.fVersion = 0x00010003;
    newer.Send(header, Flat(CLU_Table()));
    EXPECT_TRUE(newer.Closed());
    EXPECT_TRUE(WaitFor([&] {
        return test.fLog.Contains("non supportata (1.0.3)") &&
               test.fLog.Contains("Il client ha riportato l'errore 200 su operazione di I/O");
    }));
}

TEST(TCPServerAuth, OlderClientGetsFormatVersion1) {
    TestServer test;
    ASSERT_EQ(test.Start(), 0);
    RawClient client;
    ASSERT_TRUE(client.Connect(test.fPort));
    CLU_Table granted;
    ASSERT_EQ(client.Auth(0, CLU_Table().Set("user", std::string("old")), 0x00010001, &granted), 0);
    EXPECT_EQ(granted.GetString("user"), "old");  // the AUTH reply is in version 2
    CLU_Table input;
    input.Set("amount", CL_Decimal(std::string("12.25")));
    input.Set("day", CL_Date(15, 3, 2024));
    uint32 sequence = client.SendData(rpc_test::kEcho, Flat(input));
    CL_PacketHeader header;
    CL_Blob payload;
    ASSERT_EQ(client.ReadReply(&header, &payload), 0);
    EXPECT_EQ(header.fSequence, sequence);
    uint32 before = CLU_Entry::SetFlattenedVersion(1);
    CL_Blob expected = Flat(input);
    CLU_Entry::SetFlattenedVersion(2);
    CL_Blob version2 = Flat(input);
    CLU_Entry::SetFlattenedVersion(before);
    EXPECT_EQ(payload, expected);
    EXPECT_NE(payload, version2);

    // A current client on the same server still gets version 2.
    RawClient current;
    ASSERT_TRUE(Authorise(test, current));
    current.SendData(rpc_test::kEcho, Flat(input));
    ASSERT_EQ(current.ReadReply(&header, &payload), 0);
    EXPECT_EQ(payload, version2);
}

TEST(TCPServerRequests, FailedCarriesTheHandlersOutput) {
    TestServer test(CL_IPC_COMPRESS | CL_IPC_BLOWFISH_CRYPTING);
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    CLU_Table output;
    EXPECT_EQ(client.Call(rpc_test::kFail, CLU_Table().Set("code", 4321), &output),
              CL_PACKET_TYPE_FAILED);
    EXPECT_EQ(output.GetString("ERROR"), "failed with 4321");
    EXPECT_TRUE(WaitFor(
        [&] { return test.fLog.Contains("Esecuzione comando 3 fallita con errore 4321"); }));
    // Without an execute callback every request fails with an empty payload.
    test.fCallbacks.fExecute = nullptr;
    test.Apply();
    output.Set("stale", 1);
    EXPECT_EQ(client.Call(rpc_test::kEcho, CLU_Table(), &output), CL_PACKET_TYPE_FAILED);
    EXPECT_EQ(output.Count(), 0u);
}

TEST(TCPServerRequests, UncountedRequestsLeaveTheStatistics) {
    TestServer test;
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    // A request is counted once its reply is written, so the counts are awaited.
    auto requests = [&] {
        CLU_Table info;
        test.fServer.GetClientInfo(client.fClientID, info);
        return info.GetInteger("requests");
    };
    ASSERT_TRUE(WaitFor([&] { return requests() == 2; }));  // SERVER_INFO and AUTH
    EXPECT_EQ(client.Call(rpc_test::kUncounted, CLU_Table()), CL_PACKET_TYPE_DATA);
    EXPECT_EQ(client.Call(rpc_test::kEcho, CLU_Table()), CL_PACKET_TYPE_DATA);
    EXPECT_EQ(client.Call(rpc_test::kFail, CLU_Table()), CL_PACKET_TYPE_FAILED);
    EXPECT_TRUE(WaitFor([&] { return requests() == 4; }));
    CL_Thread::Sleep(50);
    EXPECT_EQ(requests(), 4);
}

TEST(TCPServerRequests, PingsCarryProgressWhileTheHandlerWorks) {
    TestServer test(CL_IPC_COMPRESS | CL_IPC_TEA_CRYPTING);
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    uint32 sequence =
        client.SendData(rpc_test::kProgress,
                        Flat(CLU_Table().Set("ms", 700).Set("step", 150).Set("message", "step")));
    uint32 pings = 0;
    uint32 withText = 0;
    uint32 last = 0;
    CL_PacketHeader header;
    CL_Blob payload;
    for (uint32 start = CL_GetTime();;) {
        ASSERT_LT(CL_GetTime() - start, 10000u) << "the reply after the PINGs";
        ASSERT_EQ(client.Read(&header, &payload), 0);
        EXPECT_EQ(header.fSequence, sequence);
        if (header.fType != CL_PACKET_TYPE_PING) break;
        pings++;
        EXPECT_FALSE(header.fFlags & CL_IPC_FIRST_CHUNK);
        uint16 c = header.fPing.fCompleteness;
        EXPECT_TRUE(c == CL_IPC_COMPLETENESS_UNKNOWN || c <= 65534) << c;
        if (c != CL_IPC_COMPLETENESS_UNKNOWN) {
            EXPECT_GE(c, last);
            last = c;
        }
        if (payload.GetSize() > 0) {
            withText++;
            EXPECT_EQ(CL_GetPingMessage(payload).rfind("step ", 0), 0u);
            EXPECT_EQ(payload.GetDataForRead()[payload.GetSize() - 1], 0);
        }
    }
    EXPECT_EQ(header.fType, CL_PACKET_TYPE_DATA);
    EXPECT_GE(pings, 3u);
    EXPECT_GE(withText, 2u);
    EXPECT_LT(withText, pings);  // unchanged messages are not repeated
}

double sProgressValue = 0;
CL_Status ReportFixedProgress(CL_Command, CL_Blob&, CL_Blob&, CL_ClientContext* context,
                              uint32 id) {
    context->SetProgress(id, sProgressValue, "");
    CL_Thread::Sleep(350);
    return CL_OK;
}

TEST(TCPServerRequests, CompletenessIsClampedOnTheWire) {
    TestServer test;
    test.fCallbacks.fExecute = ReportFixedProgress;
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    const std::pair<double, uint16> cases[] = {
        {1e300, 65534}, {100.0, 65534}, {50.0, 32767}, {-5.0, 65535}, {-1e300, 65535}};
    for (auto& c : cases) {
        sProgressValue = c.first;
        client.SendData(1, CL_Blob());
        CL_PacketHeader header;
        CL_Blob payload;
        uint32 seen = 0;
        for (uint32 start = CL_GetTime();;) {
            ASSERT_LT(CL_GetTime() - start, 10000u) << "the reply after the PINGs";
            ASSERT_EQ(client.Read(&header, &payload), 0);
            if (header.fType != CL_PACKET_TYPE_PING) break;
            // The first PING may come before the handler's report.
            if (header.fPing.fCompleteness != CL_IPC_COMPLETENESS_UNKNOWN || c.second == 65535) {
                EXPECT_EQ(header.fPing.fCompleteness, c.second) << c.first;
                seen++;
            }
        }
        EXPECT_GT(seen, 0u) << c.first;
    }
}

std::atomic<int> sAborts{0};
void CountAborts(CL_ClientContext*, uint32) {
    sAborts++;
}

// An ABORT is known by its type: with or without the first-chunk flag.
TEST(TCPServerRequests, AbortOfAnExecutingRequest) {
    TestServer test(CL_IPC_COMPRESS | CL_IPC_AES_CRYPTING);
    test.fCallbacks.fAbort = CountAborts;
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    for (bool first : {true, false}) {
        sAborts = 0;
        test.fLog.Clear();
        uint32 sequence = client.SendData(rpc_test::kSleep, Flat(CLU_Table().Set("ms", 60000)));
        ASSERT_TRUE(WaitFor([&] { return test.fLog.Contains("(comando 0004)"); }));
        client.Abort(sequence, first);
        client.Abort(sequence, first);
        CL_PacketHeader header;
        ASSERT_TRUE(client.Next(CL_PACKET_TYPE_ABORT, sequence, &header)) << first;
        EXPECT_EQ(header.fSize, 0u);
        EXPECT_EQ(header.fData.fCheckSum, 0u);
        EXPECT_EQ(sAborts.load(), 1);
        // The connection goes on.
        EXPECT_EQ(client.Call(rpc_test::kEcho, CLU_Table()), CL_PACKET_TYPE_DATA);
    }
}

TEST(TCPServerRequests, AbortOfAQueuedRequestIsAnsweredByTheDispatcher) {
    TestServer test;
    test.fCallbacks.fAbort = CountAborts;
    sAborts = 0;
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    uint32 running = client.SendData(rpc_test::kSleep, Flat(CLU_Table().Set("ms", 60000)));
    ASSERT_TRUE(WaitFor([&] { return test.fLog.Contains("(comando 0004)"); }));
    // One worker serves a client at a time: the second request waits in the queue.
    uint32 queued = client.SendData(rpc_test::kEcho, Flat(CLU_Table().Set("x", 1)));
    CL_Thread::Sleep(100);
    client.Abort(queued);
    CL_PacketHeader header;
    CL_Blob payload;
    ASSERT_EQ(client.ReadReply(&header, &payload), 0);
    EXPECT_EQ(header.fType, CL_PACKET_TYPE_ABORT);
    EXPECT_EQ(header.fSequence, queued);
    EXPECT_EQ(header.fData.fCheckSum, 0u);
    EXPECT_EQ(sAborts.load(), 0);  // it never started
    client.Abort(running);
    ASSERT_EQ(client.ReadReply(&header, &payload), 0);
    EXPECT_EQ(header.fType, CL_PACKET_TYPE_ABORT);
    EXPECT_EQ(header.fSequence, running);
    EXPECT_EQ(sAborts.load(), 1);
    // The aborted echo never runs afterwards: the next reply is for a new request.
    uint32 next = client.SendData(rpc_test::kEcho, Flat(CLU_Table()));
    ASSERT_EQ(client.ReadReply(&header, &payload), 0);
    EXPECT_EQ(header.fSequence, next);
}

// Holds its context locked for a moment, then sleeps watching for the cancel: an
// ABORT_ALL that comes meanwhile finds the context busy and must not be lost.
std::atomic<bool> sContextHeld{false};
CL_Status LockingExecute(CL_Command command, CL_Blob& input, CL_Blob& output,
                         CL_ClientContext* context, uint32 id) {
    if (command == kLockedSleep) {
        context->Lock();
        sContextHeld = true;
        CL_Thread::Sleep(300);
        sContextHeld = false;
        context->Unlock();
        command = rpc_test::kSleep;
    }
    return rpc_test::Execute(command, input, output, context, id);
}

// ABORT_ALL is known by its type, with or without the first-chunk flag, and waits for
// a context that a handler holds.
TEST(TCPServerRequests, AbortAllCancelsEveryRequest) {
    TestServer test;
    test.fCallbacks.fAbort = CountAborts;
    test.fCallbacks.fExecute = LockingExecute;
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    for (CL_Command command : {CL_Command(rpc_test::kSleep), kLockedSleep}) {
        for (bool first : {true, false}) {
            sAborts = 0;
            test.fLog.Clear();
            uint32 sequence = client.SendData(command, Flat(CLU_Table().Set("ms", 60000)));
            ASSERT_TRUE(WaitFor([&] {
                return command == kLockedSleep ? sContextHeld.load()
                                               : test.fLog.Contains("(comando 0004)");
            }));
            client.Abort(0, first, true);
            ASSERT_TRUE(client.Next(CL_PACKET_TYPE_ABORT, sequence)) << command << first;
            EXPECT_EQ(sAborts.load(), 1);
        }
    }
}

// ABORT_ALL cancels every request the server holds when it reads it: the one a worker
// runs, through the abort callback, and those waiting for a worker or still arriving,
// which the dispatcher answers itself without a callback and which never run. The
// answers come at once; a request sent after the ABORT_ALL is served.
TEST(TCPServerRequests, AbortAllCancelsWaitingAndArrivingRequestsToo) {
    TestServer test(CL_IPC_AES_CRYPTING);
    test.fCallbacks.fExecute = CountingExecute;
    test.fCallbacks.fAbort = CountAborts;
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    sExecuted = 0;
    sAborts = 0;
    test.fLog.Clear();
    std::set<uint32> held = {client.SendData(rpc_test::kSleep, Flat(CLU_Table().Set("ms", 20000)))};
    ASSERT_TRUE(WaitFor([&] { return test.fLog.Contains("(comando 0004)"); }));
    held.insert(client.SendData(rpc_test::kSleep, Flat(CLU_Table().Set("ms", 20000))));
    held.insert(client.SendData(rpc_test::kEcho, Flat(CLU_Table().Set("queued", 1))));
    CL_Blob payload = Flat(BigTable(20000));
    CL_PacketHeader header;
    uint32 arriving = client.fSequence++;
    held.insert(arriving);
    CL_MakeDataRequest(&header, arriving, rpc_test::kEcho, client.fFlags);
    CL_EncodePayload(&header, payload, client.fFlags, client.fCipher.get(), false);
    CL_Blob first, rest;
    uint32 offset = CL_AppendChunk(header, payload, 0, &first);
    ASSERT_EQ(client.SendRaw(first.GetDataForRead(), first.GetSize()), 0);
    ASSERT_TRUE(WaitFor([&] { return test.fLog.Count("Il client ha dati in arrivo") == 4; }));
    uint32 start = CL_GetTime();
    client.Abort(0, true, true);
    std::set<uint32> answered;
    for (size_t i = 0; i < held.size(); i++) {
        CL_Blob reply;
        ASSERT_EQ(client.ReadReply(&header, &reply), 0);
        EXPECT_EQ(header.fType, CL_PACKET_TYPE_ABORT);
        EXPECT_EQ(header.fData.fCheckSum, 0u);
        answered.insert(header.fSequence);
    }
    EXPECT_LT(CL_GetTime() - start, 1000u);
    EXPECT_EQ(answered, held);
    EXPECT_EQ(sAborts.load(), 1);
    while (offset < payload.GetSize())
        offset += CL_AppendChunk(header, payload, offset, &rest);
    ASSERT_EQ(client.SendRaw(rest.GetDataForRead(), rest.GetSize()), 0);
    EXPECT_EQ(client.Call(rpc_test::kEcho, CLU_Table().Set("after", 1)), CL_PACKET_TYPE_DATA);
    EXPECT_EQ(sExecuted.load(), 2);
}

// A second request of a client whose first one is still running waits for it: one
// worker at a time serves a client, even when other workers are idle.
TEST(TCPServerRequests, OneWorkerServesAClientAtATime) {
    TestServer test;
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    uint32 slow = client.SendData(rpc_test::kSleep, Flat(CLU_Table().Set("ms", 400)));
    ASSERT_TRUE(WaitFor([&] { return test.fLog.Contains("(comando 0004)"); }));
    uint32 quick = client.SendData(rpc_test::kEcho, Flat(CLU_Table()));
    CL_PacketHeader header;
    CL_Blob payload;
    ASSERT_EQ(client.ReadReply(&header, &payload), 0);
    EXPECT_EQ(header.fSequence, slow);
    ASSERT_EQ(client.ReadReply(&header, &payload), 0);
    EXPECT_EQ(header.fSequence, quick);
    // The client survived its wait and is served again.
    EXPECT_EQ(client.Call(rpc_test::kEcho, CLU_Table()), CL_PACKET_TYPE_DATA);
    EXPECT_EQ(test.fServer.GetWorkerCount(), CL_SERVER_MIN_WORKERS);
}

TEST(TCPServerRequests, ChunksArrivingOverSeveralPassesAreGathered) {
    TestServer test(CL_IPC_TEA_CRYPTING);
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    CLU_Table input = BigTable(20000);
    CL_Blob payload = Flat(input);
    CL_PacketHeader header;
    uint32 sequence = client.fSequence++;
    CL_MakeDataRequest(&header, sequence, rpc_test::kEcho, client.fFlags);
    CL_EncodePayload(&header, payload, client.fFlags, client.fCipher.get(), false);
    CL_Blob wire;
    CL_BuildPacket(header, payload, &wire);
    // Byte runs that cut headers and chunks at odd places.
    const uint8* data = wire.GetDataForRead();
    uint32 size = wire.GetSize();
    for (uint32 at = 0; at < size;) {
        uint32 n = std::min<uint32>(size - at, 3001);
        ASSERT_EQ(client.SendRaw(data + at, n), 0);
        at += n;
        CL_Thread::Sleep(15);
    }
    CL_Blob reply;
    ASSERT_EQ(client.ReadReply(&header, &reply), 0);
    EXPECT_EQ(header.fSequence, sequence);
    EXPECT_EQ(Unflat(reply), input);
}

// A request far larger than the socket buffers: the kernel stops taking the
// client's bytes until the server reads, so the server must read a chunk as it comes.
// Requests of 1 MiB or more, one at a time, have their memory given back by a trim at
// once and one a second after the last, not one each.
TEST(TCPServerRequests, LargeRequestsPassFlowControl) {
    for (auto [flags, bytes, rounds] : {std::tuple{uint16(CL_IPC_AES_CRYPTING), 300000u, 5u},
                                        {uint16(0), 2u << 20, 20u}}) {
        TestServer test(flags, CL_LOG_LEVEL_WARNING);
        RawClient client;
        ASSERT_TRUE(StartAndAuthorise(test, client));
        CLU_Table input = BigTable(bytes);
        uint32 start = CL_GetTime();
        for (uint32 round = 0; round < rounds; round++) {
            CLU_Table output;
            ASSERT_EQ(client.Call(rpc_test::kEcho, input, &output), CL_PACKET_TYPE_DATA) << round;
            EXPECT_EQ(output, input);
        }
        CL_TCPServer::Impl& server = CL_TCPServer::Impl::Of(test.fServer);
        EXPECT_TRUE(WaitFor([&] { return !server.fTrimDue; }));
        EXPECT_LE(server.fTrims, 2 + (CL_GetTime() - start) / 1000) << bytes;
        EXPECT_EQ(server.fTrims > 0, bytes > CL_TCPServer::Impl::kTrimAfter) << bytes;
    }
}

// Input freed over and over asks a trim each time: one is made at once, the first, and
// the next only once a second has passed without another asked for; while the freeing
// goes on, none (one more allowed for a machine that stalled a second). One a second
// instead would make 6 or 7 in the 7 s.
TEST(TCPServerRequests, InputFreedOverAndOverGoesBackOnceTheFreeingStops) {
    TestServer test(0, CL_LOG_LEVEL_WARNING);
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    CL_TCPServer::Impl& server = CL_TCPServer::Impl::Of(test.fServer);
    CL_Blob input(std::string(2u << 20, 'i'));
    auto echo = [&] {
        return client.Next(CL_PACKET_TYPE_DATA, client.SendData(rpc_test::kRawEcho, input));
    };
    ASSERT_TRUE(echo());
    ASSERT_TRUE(WaitFor([&] { return server.fTrims == 1; }));
    uint32 start = CL_GetTime(), echoes = 0;
    while (CL_GetTime() - start < 7000 && echoes < 100000) {
        ASSERT_TRUE(echo()) << echoes;
        echoes++;
    }
    uint32 trims = server.fTrims;
    EXPECT_LE(trims - 1, 1u) << echoes << " echoes";
    EXPECT_TRUE(WaitFor([&] { return server.fTrims == trims + 1; }));
}

// The input's memory goes back once the input has fallen to nothing after holding 1 MiB
// or more: not when a large request ends while another is still being gathered, and
// then once that one ends too.
TEST(TCPServerRequests, InputGoesBackOnceItFallsToNothing) {
    TestServer test(0, CL_LOG_LEVEL_WARNING);
    RawClient large, gathering;
    ASSERT_TRUE(StartAndAuthorise(test, large));
    ASSERT_TRUE(Authorise(test, gathering));
    CL_TCPServer::Impl& server = CL_TCPServer::Impl::Of(test.fServer);
    CL_PacketHeader header;
    CL_Blob payload(std::string(2 * CL_IPC_CHUNK_SIZE, 'g')), wire;
    uint32 sequence = gathering.fSequence++;
    CL_MakeDataRequest(&header, sequence, rpc_test::kRawEcho, 0);
    CL_EncodePayload(&header, payload, 0, gathering.fCipher.get(), false);
    CL_BuildPacket(header, payload, &wire);
    const uint32 first = sizeof(CL_PacketHeader) + CL_IPC_CHUNK_SIZE;
    ASSERT_EQ(gathering.SendRaw(wire.GetDataForRead(), first), 0);
    ASSERT_TRUE(WaitFor([&] { return server.fInputBytes > 0; }));
    // The large request has ended, its memory freed, once the next one is answered.
    CL_Blob input(std::string(2u << 20, 'l'));
    ASSERT_TRUE(large.Next(CL_PACKET_TYPE_DATA, large.SendData(rpc_test::kRawEcho, input)));
    EXPECT_EQ(large.Call(rpc_test::kEcho, CLU_Table()), CL_PACKET_TYPE_DATA);
    EXPECT_EQ(server.fTrims, 0u);
    ASSERT_EQ(gathering.SendRaw(wire.GetDataForRead() + first, wire.GetSize() - first), 0);
    EXPECT_TRUE(gathering.Next(CL_PACKET_TYPE_DATA, sequence));
    EXPECT_TRUE(WaitFor([&] { return server.fTrims == 1; }));
}

TEST(TCPServerRequests, BadChecksumAndUnknownTypesGetNoReply) {
    TestServer test(CL_IPC_COMPRESS);
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    CL_PacketHeader header;
    CL_Blob payload = Flat(CLU_Table().Set("a", 1));
    CL_MakeDataRequest(&header, client.fSequence++, rpc_test::kEcho, client.fFlags);
    CL_EncodePayload(&header, payload, client.fFlags, client.fCipher.get(), false);
    header.fData.fCheckSum ^= 1;
    client.Send(header, payload);
    CL_InitPacketHeader(&header, CL_PacketType(12), CL_IPC_FIRST_CHUNK, client.fSequence++);
    client.Send(header, CL_Blob());
    uint32 good = client.SendData(rpc_test::kEcho, Flat(CLU_Table()));
    CL_Blob reply;
    ASSERT_EQ(client.ReadReply(&header, &reply), 0);
    EXPECT_EQ(header.fSequence, good);
    EXPECT_TRUE(test.fLog.Contains("ma i dati in ingresso non sono validi"));
    EXPECT_TRUE(test.fLog.Contains("Ricevuta richiesta sconosciuta"));
}

TEST(TCPServerFaults, BadMagicClosesTheConnection) {
    TestServer test;
    ASSERT_EQ(test.Start(), 0);
    RawClient client;
    ASSERT_TRUE(client.Connect(test.fPort));
    CL_PacketHeader header;
    CL_MakeServerInfoRequest(&header, 1);
    header.fMagic = 0x12345678;
    client.Send(header, CL_Blob());
    EXPECT_TRUE(client.Closed());
    EXPECT_TRUE(WaitFor([&] { return test.fLog.Contains("Ricevuta una richiesta non valida"); }));
}

// A peer that sends part of a header or chunk and stalls is cut off after the
// server time-out.
TEST(TCPServerFaults, StalledPartialChunkIsCutOff) {
    TestServer test(0, CL_LOG_LEVEL_DEBUG_VERBOSE, 300);
    ASSERT_EQ(test.Start(), 0);
    RawClient header;
    ASSERT_TRUE(header.Connect(test.fPort));
    ASSERT_EQ(header.SendRaw("\xB7\xF0\x9B\xF7\x02\x00", 6), 0);
    RawClient chunk;
    ASSERT_TRUE(Authorise(test, chunk));
    CL_PacketHeader request;
    CL_MakeDataRequest(&request, chunk.fSequence++, rpc_test::kEcho, 0);
    request.fSize = 100;
    CL_Blob wire(&request, sizeof(request), true);
    wire.Seek(0, CL_SEEK_END);
    wire.Append("0123456789", 10);
    ASSERT_EQ(chunk.SendRaw(wire.GetDataForRead(), wire.GetSize()), 0);
    EXPECT_TRUE(header.Closed(10000));
    EXPECT_TRUE(chunk.Closed(10000));
    EXPECT_TRUE(
        test.fLog.Contains("Client disconnesso a causa di tempo scaduto sulla connessione"));
}

// A client that stops sending in the middle of a request must not hold a worker: the
// request and the client are dropped after the server time-out.
TEST(TCPServerFaults, RequestWhoseChunksStopComingIsDropped) {
    TestServer test(0, CL_LOG_LEVEL_DEBUG_VERBOSE, 300);
    test.fCallbacks.fExecute = CountingExecute;
    sExecuted = 0;
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    CL_Blob payload(20000);
    memset(payload.GetDataForWrite(), 'q', 20000);
    CL_PacketHeader header;
    CL_MakeDataRequest(&header, client.fSequence++, rpc_test::kRawEcho, 0);
    header.fData.fCheckSum = payload.CheckSum();
    CL_Blob wire;
    CL_AppendChunk(header, payload, 0, &wire);  // the first of three chunks only
    ASSERT_EQ(client.SendRaw(wire.GetDataForRead(), wire.GetSize()), 0);
    EXPECT_TRUE(client.Closed(10000));
    EXPECT_TRUE(WaitFor([&] {
        return test.fLog.Contains(
            "] Client disconnesso a causa di tempo scaduto sulla connessione");
    }));
    EXPECT_EQ(sExecuted.load(), 0);
    // The workers are free for others.
    RawClient other;
    ASSERT_TRUE(Authorise(test, other));
    EXPECT_EQ(other.Call(rpc_test::kEcho, CLU_Table()), CL_PACKET_TYPE_DATA);
}

// Sizes that lie: a first chunk announcing more than a blob can hold, and a later
// chunk that does not continue its packet.
TEST(TCPServerFaults, LyingSizesCloseTheConnection) {
    TestServer test;
    test.fCallbacks.fExecute = CountingExecute;
    sExecuted = 0;
    RawClient huge;
    ASSERT_TRUE(StartAndAuthorise(test, huge));
    CL_PacketHeader header;
    CL_MakeDataRequest(&header, huge.fSequence++, rpc_test::kEcho, 0);
    header.fSize = 0xFFFFFFF0u;
    CL_Blob body(CL_IPC_CHUNK_SIZE);
    CL_Blob wire(&header, sizeof(header), true);
    wire.Seek(0, CL_SEEK_END);
    wire.Append(body);
    ASSERT_EQ(huge.SendRaw(wire.GetDataForRead(), wire.GetSize()), 0);
    EXPECT_TRUE(huge.Closed());

    RawClient liar;
    ASSERT_TRUE(Authorise(test, liar));
    CL_Blob payload(20000);
    CL_MakeDataRequest(&header, liar.fSequence++, rpc_test::kRawEcho, 0);
    wire.Clear();
    CL_AppendChunk(header, payload, 0, &wire);
    CL_PacketHeader second = header;
    second.fFlags &= uint16(~CL_IPC_FIRST_CHUNK);
    second.fSize = 5;  // announces less than is left
    wire.Seek(0, CL_SEEK_END);
    wire.Append(&second, sizeof(second));
    wire.Append("abcde", 5);
    ASSERT_EQ(liar.SendRaw(wire.GetDataForRead(), wire.GetSize()), 0);
    EXPECT_TRUE(liar.Closed());
    EXPECT_EQ(sExecuted.load(), 0);
}

}  // namespace

namespace {

// A later chunk of no request is dropped, whether it comes before its packet's first
// chunk or after its request ended: it is never taken for part of a request that
// later carries its number.
TEST(TCPServerFaults, StrayLaterChunksAreDropped) {
    TestServer test(CL_IPC_TEA_CRYPTING);
    test.fCallbacks.fExecute = CountingExecute;
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    sExecuted = 0;
    CLU_Table input = BigTable(20000);
    for (int round = 0; round < 2; round++) {
        CL_Blob payload = Flat(input);
        CL_PacketHeader header;
        uint32 sequence = client.fSequence++;
        CL_MakeDataRequest(&header, sequence, rpc_test::kEcho, client.fFlags);
        CL_EncodePayload(&header, payload, client.fFlags, client.fCipher.get(), false);
        // The packet's second chunk, with bytes of its own, alone and first.
        CL_Blob stray;
        CL_AppendChunk(header, payload, CL_IPC_CHUNK_SIZE, &stray);
        memset(stray.GetDataForWrite() + sizeof(header), 'z', stray.GetSize() - sizeof(header));
        ASSERT_EQ(client.SendRaw(stray.GetDataForRead(), stray.GetSize()), 0);
        ASSERT_EQ(client.Send(header, payload), 0);
        CL_Blob reply;
        ASSERT_EQ(client.ReadReply(&header, &reply), 0) << round;
        EXPECT_EQ(header.fSequence, sequence);
        EXPECT_EQ(header.fType, CL_PACKET_TYPE_DATA);
        EXPECT_EQ(Unflat(reply), input);
        // And again after the reply: the request it would continue has ended.
        ASSERT_EQ(client.SendRaw(stray.GetDataForRead(), stray.GetSize()), 0);
    }
    EXPECT_EQ(client.Call(rpc_test::kEcho, input), CL_PACKET_TYPE_DATA);
    EXPECT_EQ(sExecuted.load(), 3);
}

// A later chunk whose type differs from its packet's first chunk breaks the packet: the
// client is cut off and the request never runs. A cancel is known by its type alone:
// one in the place of a later chunk cancels the request being gathered, which the
// dispatcher answers, and the connection goes on.
TEST(TCPServerFaults, LaterChunkOfAnotherTypeClosesTheConnection) {
    TestServer test;
    test.fCallbacks.fExecute = CountingExecute;
    test.fCallbacks.fAbort = CountAborts;
    ASSERT_EQ(test.Start(), 0);
    sExecuted = 0;
    sAborts = 0;
    for (uint16 type : {uint16(CL_PACKET_TYPE_AUTH), uint16(CL_PACKET_TYPE_ABORT)}) {
        RawClient client;
        ASSERT_TRUE(Authorise(test, client));
        CL_Blob payload(20000);
        memset(payload.GetDataForWrite(), 'k', payload.GetSize());
        CL_PacketHeader header;
        uint32 sequence = client.fSequence++;
        CL_MakeDataRequest(&header, sequence, rpc_test::kRawEcho, 0);
        header.fData.fCheckSum = payload.CheckSum();
        CL_PacketHeader other = header;
        other.fType = type;
        CL_Blob wire;
        uint32 offset = CL_AppendChunk(header, payload, 0, &wire);
        offset += CL_AppendChunk(other, payload, offset, &wire);
        CL_AppendChunk(header, payload, offset, &wire);
        ASSERT_EQ(client.SendRaw(wire.GetDataForRead(), wire.GetSize()), 0);
        if (type == CL_PACKET_TYPE_AUTH) {
            EXPECT_TRUE(client.Closed()) << type;
            continue;
        }
        ASSERT_TRUE(client.Next(CL_PACKET_TYPE_ABORT, sequence));
        EXPECT_EQ(client.Call(rpc_test::kEcho, CLU_Table()), CL_PACKET_TYPE_DATA);
    }
    EXPECT_TRUE(WaitFor([&] { return test.fLog.Count("Ricevuta una richiesta non valida") == 1; }));
    EXPECT_EQ(sExecuted.load(), 1);
    EXPECT_EQ(sAborts.load(), 0);
}

// Reports progress for a while and ignores cancellation: the cancel reaches the client
// only when it returns.
CL_Status ProgressIgnoringCancel(CL_Command, CL_Blob&, CL_Blob& output, CL_ClientContext* context,
                                 uint32 id) {
    for (int step = 0; step < 12; step++) {
        context->SetProgress(id, step * 8.0, "busy " + std::to_string(step));
        CL_Thread::Sleep(100);
    }
    output.Clear();
    return CL_OK;
}

// Once a request is cancelled the server stops reporting its progress, even while its
// handler goes on.
TEST(TCPServerRequests, PingsStopWithTheCancel) {
    TestServer test;
    test.fCallbacks.fExecute = ProgressIgnoringCancel;
    test.fCallbacks.fAbort = CountAborts;
    sAborts = 0;
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    uint32 sequence = client.SendData(1, CL_Blob());
    CL_PacketHeader header;
    CL_Blob payload;
    ASSERT_EQ(client.Read(&header, &payload), 0);
    ASSERT_EQ(header.fType, CL_PACKET_TYPE_PING);
    client.Abort(sequence);
    // One PING may have been on its way when the cancel came.
    uint32 pings = 0;
    ASSERT_EQ(client.ReadReply(&header, &payload, &pings), 0);
    EXPECT_EQ(header.fType, CL_PACKET_TYPE_ABORT);
    EXPECT_EQ(header.fSequence, sequence);
    EXPECT_LE(pings, 1u);
    EXPECT_EQ(sAborts.load(), 1);
    EXPECT_EQ(client.Call(rpc_test::kEcho, CLU_Table()), CL_PACKET_TYPE_DATA);
}

// A client cancels a request while its chunks are still arriving (as the client does
// when its caller gives up in the middle of sending): the request never reached a
// worker, so the dispatcher answers ABORT itself and no abort callback runs; chunks
// that still come for it are dropped.
TEST(TCPServerRequests, AbortOfARequestStillArriving) {
    TestServer test(CL_IPC_AES_CRYPTING);
    test.fCallbacks.fExecute = CountingExecute;
    test.fCallbacks.fAbort = CountAborts;
    sExecuted = 0;
    sAborts = 0;
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    CL_Blob payload = Flat(BigTable(20000));
    CL_PacketHeader header;
    uint32 sequence = client.fSequence++;
    CL_MakeDataRequest(&header, sequence, rpc_test::kEcho, client.fFlags);
    CL_EncodePayload(&header, payload, client.fFlags, client.fCipher.get(), false);
    CL_Blob first;
    uint32 offset = CL_AppendChunk(header, payload, 0, &first);
    ASSERT_EQ(client.SendRaw(first.GetDataForRead(), first.GetSize()), 0);
    ASSERT_TRUE(WaitFor([&] { return test.fLog.Contains("Il client ha dati in arrivo"); }));
    client.Abort(sequence);
    CL_Blob reply;
    ASSERT_EQ(client.ReadReply(&header, &reply), 0);
    EXPECT_EQ(header.fType, CL_PACKET_TYPE_ABORT);
    EXPECT_EQ(header.fSequence, sequence);
    CL_Blob rest;
    while (offset < payload.GetSize())
        offset += CL_AppendChunk(header, payload, offset, &rest);
    ASSERT_EQ(client.SendRaw(rest.GetDataForRead(), rest.GetSize()), 0);
    EXPECT_EQ(client.Call(rpc_test::kEcho, CLU_Table().Set("after", 1)), CL_PACKET_TYPE_DATA);
    EXPECT_EQ(sExecuted.load(), 1);
    EXPECT_EQ(sAborts.load(), 0);
}

// A peer that stops in the middle of a chunk is cut off after the time-out; what it
// sends afterwards, a new packet from its start, is never taken for the rest of the
// old chunk nor answered.
TEST(TCPServerFaults, StalledChunkThenANewPacket) {
    TestServer test(0, CL_LOG_LEVEL_DEBUG_VERBOSE, 300);
    test.fCallbacks.fExecute = CountingExecute;
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    sExecuted = 0;
    CL_PacketHeader header;
    CL_MakeDataRequest(&header, client.fSequence++, rpc_test::kEcho, 0);
    header.fSize = 64;
    ASSERT_EQ(client.SendRaw(&header, 20), 0);
    EXPECT_TRUE(WaitFor(
        [&] { return test.fLog.Contains("Client disconnesso a causa di tempo scaduto"); }, 10000));
    CL_MakeServerInfoRequest(&header, client.fSequence++);
    client.Send(header, CL_Blob());
    CL_Blob payload;
    EXPECT_NE(client.Read(&header, &payload, 2000), CL_OK);
    EXPECT_TRUE(client.Closed());
    EXPECT_EQ(sExecuted.load(), 0);
}

}  // namespace
