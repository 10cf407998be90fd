// The TCP RPC client against the scripted peer over loopback: the handshake byte for
// byte under every flag combination, the blocking Execute with chunking, compression
// and ciphers, and every fault a peer can commit, in both the blocking and the
// asynchronous form, each with exactly one completion.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "lumo/cipher.h"
#include "lumo/init.h"
#include "lumo/ipc_tcp.h"
#include "lumo/table.h"
#include "support/callback_recorder.h"
#include "support/client_settings.h"
#include "support/handshake_flags.h"
#include "support/loopback.h"
#include "support/scripted_peer.h"
#include "support/wait_for.h"

namespace {

constexpr uint64 kServerID = 0x1122334455660000ull;
constexpr uint32 kClientID = 7;

CLU_Table Settings(uint16 port, uint32 connFlags, uint32 timeout = 3000) {
    return ClientSettings(port, connFlags, timeout, "tester");
}

std::string Text(const CL_Blob& blob) { return blob.Raw(); }

using R = CallbackRecorder;

// ---- Handshake -------------------------------------------------------------------------

class HandshakeTest : public ::testing::TestWithParam<uint16> {};

TEST_P(HandshakeTest, BytesOnTheWireAndAnEchoThroughTheConnectionCipher) {
    const uint16 flags = GetParam();
    scripted::Peer peer;
    peer.Start("handshake " + std::to_string(flags) +
               " 7 0x1122334455660000; recv DATA; reply DATA echo; wait-close 5000");
    CL_TCPClient client;
    CLU_Table settings = Settings(peer.Port(), flags | 0x40000);
    CL_Blob output;
    ASSERT_EQ(client.Connect(settings, output, 0), 0);
    EXPECT_EQ(client.GetID(), kClientID);
    EXPECT_EQ(client.GetFlags(), flags);
    EXPECT_EQ(client.GetServerID(), kServerID);
    EXPECT_EQ(client.GetTimeOut(), 3000u);
    EXPECT_EQ(output.Tell(), 0u);
    CLU_Table reply;
    ASSERT_TRUE(reply.Unflatten(output));
    EXPECT_EQ(reply.GetString("server"), "scripted");
    EXPECT_EQ(reply.GetString("host"), "127.0.0.1");

    // Three chunks: 8160 + 8160 + 3680 bytes, compressible or not alike.
    std::string plain = scripted::PatternBytes(20000);
    CL_Blob input = Bytes(plain);
    CL_Blob result;
    ASSERT_EQ(client.Execute(42, input, result, nullptr, 0), 0);
    EXPECT_EQ(Text(result), plain);
    client.Disconnect();
    EXPECT_EQ(client.GetID(), 0u);
    ASSERT_EQ(peer.Join(), "");

    std::vector<scripted::Received> got = peer.GetReceived();
    ASSERT_EQ(got.size(), 3u);

    // SERVER_INFO: header only, sequence 1.
    CL_PacketHeader expected;
    memset(&expected, 0, sizeof(expected));
    expected.fMagic = CL_IPC_MAGIC;
    expected.fVersion = CL_IPC_VERSION;
    expected.fType = CL_PACKET_TYPE_SERVER_INFO;
    expected.fFlags = CL_IPC_FIRST_CHUNK;
    expected.fSequence = 1;
    EXPECT_EQ(memcmp(&got[0].fHeader, &expected, 32), 0);
    EXPECT_TRUE(got[0].fWire.empty());

    // AUTH: first-chunk flag only, connection flags at offset 24, the whole settings
    // table flattened, in clear.
    CL_Blob flat;
    settings.Flatten(flat);
    expected.fType = CL_PACKET_TYPE_AUTH;
    expected.fSequence = 2;
    expected.fSize = flat.GetSize();
    expected.fConnection.fFlags = flags | 0x40000;
    EXPECT_EQ(memcmp(&got[1].fHeader, &expected, 32), 0);
    EXPECT_EQ(got[1].fWire, flat.Raw());

    // DATA: the granted flags, command and checksum of the plain input; the payload
    // compressed when granted, then ciphered with the key client id + server id.
    const scripted::Received& data = got[2];
    EXPECT_EQ(data.fHeader.fType, CL_PACKET_TYPE_DATA);
    EXPECT_EQ(data.fHeader.fFlags, flags | CL_IPC_FIRST_CHUNK);
    EXPECT_EQ(data.fHeader.fSequence, 3u);
    EXPECT_EQ(data.fHeader.fData.fCommand, 42u);
    EXPECT_EQ(data.fHeader.fData.fCheckSum, input.CheckSum());
    EXPECT_EQ(memcmp(data.fHeader.fReserved, "\0\0\0\0", 4), 0);
    for (size_t i = 1; i < data.fChunks.size(); i++) {
        EXPECT_EQ(data.fChunks[i].fFlags, flags);
        EXPECT_EQ(data.fChunks[i].fSize, data.fChunks[i - 1].fSize - CL_IPC_CHUNK_SIZE);
    }
    ASSERT_TRUE(data.fDecoded);
    EXPECT_EQ(data.fPlain, plain);

    CL_Blob wire = Bytes(plain);
    if (flags & CL_IPC_COMPRESS) {
        wire.Seek(0, CL_SEEK_SET);
        wire.Compress();
    }
    CL_Blob key;
    key += kClientID;
    key += kServerID;
    key.Seek(0, CL_SEEK_SET);
    CL_Cipher* cipher = nullptr;
    if (flags & CL_IPC_TEA_CRYPTING)
        cipher = new CL_TEACipher();
    else if (flags & CL_IPC_BLOWFISH_CRYPTING)
        cipher = new CL_BlowfishCipher();
    else if (flags & CL_IPC_AES_CRYPTING)
        cipher = new CL_AESCipher();
    if (cipher) {
        cipher->SetKey(key);
        wire.Seek(0, CL_SEEK_SET);
        cipher->Encrypt(wire, 0xFFFFFFFF);
        delete cipher;
    }
    EXPECT_EQ(data.fWire, wire.Raw());
}

INSTANTIATE_TEST_SUITE_P(FlagCombinations, HandshakeTest, ::testing::ValuesIn(kHandshakeFlags));

TEST(TCPClientHandshake, GrantedFlagsAreMaskedAndTheFirstCipherBitWins) {
    scripted::Peer peer;
    // TEA and Blowfish together, plus bits no connection flag has.
    peer.Start("recv SERVER_INFO; reply SERVER_INFO -; recv AUTH; reply AUTH table grant=0x6803;"
               "recv DATA; reply DATA echo; wait-close 5000");
    CL_TCPClient client;
    CL_Blob output;
    CLU_Table settings = Settings(peer.Port(), 3);
    settings.Set("timeout", std::string("2500"));
    ASSERT_EQ(client.Connect(settings, output, 0), 0);
    EXPECT_EQ(client.GetTimeOut(), 2500u);
    EXPECT_EQ(client.GetFlags(), CL_IPC_TEA_CRYPTING | CL_IPC_BLOWFISH_CRYPTING);
    CL_Blob input = Bytes("tea wins over blowfish");
    CL_Blob result;
    ASSERT_EQ(client.Execute(1, input, result, nullptr, 0), 0);
    EXPECT_EQ(Text(result), "tea wins over blowfish");
    client.Disconnect();
    ASSERT_EQ(peer.Join(), "");
}

struct ConnectFault {
    const char* name;
    const char* script;  // after the SERVER_INFO exchange and the AUTH request
    CL_Status expected;
};

class ConnectFaultTest : public ::testing::TestWithParam<ConnectFault> {};

TEST_P(ConnectFaultTest, EndsWithItsCodeAndAClosedSocket) {
    const ConnectFault& fault = GetParam();
    scripted::Peer peer;
    peer.Start(std::string("recv SERVER_INFO; reply SERVER_INFO -; recv AUTH;") + fault.script);
    CL_TCPClient client;
    CL_Blob output = Bytes("stale");
    EXPECT_EQ(client.Connect(Settings(peer.Port(), 0, 400), output, 400), fault.expected);
    EXPECT_EQ(output.GetSize(), 0u);
    EXPECT_EQ(client.GetID(), 0u);
    EXPECT_EQ(client.GetServerID(), kServerID);
    peer.Stop();
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ConnectFaultTest,
    ::testing::Values(
        ConnectFault{"NoAuth", "reply NO_AUTH - error=101; wait-close 3000",
                     CL_PROTOCOL_NOT_SUPPORTED},
        ConnectFault{"NoAuthClaimingSuccess", "reply NO_AUTH - error=0; wait-close 3000",
                     CL_IPC_AUTH_FAILED},
        ConnectFault{"Abort", "reply ABORT -; wait-close 3000", CL_CANCELLED},
        ConnectFault{"UnexpectedType", "reply DATA -; wait-close 3000", CL_IPC_BAD_REPLY},
        ConnectFault{"BadMagic", "reply AUTH table magic=0x1234; wait-close 3000",
                     CL_PROTOCOL_NOT_SUPPORTED},
        ConnectFault{"Silence", "wait-close 3000", CL_TIMEOUT},
        // A grant whose reply table does not unflatten is no grant.
        ConnectFault{"AuthTableDoesNotUnflatten", "reply AUTH hex:ffffffff0102; wait-close 3000",
                     CL_IPC_BAD_REPLY},
        ConnectFault{"Close", "close", CL_NOT_CONNECTED}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TCPClientHandshake, RefusedPortAndMissingHost) {
    RefusingPort refusing;
    CL_TCPClient client;
    CL_Blob output;
    EXPECT_EQ(client.Connect(Settings(refusing.Port(), 0, 1000), output, 0), CL_CONNECTION_REFUSED);
    EXPECT_EQ(client.GetID(), 0u);

    CLU_Table settings = Settings(1, 0, 1000);
    settings.Set("host", std::string());
    EXPECT_EQ(client.Connect(settings, output, 0), CL_BAD_HOST_ADDRESS);
}

TEST(TCPClientHandshake, AsynchronousConnectCallsExactlyOneCallback) {
    scripted::Peer peer;
    peer.Start("handshake 0x100; wait-close 5000");
    CL_TCPClient client;
    R record;
    client.Connect(Settings(peer.Port(), 0x100), R::Success, R::Error, nullptr, &record, 0);
    client.WaitForJobs();
    EXPECT_EQ(record.fSuccesses.load(), 1);
    EXPECT_EQ(record.fErrors.load(), 0);
    EXPECT_EQ(record.OutputTable().GetString("server"), "scripted");
    EXPECT_EQ(client.GetFlags(), CL_IPC_COMPRESS);
    client.Disconnect();
    ASSERT_EQ(peer.Join(), "");
}

TEST(TCPClientHandshake, ProgressCallbackCancelsTheConnect) {
    scripted::Peer peer;
    // Cancelled before its socket exists, or before or during SERVER_INFO, whichever
    // comes first: never answered.
    peer.Start("sleep 300");
    CL_TCPClient client;
    R record;
    record.fCancelFrom = 0;
    record.fOutput = "stale";
    client.Connect(Settings(peer.Port(), 0), R::Success, R::Error, R::Progress, &record, 0);
    client.WaitForJobs();
    EXPECT_EQ(record.fSuccesses.load(), 0);
    EXPECT_EQ(record.fErrors.load(), 1);
    EXPECT_EQ(record.fCode.load(), CL_CANCELLED);
    EXPECT_EQ(record.fOutput.size(), 0u);
    EXPECT_EQ(record.fProgressCalls.load(), 1);
    EXPECT_EQ(client.GetID(), 0u);
    ASSERT_EQ(peer.Join(), "");
}

// A cancel that comes while the handshake waits for a silent server ends the Connect
// with 7 at once, far inside its time-out; the server never sends anything that could
// end the wait.
TEST(TCPClientHandshake, CancelWhileWaitingForTheServerEndsTheConnect) {
    scripted::Peer peer;
    peer.Start("recv SERVER_INFO; wait-close 15000");
    CL_TCPClient client;
    R record;
    // Cancels only once the request is out and the client waits for the reply.
    record.fCancelIf = [&] { return !peer.GetReceived().empty(); };
    client.Connect(Settings(peer.Port(), 0, 60000), R::Success, R::Error, R::Progress, &record,
                   60000);
    EXPECT_TRUE(record.Wait(1, 8000));
    client.WaitForJobs();
    EXPECT_EQ(record.fSuccesses.load(), 0);
    EXPECT_EQ(record.fErrors.load(), 1);
    EXPECT_EQ(record.fCode.load(), CL_CANCELLED);
    EXPECT_EQ(client.GetID(), 0u);
    ASSERT_EQ(peer.Join(), "");
}

// A Connect cancelled on a client that is still connected: the progress job's cancel
// and the handshake both close the earlier connection, never at the same time.
TEST(TCPClientHandshake, CancelledReconnectOfAConnectedClient) {
    scripted::Peer peer;
    peer.Start("handshake; wait-close 5000; wait-close 5000");
    CL_TCPClient client;
    CL_Blob output;
    ASSERT_EQ(client.Connect(Settings(peer.Port(), 0), output, 0), 0);
    R record;
    record.fCancelFrom = 0;
    client.Connect(Settings(peer.Port(), 0), R::Success, R::Error, R::Progress, &record, 0);
    client.WaitForJobs();
    EXPECT_EQ(record.fSuccesses.load(), 0);
    EXPECT_EQ(record.fErrors.load(), 1);
    EXPECT_EQ(record.fCode.load(), CL_CANCELLED);
    EXPECT_EQ(client.GetID(), 0u);
    ASSERT_EQ(peer.Join(), "");
}

// Disconnect from another thread while a Connect holds the connection (waiting for
// a silent server) does not wait for it and ends it as a closed connection.
TEST(TCPClientHandshake, DisconnectFromAnotherThreadEndsAWaitingConnect) {
    scripted::Peer peer;
    peer.Start("recv SERVER_INFO; wait-close 5000");
    CL_TCPClient client;
    R record;
    client.Connect(Settings(peer.Port(), 0), R::Success, R::Error, nullptr, &record, 0);
    WaitFor([&] { return !peer.GetReceived().empty(); }, 10000);
    ASSERT_EQ(peer.GetReceived().size(), 1u);
    client.Disconnect();
    client.WaitForJobs();
    EXPECT_EQ(record.fSuccesses.load(), 0);
    EXPECT_EQ(record.fErrors.load(), 1);
    EXPECT_EQ(record.fCode.load(), CL_NOT_CONNECTED);
    EXPECT_EQ(client.GetID(), 0u);
    ASSERT_EQ(peer.Join(), "");
}

// ---- Exchange faults ---------------------------------------------------------------------

struct ExchangeCase {
    const char* name;
    const char* script;  // after the handshake and the DATA request
    CL_Status expected;
    const char* partial;  // expected partial result, or null for "don't care"
    CL_Status alternative;  // a second acceptable code (0: none)
};

class ExchangeTest : public ::testing::TestWithParam<std::tuple<ExchangeCase, bool>> {};

TEST_P(ExchangeTest, EndsWithItsCodeExactlyOnce) {
    const ExchangeCase& test = std::get<0>(GetParam());
    const bool async = std::get<1>(GetParam());
    scripted::Peer peer;
    peer.Start(std::string("handshake 0x102; recv DATA;") + test.script);
    CL_TCPClient client;
    CL_Blob output;
    ASSERT_EQ(client.Connect(Settings(peer.Port(), 0x102, 600), output, 0), 0);
    CL_Blob input = Bytes("request");
    CL_Status status;
    std::string partial;
    if (async) {
        R c;
        client.Execute(5, input, R::Success, R::Error, nullptr, nullptr, &c, 0);
        client.WaitForJobs();
        EXPECT_EQ(c.Completions(), 1);
        status = c.fErrors ? c.fCode.load() : 0;
        partial = c.fOutput;
    } else {
        CL_Blob result;
        status = client.Execute(5, input, result, nullptr, 0);
        partial = result.Raw();
    }
    if (!(test.alternative && status == test.alternative)) {
        EXPECT_EQ(status, test.expected);
    }
    if (test.partial) {
        EXPECT_EQ(partial, test.partial);
    }
    client.Disconnect();
    peer.Stop();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ExchangeTest,
    ::testing::Combine(
        ::testing::Values(
            ExchangeCase{"Echo", "reply DATA echo; wait-close 3000", 0, "request", 0},
            ExchangeCase{"EmptyReply", "reply DATA -; wait-close 3000", 0, "", 0},
            ExchangeCase{"Failed", "reply FAILED text:it-broke; wait-close 3000",
                         CL_IPC_EXECUTE_FAILED, "it-broke", 0},
            ExchangeCase{"Abort", "reply ABORT -; wait-close 3000", CL_IPC_EXECUTE_ABORTED, "",
                         0},
            ExchangeCase{"BadMagic", "reply DATA echo magic=0xF79BF0B6; wait-close 3000",
                         CL_PROTOCOL_NOT_SUPPORTED, nullptr, 0},
            ExchangeCase{"BadChecksum", "reply DATA echo csum=12345; wait-close 3000",
                         CL_IPC_BAD_REPLY, nullptr, 0},
            ExchangeCase{"UnexpectedType", "reply NO_AUTH -; wait-close 3000", CL_IPC_BAD_REPLY,
                         nullptr, 0},
            ExchangeCase{"CorruptStream", "reply DATA bytes:100 plain flags=0x1102; wait-close 3000",
                         CL_IPC_BAD_REPLY, nullptr, 0},
            ExchangeCase{"SizeOf2GiB", "reply DATA bytes:8160 plain flags=0x1002 size=0x80000000; wait-close 3000",
                         CL_IPC_BAD_REPLY, nullptr, 0},
            ExchangeCase{"LaterChunkLiesAboutItsSize",
                         "hold DATA bytes:9000 plain flags=0x1002; send 2 1; reply DATA bytes:500 plain flags=0x2 "
                         "size=500; wait-close 3000",
                         CL_IPC_BAD_REPLY, nullptr, 0},
            ExchangeCase{"ChunkWithoutFirst", "reply DATA echo flags=0x2; wait-close 3000",
                         CL_IPC_BAD_REPLY, nullptr, 0},
            // A server that closed is "not connected", wherever the reply stopped.
            ExchangeCase{"CloseMidReply", "reply DATA bytes:9000 cut=100; close",
                         CL_NOT_CONNECTED, nullptr, 0},
            ExchangeCase{"CloseMidHeader", "reply DATA bytes:9000 cut=10; close",
                         CL_NOT_CONNECTED, nullptr, 0},
            ExchangeCase{"CloseBeforeReply", "close", CL_NOT_CONNECTED, nullptr, 0},
            ExchangeCase{"Silence", "wait-close 5000", CL_TIMEOUT, "", 0},
            ExchangeCase{"PingsThenSilence",
                         "ping 10 a; sleep 300; ping 20 b; sleep 300; ping 30; wait-close 5000",
                         CL_TIMEOUT, "", 0},
            ExchangeCase{"OtherSequenceOnly",
                         "reply DATA echo seq=999; wait-close 5000", CL_TIMEOUT, "", 0}),
        ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) ? "Async" : "Sync");
    });

TEST(TCPClientExchange, NotConnectedAndDisconnectWithoutConnection) {
    CL_Init();
    CL_TCPClient client;
    client.Disconnect();
    EXPECT_EQ(client.GetID(), 0u);
    CL_Blob input = Bytes("x"), output;
    EXPECT_EQ(client.Execute(1, input, output, nullptr, 200), CL_NOT_CONNECTED);
}

TEST(TCPClientExchange, LateRepliesOfEndedRequestsAreNotKept) {
    scripted::Peer peer;
    peer.Start("handshake; recv DATA; sleep 500; ping 10 late; reply DATA bytes:20000;"
               "recv DATA; reply DATA echo; wait-close 5000");
    CL_TCPClient client;
    CL_Blob output;
    ASSERT_EQ(client.Connect(Settings(peer.Port(), 0), output, 0), 0);
    CL_Blob input = Bytes("first"), result;
    EXPECT_EQ(client.Execute(1, input, result, nullptr, 200), CL_TIMEOUT);
    CL_Blob second = Bytes("second");
    ASSERT_EQ(client.Execute(1, second, result, nullptr, 3000), 0);
    EXPECT_EQ(Text(result), "second");
    EXPECT_EQ(client.GetQueuedPacketCount(), 0u);
    client.Disconnect();
    ASSERT_EQ(peer.Join(), "");
}

TEST(TCPClientExchange, IdleCallbackRunsWhileWaitingAndCancels) {
    scripted::Peer peer;
    peer.Start("handshake; recv DATA; recv ABORT; wait-close 5000");
    CL_TCPClient client;
    CL_Blob output;
    ASSERT_EQ(client.Connect(Settings(peer.Port(), 0), output, 0), 0);
    static std::atomic<int> calls;
    calls = 0;
    CL_Blob input = Bytes("x"), result;
    CL_Status status = client.Execute(
        1, input, result, [](void*) -> CL_Status { return ++calls >= 5 ? 1 : 0; }, 5000);
    EXPECT_EQ(status, CL_IPC_EXECUTE_ABORTED);
    EXPECT_EQ(calls.load(), 5);
    EXPECT_EQ(result.GetSize(), 0u);
    client.Disconnect();
    ASSERT_EQ(peer.Join(), "");
    // The server is told, so that it stops working for nobody: an ABORT of that request.
    std::vector<scripted::Received> got = peer.GetReceived();
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got[got.size() - 1].fHeader.fType, CL_PACKET_TYPE_ABORT);
    EXPECT_EQ(got[got.size() - 1].fHeader.fSequence, got[got.size() - 2].fHeader.fSequence);
}

}  // namespace
