#include <gtest/gtest.h>
#include <pthread.h>

#include <malloc.h>

#include <thread>
#include <vector>

#include "lumo/entry.h"
#include "lumo/thread.h"
#include "lumo/platform/unix/tls_internal.h"
#include "support/sanitizer.h"

namespace {

class ThreadVarTest : public ::testing::Test {
protected:
    // Start-up's order: the storage key first, so the platform clears its slot before
    // it runs the exit key's destructor.
    static void SetUpTestSuite() {
        CL_Thread::GetLocalStorageEntry();
        CL_Thread::Initialize();
    }
};

template <class F>
void OnSpawnedThread(F body) {
    struct Call {
        static int32 Run(void* p) {
            (*static_cast<F*>(p))();
            return 0;
        }
    };
    CL_ThreadID id = CL_Thread::Spawn("tls test", 1, 1, Call::Run, &body);
    ASSERT_NE(id, 0u);
    CL_Thread::Wait(id);
}

TEST_F(ThreadVarTest, ReadingNeverMakesARecord) {
    CL_ThreadVar<uint32> var;
    OnSpawnedThread([&] {
        EXPECT_EQ(var.Get(), 0u);
        EXPECT_EQ(uint32(var), 0u);
        EXPECT_FALSE(CL_Thread::HasLocalStorage());
    });
}

TEST_F(ThreadVarTest, ValuesArePerThread) {
    CL_ThreadVar<int32> var;
    var = -5;
    EXPECT_EQ(var.Get(), -5);
    OnSpawnedThread([&] {
        EXPECT_EQ(var.Get(), 0);
        var = 7;
        EXPECT_EQ(var.Get(), 7);
        var = 8;  // replaces
        EXPECT_EQ(int32(var), 8);
    });
    EXPECT_EQ(var.Get(), -5);

    CL_ThreadVar<uint32> initialised(0xFFFFFFFFu);
    EXPECT_EQ(initialised.Get(), 0xFFFFFFFFu);
    OnSpawnedThread([&] { EXPECT_EQ(initialised.Get(), 0u); });
}

TEST_F(ThreadVarTest, DestroyingAVariableRemovesItFromEveryThread) {
    auto* var = new CL_ThreadVar<int32>();
    CL_ThreadVar<int32> other;
    CL_Semaphore written(0), destroyed(0), checked(0);
    std::thread threads[3];
    for (int i = 0; i < 3; ++i) {
        threads[i] = std::thread([&, i] {
            *var = i + 1;
            other = 100 + i;
            written.Release(1);
            destroyed.Acquire(1);
            // Same key read through a fresh variable object placed at the old address
            // would be racy; look at the record directly instead.
            EXPECT_EQ(CL_Thread::GetLocalStorage()->Get(static_cast<void*>(var)), nullptr);
            EXPECT_EQ(other.Get(), 100 + i);
            checked.Release(1);
        });
    }
    ASSERT_EQ(written.Acquire(3, 5000), 0);
    void* key = var;
    delete var;
    EXPECT_EQ(CL_Thread::GetLocalStorage()->Get(key), nullptr);
    destroyed.Release(3);
    EXPECT_EQ(checked.Acquire(3, 5000), 0);
    for (auto& t : threads)
        t.join();
}

// A thread started by Spawn releases its record when it ends: the process-wide list
// of records goes back to its old length, however often this happens.
TEST_F(ThreadVarTest, SpawnedThreadsLeaveNoRecordBehind) {
    CL_ThreadVar<uint32> var;
    const uint32 before = CL_CountLocalStorages();
    for (int i = 0; i < 20; ++i) {
        OnSpawnedThread([&] {
            var = 42;
            EXPECT_TRUE(CL_Thread::HasLocalStorage());
            EXPECT_EQ(CL_CountLocalStorages(), before + 1);
        });
        EXPECT_EQ(CL_CountLocalStorages(), before);
    }
    // Releasing by hand, then writing again, is released once more at the end.
    OnSpawnedThread([&] {
        var = 1;
        CL_Thread::PutLocalStorage();
        EXPECT_FALSE(CL_Thread::HasLocalStorage());
        EXPECT_EQ(var.Get(), 0u);
        EXPECT_EQ(CL_CountLocalStorages(), before);
        var = 2;
        EXPECT_EQ(CL_CountLocalStorages(), before + 1);
    });
    EXPECT_EQ(CL_CountLocalStorages(), before);
}

TEST_F(ThreadVarTest, ReleasingWithoutARecordChangesNothing) {
    const uint32 before = CL_CountLocalStorages();
    OnSpawnedThread([&] {
        CL_Thread::PutLocalStorage();
        EXPECT_FALSE(CL_Thread::HasLocalStorage());
    });
    EXPECT_EQ(CL_CountLocalStorages(), before);
}

// Releasing a thread's storage also empties its cache of freed entries, even when the
// thread has no record. Runs on the main thread, whose heap figures are stable here.
TEST_F(ThreadVarTest, ReleasingEmptiesTheEntryCache) {
#if ZELMO_SANITIZER_HEAP
    GTEST_SKIP() << "heap figures come from the sanitizer's allocator";
#else
    constexpr size_t kEntries = 2000;
    std::vector<CLU_Entry*> entries(kEntries);
    for (auto& e : entries)
        e = CLU_Entry::Allocate(CLU_INTEGER);
    for (auto* e : entries)
        CLU_Entry::Deallocate(e);
    std::vector<CLU_Entry*>().swap(entries);
    const size_t before = mallinfo2().uordblks;
    CL_Thread::PutLocalStorage();
    const size_t after = mallinfo2().uordblks;
    EXPECT_FALSE(CL_Thread::HasLocalStorage());
    ASSERT_LE(after, before);
    EXPECT_GE(before - after, kEntries / 2 * sizeof(CLU_Entry));
#endif
}

// Another library's thread-exit clean-up may write a variable after ours has run
// (its key was made later, so its destructor runs later).
CL_ThreadVar<int32>* gLateVar = nullptr;
void WriteLate(void*) {
    *gLateVar = 9;
}

TEST_F(ThreadVarTest, WritesDuringThreadExitAreReleasedToo) {
    CL_ThreadVar<int32> var;
    gLateVar = &var;
    pthread_key_t key;
    ASSERT_EQ(pthread_key_create(&key, WriteLate), 0);
    const uint32 before = CL_CountLocalStorages();
    OnSpawnedThread([&] {
        var = 3;
        pthread_setspecific(key, &var);
    });
    EXPECT_EQ(CL_CountLocalStorages(), before);
    OnSpawnedThread([&] { pthread_setspecific(key, &var); });
    EXPECT_EQ(CL_CountLocalStorages(), before);
    pthread_key_delete(key);
}

TEST_F(ThreadVarTest, OtherThreadsKeepTheirRecord) {
    CL_ThreadVar<int32> var;
    const uint32 before = CL_CountLocalStorages();
    std::thread([&] { var = 5; }).join();
    EXPECT_EQ(CL_CountLocalStorages(), before + 1);
}

}  // namespace
