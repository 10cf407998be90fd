#include <gtest/gtest.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "lumo/thread.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t MillisSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Runs `body` on another thread and gives its result.
template <class F>
auto OnOtherThread(F body) {
    decltype(body()) result{};
    std::thread t([&] { result = body(); });
    t.join();
    return result;
}

TEST(Mutex, LockedConstructionAndTryLock) {
    CL_Mutex mutex(true);
    EXPECT_EQ(OnOtherThread([&] { return mutex.TryLock(); }), CL_WOULD_BLOCK);
    mutex.Unlock();
    EXPECT_EQ(OnOtherThread([&] {
                  CL_Status s = mutex.TryLock();
                  if (s == 0) mutex.Unlock();
                  return s;
              }),
              0);
    EXPECT_EQ(mutex.Lock(), CL_OK);
    mutex.Unlock();
}

TEST(Mutex, RecursiveNeedsAsManyUnlocks) {
    CL_RecursiveMutex mutex;
    auto tryOther = [&] {
        return OnOtherThread([&] {
            CL_Status s = mutex.TryLock();
            if (s == 0) mutex.Unlock();
            return s;
        });
    };
    mutex.Lock();
    EXPECT_EQ(mutex.TryLock(), CL_OK);
    mutex.Unlock();
    EXPECT_EQ(tryOther(), CL_WOULD_BLOCK);
    mutex.Unlock();
    EXPECT_EQ(tryOther(), CL_OK);

    CL_RecursiveMutex held(true);
    EXPECT_EQ(held.Lock(), CL_OK);
    held.Unlock();
    held.Unlock();
}

TEST(Mutex, MutualExclusionUnderContention) {
    CL_Mutex mutex;
    CL_SpinLock spin;
    int64_t plain = 0, spun = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                {
                    CL_AutoLocker lock(mutex);
                    ++plain;
                }
                CL_AutoLocker lock(&spin);
                ++spun;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(plain, 20000);
    EXPECT_EQ(spun, 20000);
}

// A lock whose Lock fails, to see that the guard then leaves Unlock alone.
class FailingLock : public CL_Lockable {
public:
    CL_Status Lock() override { return 4; }
    void Unlock() override { ++fUnlocks; }
    int fUnlocks = 0;
};

TEST(AutoLocker, UnlocksOnlyWhatItLocked) {
    FailingLock failing;
    {
        CL_AutoLocker lock(failing);
        EXPECT_FALSE(lock.IsOk());
        EXPECT_EQ(lock.GetStatus(), CL_TIMEOUT);
    }
    EXPECT_EQ(failing.fUnlocks, 0);
    {
        CL_AutoLocker lock(static_cast<CL_Lockable*>(nullptr));
        EXPECT_FALSE(lock.IsOk());
    }
    CL_Mutex mutex;
    {
        CL_AutoLocker lock(mutex);
        EXPECT_TRUE(lock.IsOk());
        EXPECT_EQ(OnOtherThread([&] { return mutex.TryLock(); }), CL_WOULD_BLOCK);
    }
    EXPECT_EQ(mutex.TryLock(), CL_OK);
    mutex.Unlock();
}

TEST(Semaphore, TimesOutThenHandsOutReleasedUnits) {
    CL_Semaphore sem(0);
    auto start = Clock::now();
    EXPECT_EQ(sem.Acquire(1, 50), CL_TIMEOUT);
    EXPECT_GE(MillisSince(start), 45);
    EXPECT_EQ(sem.Acquire(1, 0), CL_TIMEOUT);

    sem.Release(2);
    EXPECT_EQ(sem.GetCount(), 2);
    start = Clock::now();
    EXPECT_EQ(sem.Acquire(1, 1000), CL_OK);
    EXPECT_EQ(sem.Acquire(1, 1000), CL_OK);
    EXPECT_LT(MillisSince(start), 500);
    EXPECT_EQ(sem.GetCount(), 0);
}

TEST(Semaphore, MultiUnitAcquireWaitsForAllUnits) {
    CL_Semaphore sem(0);
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        EXPECT_EQ(sem.Acquire(3, CL_WAIT_FOREVER), CL_OK);
        done = true;
    });
    for (int i = 0; i < 2; ++i) {
        sem.Release(1);
        CL_Thread::Sleep(10);
        EXPECT_FALSE(done.load());
    }
    sem.Release(1);
    waiter.join();
    EXPECT_TRUE(done.load());
    EXPECT_EQ(sem.GetCount(), 0);
}

TEST(Semaphore, FiniteWaitIsWokenByRelease) {
    CL_Semaphore sem(0);
    std::thread releaser([&] {
        CL_Thread::Sleep(20);
        sem.Release(1);
    });
    auto start = Clock::now();
    EXPECT_EQ(sem.Acquire(1, 5000), CL_OK);
    EXPECT_LT(MillisSince(start), 4000);
    releaser.join();
    // Lock/Unlock are one unit for ever / one unit back.
    sem.Unlock();
    EXPECT_EQ(sem.Lock(), CL_OK);
    EXPECT_EQ(sem.GetCount(), 0);
}

TEST(Semaphore, CountsCompareAsSignedAndWrapWithoutOverflow) {
    // A request above 2^31-1 reads as negative, so it is granted at once; taking it
    // wraps the count (signed overflow here is undefined and trips the sanitizer).
    CL_Semaphore sem(0);
    EXPECT_EQ(sem.Acquire(0x80000000u, 0), CL_OK);
    EXPECT_EQ(sem.GetCount(), INT32_MIN);
    sem.Release(0x80000000u);
    EXPECT_EQ(sem.GetCount(), 0);
    sem.Release(0x7FFFFFFFu);
    EXPECT_EQ(sem.Acquire(0xFFFFFFFFu, CL_WAIT_FOREVER), CL_OK);  // -1 units: one more
    EXPECT_EQ(sem.GetCount(), INT32_MIN);
}

std::string UniqueName(const char* stem) {
    return std::string(stem) + "_" + std::to_string(getpid());
}

// A name the test made, removed from the system when the test ends: the objects leave
// it in place.
struct SemaphoreName {
    explicit SemaphoreName(const char* stem) : fName(UniqueName(stem)) {}
    ~SemaphoreName() { sem_unlink(("/" + fName).c_str()); }
    operator const std::string&() const { return fName; }
    std::string fName;
};

TEST(NamedSemaphore, PollingTimeoutsAndRelease) {
    SemaphoreName name("lumo_lock_test");
    CL_NamedSemaphore sem(name, 0);
    ASSERT_EQ(sem.GetStatus(), CL_OK);
    auto start = Clock::now();
    EXPECT_EQ(sem.Acquire(0), CL_WOULD_BLOCK);
    EXPECT_LT(MillisSince(start), 8);  // one try, no sleep
    start = Clock::now();
    EXPECT_EQ(sem.Acquire(100), CL_WOULD_BLOCK);
    EXPECT_GE(MillisSince(start), 95);
    sem.Release();
    EXPECT_EQ(sem.Acquire(0), CL_OK);
    sem.Unlock();
    EXPECT_EQ(sem.Lock(), CL_OK);
}

TEST(NamedSemaphore, SharedByNameAndKeptAfterDestruction) {
    SemaphoreName name("lumo_lock_shared");
    {
        CL_NamedSemaphore a(name, 0);
        CL_NamedSemaphore b(name, 7);  // opens the existing one: the value is ignored
        ASSERT_EQ(b.GetStatus(), CL_OK);
        EXPECT_EQ(b.Acquire(0), CL_WOULD_BLOCK);
        a.Release();
        EXPECT_EQ(b.Acquire(0), CL_OK);
        // An object that opens and drops the name while b holds it changes nothing.
        { CL_NamedSemaphore passing(name, 1); }
        CL_NamedSemaphore c(name, 1);
        EXPECT_EQ(c.Acquire(0), CL_WOULD_BLOCK);
    }
    // Both are gone, b giving back the unit it held: the same semaphore, one unit free.
    CL_NamedSemaphore c(name, 5);
    EXPECT_EQ(c.Acquire(0), CL_OK);
    EXPECT_EQ(c.Acquire(0), CL_WOULD_BLOCK);
}

// Units acquired and not released go back with the object; released ones, and a
// release beyond the count, do not go back twice.
TEST(NamedSemaphore, DroppedHolderGivesBackWhatItHeld) {
    SemaphoreName name("lumo_lock_held");
    CL_NamedSemaphore probe(name, 0);
    {
        CL_NamedSemaphore holder(name, 0);
        probe.Release();
        probe.Release();
        EXPECT_EQ(holder.Acquire(0), CL_OK);
        EXPECT_EQ(holder.Acquire(100), CL_OK);
        holder.Release();
        holder.Lock();
    }
    EXPECT_EQ(probe.Acquire(0), CL_OK);
    EXPECT_EQ(probe.Acquire(0), CL_OK);
    EXPECT_EQ(probe.Acquire(0), CL_WOULD_BLOCK);
    {
        CL_NamedSemaphore extra(name, 0);
        extra.Release();  // beyond what it took
    }
    EXPECT_EQ(probe.Acquire(0), CL_OK);
    EXPECT_EQ(probe.Acquire(0), CL_WOULD_BLOCK);
}

// A dropped object gives back no more than its process still holds of the name (count as
// another opener reads it): not a unit released through another object, nor its parent's.
TEST(NamedSemaphore, DroppedObjectGivesBackOnlyWhatItsProcessHolds) {
    SemaphoreName name("lumo_lock_tally");
    sem_t* raw = sem_open(("/" + name.fName).c_str(), O_CREAT, 0666, 1);
    auto count = [raw] {
        int value = -1;
        return sem_getvalue(raw, &value), value;
    };
    std::optional<CL_NamedSemaphore> a(std::in_place, name, 1), b(std::in_place, name, 1);
    ASSERT_EQ(a->Acquire(0), CL_OK);
    b->Release();
    a.reset();
    EXPECT_EQ(count(), 1);
    ASSERT_EQ(a.emplace(name, 1).Acquire(0), CL_OK);
    b->Release();
    ASSERT_EQ(b->Acquire(0), CL_OK);  // b's own unit: a has none left to give back
    a.reset();
    { CL_NamedSemaphore idle(name, 1); }
    EXPECT_EQ(count(), 0);
    b.reset();  // the unreleased holder
    EXPECT_EQ(count(), 1);
    ASSERT_EQ(a.emplace(name, 1).Acquire(0), CL_OK);
    pid_t pid = fork();
    if (pid == 0) a.reset(), _exit(0);  // drops its copy, as a child ending normally does
    ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
    EXPECT_EQ(count(), 0);
    a->Release();
    a.reset();
    EXPECT_EQ(count(), 1);
    sem_close(raw);
}

TEST(NamedSemaphore, OpeningFailuresAreReported) {
    CL_NamedSemaphore bad("no/slash/allowed", 0);
    EXPECT_EQ(bad.GetStatus(), CL_IO_ERROR);
    EXPECT_EQ(bad.Acquire(0), CL_INVALID_RESOURCE);  // refused rather than crashing

    if (geteuid() == 0) GTEST_SKIP() << "access checks do not apply to root";
    const std::string name = UniqueName("lumo_lock_denied");
    sem_t* locked = sem_open(("/" + name).c_str(), O_CREAT | O_EXCL, 0, 0);
    ASSERT_NE(locked, SEM_FAILED);
    {
        CL_NamedSemaphore denied(name, 0);
        EXPECT_EQ(denied.GetStatus(), CL_ACCESS_DENIED);
    }
    sem_close(locked);
    sem_unlink(("/" + name).c_str());
}

TEST(RWLock, ReadersShareWritersTimeOut) {
    CL_RWLock lock;
    ASSERT_EQ(lock.ReadLock(), CL_OK);
    EXPECT_EQ(OnOtherThread([&] { return lock.TryWriteLock(); }), CL_WOULD_BLOCK);
    EXPECT_EQ(OnOtherThread([&] {
                  CL_Status s = lock.TryReadLock();
                  if (s == 0) lock.ReadUnlock();
                  return s;
              }),
              0);
    int64_t waited = 0;
    EXPECT_EQ(OnOtherThread([&] {
                  auto start = Clock::now();
                  CL_Status s = lock.WriteLock(30);
                  waited = MillisSince(start);
                  return s;
              }),
              4);
    EXPECT_GE(waited, 29);
    EXPECT_EQ(OnOtherThread([&] { return lock.WriteLock(0); }), CL_TIMEOUT);
    lock.ReadUnlock();

    ASSERT_EQ(lock.WriteLock(100), CL_OK);
    EXPECT_EQ(OnOtherThread([&] { return lock.ReadLock(20); }), CL_TIMEOUT);
    // The write lock is released by another thread's read lock once freed.
    std::thread reader([&] {
        EXPECT_EQ(lock.ReadLock(5000), CL_OK);
        lock.ReadUnlock();
    });
    CL_Thread::Sleep(20);
    lock.WriteUnlock();
    reader.join();
}

TEST(Condition, TimedAndSignalledWaits) {
    CL_Condition cond;
    CL_Mutex mutex;
    mutex.Lock();
    auto start = Clock::now();
    EXPECT_EQ(cond.Wait(&mutex, 20), CL_TIMEOUT);
    EXPECT_GE(MillisSince(start), 19);
    // Held again after the time-out.
    EXPECT_EQ(OnOtherThread([&] { return mutex.TryLock(); }), CL_WOULD_BLOCK);

    bool ready = false;
    std::thread signaller([&] {
        CL_Thread::Sleep(10);
        mutex.Lock();
        ready = true;
        cond.Signal();
        mutex.Unlock();
    });
    while (!ready)
        EXPECT_EQ(cond.Wait(&mutex, CL_WAIT_FOREVER), CL_OK);
    mutex.Unlock();
    signaller.join();
}

TEST(Condition, BroadcastWakesEveryWaiter) {
    CL_Condition cond;
    CL_Mutex mutex;
    int waiting = 0, woken = 0;
    bool go = false;
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&] {
            CL_AutoLocker lock(mutex);
            ++waiting;
            while (!go)
                cond.Wait(&mutex);
            ++woken;
        });
    }
    for (;;) {
        CL_AutoLocker lock(mutex);
        if (waiting == 3) {
            go = true;
            cond.Broadcast();
            break;
        }
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(woken, 3);
}

// A wait without the caller's mutex must leave its private mutex free on return:
// otherwise the next such wait, on this thread or another, never gets past it.
TEST(Condition, WaitWithoutMutexLeavesPrivateMutexFree) {
    CL_Condition cond;
    CL_Semaphore finished(0);
    std::thread t([&] {
        EXPECT_EQ(cond.Wait(nullptr, 5), CL_TIMEOUT);
        EXPECT_EQ(cond.Wait(nullptr, 5), CL_TIMEOUT);
        finished.Release(1);
    });
    ASSERT_EQ(finished.Acquire(1, 5000), 0) << "second wait was locked out";
    t.join();
    std::thread other([&] {
        EXPECT_EQ(cond.Wait(nullptr, 5), CL_TIMEOUT);
        finished.Release(1);
    });
    ASSERT_EQ(finished.Acquire(1, 5000), 0) << "another thread's wait was locked out";
    other.join();

    // Signals reach such a waiter; one sent while nobody waits is lost, so keep sending.
    std::atomic<bool> woken{false};
    std::thread waiter([&] {
        EXPECT_EQ(cond.Wait(nullptr, CL_WAIT_FOREVER), CL_OK);
        woken = true;
    });
    while (!woken) {
        cond.Signal();
        CL_Thread::Sleep(1);
    }
    waiter.join();
}

TEST(Condition, ConcurrentFirstWaitsWithoutMutex) {
    // Several threads make the private mutex at once; exactly one survives (a leak or
    // a double free shows under the sanitizers).
    for (int round = 0; round < 5; ++round) {
        CL_Condition cond;
        std::vector<std::thread> threads;
        for (int i = 0; i < 6; ++i)
            threads.emplace_back([&] { EXPECT_EQ(cond.Wait(nullptr, 2), 4); });
        for (auto& t : threads)
            t.join();
    }
}

TEST(AtomicVar, CountsAcrossThreads) {
    CL_AtomicVar counter;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                counter++;
                ++counter;
                counter -= 1;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 40000);
    EXPECT_TRUE(counter > 39999);
    EXPECT_EQ(counter.Set(5), 40000);
    EXPECT_EQ(counter.TestAndSet(4, 9), 5);  // no change
    EXPECT_EQ(counter.TestAndSet(5, 9), 5);
    EXPECT_EQ(counter.Get(), 9);
    EXPECT_EQ(counter.Add(-10), -1);
    EXPECT_EQ(uint32(counter), 0xFFFFFFFFu);
    EXPECT_TRUE(bool(counter));
    counter = false;
    EXPECT_TRUE(!counter);
}

}  // namespace
