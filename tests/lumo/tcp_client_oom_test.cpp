// The TCP RPC client out of memory at the grant: the cipher the server's flags choose
// cannot be made, and the Connect fails rather than run with payloads in clear. The
// program's own malloc makes allocations of one size fail on one thread at will; under
// a sanitizer, whose heap replaces malloc, the test is skipped.
#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>

#include "lumo/cipher.h"
#include "lumo/ipc_tcp.h"
#include "support/client_settings.h"
#include "support/sanitizer.h"
#include "support/scripted_peer.h"

#if !ZELMO_SANITIZER_HEAP
namespace {

// Allocations of this size on this thread fail; 0: none.
std::atomic<size_t> sFailSize{0};
std::atomic<pthread_t> sFailThread{};

}  // namespace

extern "C" void* __libc_malloc(size_t size);

extern "C" void* malloc(size_t size) {
    if (size == sFailSize.load(std::memory_order_relaxed) &&
        pthread_equal(pthread_self(), sFailThread.load(std::memory_order_relaxed)))
        return nullptr;
    return __libc_malloc(size);
}
#endif

namespace {

TEST(TCPClientOutOfMemory, NoCipherForTheGrantFailsTheConnect) {
#if ZELMO_SANITIZER_HEAP
    GTEST_SKIP() << "the sanitizer's heap replaces malloc";
#else
    scripted::Peer peer;
    // Blowfish granted: its cipher is the one allocation of its size in a Connect.
    peer.Start("handshake 2; wait-close 5000; accept; handshake 2; recv DATA; reply DATA echo;"
               "wait-close 5000");
    CL_TCPClient client;
    CL_Blob output;
    sFailThread = pthread_self();
    sFailSize = sizeof(CL_BlowfishCipher);
    CL_Status status = client.Connect(ClientSettings(peer.Port(), 2, 3000), output, 0);
    sFailSize = 0;
    EXPECT_EQ(status, CL_OUT_OF_MEMORY);
    EXPECT_EQ(client.GetID(), 0u);
    EXPECT_EQ(client.GetFlags(), 0);

    // With memory, the same grant connects and the cipher works.
    ASSERT_EQ(client.Connect(ClientSettings(peer.Port(), 2, 3000), output, 0), CL_OK);
    EXPECT_EQ(client.GetFlags(), CL_IPC_BLOWFISH_CRYPTING);
    CL_Blob input = Bytes("ciphered"), result;
    ASSERT_EQ(client.Execute(1, input, result, nullptr, 0), CL_OK);
    EXPECT_EQ(result.Raw(), "ciphered");
    client.Disconnect();
    EXPECT_EQ(peer.Join(), "");
    std::vector<scripted::Received> got = peer.GetReceived();
    ASSERT_FALSE(got.empty());
    EXPECT_TRUE(got.back().fDecoded);
#endif
}

}  // namespace
