// Dispatcher: pool size and thread names, growth while every worker is busy,
// retirement down to the base count, job waits, and destruction with jobs queued
// or still arriving, or from its own job.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "lumo/dispatcher.h"
#include "lumo/thread.h"
#include "support/wait_for.h"

namespace {

// Exposes the pool and lowers the idle limit so that retirement can be watched.
class TestDispatcher : public CL_Dispatcher {
public:
    TestDispatcher(uint32 base, uint32 max, OnCreateProc onCreate = nullptr,
                   OnDestroyProc onDestroy = nullptr, void* context = nullptr,
                   uint32 idleLimit = 300000)
        : CL_Dispatcher(base, max, onCreate, onDestroy, context) {
        CL_AutoLocker lock(this);
        fIdleLimit = idleLimit;
    }
    uint32 Workers() {
        CL_AutoLocker lock(this);
        return uint32(fWorkers.size());
    }
    uint32 Running() { return uint32(fRunningJobs.Get()); }
    std::vector<std::string> WorkerNames() {
        CL_AutoLocker lock(this);
        std::vector<std::string> names;
        for (Worker* w : fWorkers)
            names.push_back(CL_Thread::GetName(w->fID));
        return names;
    }
    std::string ControllerName() { return CL_Thread::GetName(fControllerID); }
};

class CountJob : public CL_Job {
public:
    explicit CountJob(std::atomic<int>* counter) : fCounter(counter) {}
    CL_Status Run() override {
        ++*fCounter;
        return 0;
    }

private:
    std::atomic<int>* fCounter;
};

template <class Pred>
bool Eventually(Pred pred, int ms = 3000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return pred();
}

struct Hooks {
    std::atomic<int> created{0};
    std::atomic<int> destroyed{0};
    std::mutex lock;
    std::set<CL_ThreadID> ids;
    static void OnCreate(CL_ThreadID id, void* context) {
        Hooks* h = static_cast<Hooks*>(context);
        EXPECT_EQ(id, CL_Thread::CurrentID());
        std::lock_guard<std::mutex> guard(h->lock);
        h->ids.insert(id);
        ++h->created;
    }
    static void OnDestroy(CL_ThreadID id, void* context) {
        Hooks* h = static_cast<Hooks*>(context);
        EXPECT_EQ(id, CL_Thread::CurrentID());
        std::lock_guard<std::mutex> guard(h->lock);
        EXPECT_EQ(h->ids.count(id), 1u);
        ++h->destroyed;
    }
};

TEST(Dispatcher, BaseWorkersAndThreadNames) {
    Hooks hooks;
    {
        TestDispatcher d(2, 4, Hooks::OnCreate, Hooks::OnDestroy, &hooks);
        EXPECT_EQ(d.Workers(), 2u);
        EXPECT_EQ(hooks.created, 2);
        auto names = d.WorkerNames();
        ASSERT_EQ(names.size(), 2u);
        EXPECT_EQ(names[0], "dispatc.orker 1");
        EXPECT_EQ(names[1], "dispatc.orker 2");
        // The controller names itself once it runs.
        EXPECT_TRUE(Eventually([&] { return d.ControllerName() == "dispatc.troller"; }));
    }
    // Every end hook has run on its own thread by the end of the destructor.
    EXPECT_EQ(hooks.destroyed, 2);
}

TEST(Dispatcher, GrowsOnlyWhileAllBusyAndJobsWait) {
    CL_Semaphore gate(0);
    Hooks hooks;
    TestDispatcher d(1, 3, Hooks::OnCreate, Hooks::OnDestroy, &hooks);
    GateJob jobs[4] = {GateJob(&gate), GateJob(&gate), GateJob(&gate), GateJob(&gate)};
    for (auto& job : jobs)
        d.AddJob(&job, false);
    ASSERT_TRUE(Eventually([&] { return d.Running() == 3; }));
    EXPECT_EQ(d.Workers(), 3u);
    // The fourth waits: the pool is at its maximum, and starts no thread meanwhile (one
    // started beyond the cap would retire again unseen by the pool's size).
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(d.Workers(), 3u);
    EXPECT_EQ(hooks.created, 3);
    EXPECT_FALSE(jobs[3].fStarted);
    gate.Release(1);
    ASSERT_TRUE(Eventually([&] { return jobs[3].fStarted.load(); }));
    gate.Release(3);
    EXPECT_TRUE(d.WaitForJobs(CL_WAIT_FOREVER));
    for (auto& job : jobs)
        EXPECT_TRUE(job.Dispatched());

    // Quick jobs on an idle pool need no more workers.
    std::atomic<int> count{0};
    CountJob quick[3] = {CountJob(&count), CountJob(&count), CountJob(&count)};
    for (auto& job : quick) {
        d.AddJob(&job, false);
        EXPECT_TRUE(d.WaitForJob(&job, CL_WAIT_FOREVER));
    }
    EXPECT_EQ(count, 3);
    EXPECT_EQ(d.Workers(), 3u);
}

TEST(Dispatcher, IdleWorkersRetireDownToTheBase) {
    Hooks hooks;
    CL_Semaphore gate(0);
    {
        TestDispatcher d(1, 4, Hooks::OnCreate, Hooks::OnDestroy, &hooks, 60);
        GateJob jobs[4] = {GateJob(&gate), GateJob(&gate), GateJob(&gate), GateJob(&gate)};
        for (auto& job : jobs)
            d.AddJob(&job, false);
        ASSERT_TRUE(Eventually([&] { return d.Running() == 4; }));
        EXPECT_EQ(d.Workers(), 4u);
        // Busy workers are not idle, however long their job takes.
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        EXPECT_EQ(d.Workers(), 4u);
        gate.Release(4);
        ASSERT_TRUE(Eventually([&] { return d.Workers() == 1; }));
        EXPECT_TRUE(Eventually([&] { return hooks.destroyed == 3; }));
        // Never below the base, however many scans pass.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(d.Workers(), 1u);
        EXPECT_EQ(hooks.destroyed, 3);

        // The remaining worker still serves, and the pool grows again on demand.
        std::atomic<int> count{0};
        CountJob job(&count);
        d.AddJob(&job, false);
        EXPECT_TRUE(d.WaitForJob(&job, CL_WAIT_FOREVER));
        EXPECT_EQ(count, 1);
    }
    EXPECT_EQ(hooks.destroyed, 4);
    EXPECT_EQ(hooks.created, 4);
}

// The end hook of a worker that retired on its own still runs when destruction
// begins: the destructor waits for it, and the worker touches nothing of the
// dispatcher after the hook (ASan would see it).
struct SlowEndHook {
    CL_Semaphore gate{0};
    std::atomic<int> entered{0};
    std::atomic<int> left{0};
    static void OnDestroy(CL_ThreadID, void* context) {
        SlowEndHook* h = static_cast<SlowEndHook*>(context);
        if (h->entered++ == 0) h->gate.Acquire(1);  // only the first, the retiring worker
        ++h->left;
    }
};

TEST(Dispatcher, DestructionWaitsForARetiringWorkersEndHook) {
    SlowEndHook hook;
    CL_Semaphore gate(0);
    auto d = std::make_unique<TestDispatcher>(1, 2, nullptr, SlowEndHook::OnDestroy, &hook, 30);
    GateJob jobs[2] = {GateJob(&gate), GateJob(&gate)};
    for (auto& job : jobs)
        d->AddJob(&job, false);
    ASSERT_TRUE(Eventually([&] { return d->Running() == 2; }));
    gate.Release(2);
    ASSERT_TRUE(Eventually([&] { return hook.entered == 1; }));
    EXPECT_EQ(d->Workers(), 1u);

    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        d.reset();
        destroyed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(destroyed);  // the retiring worker is still in its end hook
    hook.gate.Release(1);
    destroyer.join();
    EXPECT_EQ(hook.left, 2);
}

// Waits `ms` for the jobs of a dispatcher, its own or another's: fResult 1 when they
// were done, else 0.
class WaitJob : public CL_Job {
public:
    WaitJob(CL_Dispatcher* d, uint32 ms) : fDispatcher(d), fMs(ms) {}
    CL_Status Run() override {
        fStarted = true;
        fResult = fDispatcher->WaitForJobs(fMs) ? 1 : 0;
        return 0;
    }
    std::atomic<bool> fStarted{false};
    std::atomic<int> fResult{-1};

private:
    CL_Dispatcher* fDispatcher;
    uint32 fMs;
};

TEST(Dispatcher, WaitForJobAndJobs) {
    CL_Semaphore gate(0);
    TestDispatcher d(1, 1);
    GateJob job(&gate);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(d.WaitForJob(&job, 10));  // never queued
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(10));
    d.AddJob(&job, false);
    ASSERT_TRUE(Eventually([&] { return job.fStarted.load(); }));
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(d.WaitForJobs(50));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    // From a job of another dispatcher, the job that runs here is waited for all the
    // same: the waiting job is none of this dispatcher's.
    TestDispatcher other(1, 1);
    WaitJob foreign(&d, 50);
    other.AddJob(&foreign, false);
    EXPECT_TRUE(other.WaitForJob(&foreign, 10000));
    EXPECT_EQ(foreign.fResult, 0);
    gate.Release(1);
    EXPECT_TRUE(d.WaitForJob(&job, CL_WAIT_FOREVER));
    EXPECT_TRUE(d.WaitForJob(&job, 0));
    EXPECT_TRUE(d.WaitForJobs(CL_WAIT_FOREVER));
}

// A queued job that no worker can take is not done: the deadline says so.
TEST(Dispatcher, WaitForJobsCountsQueuedJobsAtTheDeadline) {
    std::atomic<int> count{0};
    CountJob* job = new CountJob(&count);
    {
        TestDispatcher d(0, 0);
        d.AddJob(job, true);
        EXPECT_FALSE(d.WaitForJobs(20));
    }
    // Dropped by the destructor: neither run nor deleted.
    EXPECT_EQ(count, 0);
    EXPECT_FALSE(job->Dispatched());
    delete job;
}

// Beside the running jobs, one waits for ever for the dispatcher's jobs (the second gate
// job took the worker its wait lends): the destruction ends that wait, false.
TEST(Dispatcher, DestructionDropsQueuedJobsAndFinishesRunningOnes) {
    CL_Semaphore gate(0);
    std::atomic<int> count{0};
    auto d = std::make_unique<TestDispatcher>(1, 2);
    GateJob running(&gate), second(&gate);
    WaitJob waiting(d.get(), CL_WAIT_FOREVER);
    CountJob queued[3] = {CountJob(&count), CountJob(&count), CountJob(&count)};
    d->AddJob(&running, false);
    ASSERT_TRUE(Eventually([&] { return running.fStarted.load(); }));
    d->AddJob(&waiting, false);
    ASSERT_TRUE(Eventually([&] { return waiting.fStarted.load(); }));
    d->AddJob(&second, false);
    ASSERT_TRUE(Eventually([&] { return second.fStarted.load(); }));
    for (auto& job : queued)
        d->AddJob(&job, false);
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        gate.Release(2);
    });
    d.reset();
    releaser.join();
    EXPECT_TRUE(running.Dispatched());
    EXPECT_EQ(waiting.fResult, 0);
    EXPECT_EQ(count, 0);
    for (auto& job : queued) {
        EXPECT_FALSE(job.Dispatched());
        EXPECT_TRUE(job.Dropped());
        EXPECT_FALSE(CL_Dispatcher::WaitForJob(&job, CL_WAIT_FOREVER));
    }
}

// A job that adds another while the dispatcher is being destroyed.
class LateAddJob : public CL_Job {
public:
    LateAddJob(CL_Dispatcher* d, CL_Semaphore* gate, CL_Job* late)
        : fDispatcher(d), fGate(gate), fLate(late) {}
    CL_Status Run() override {
        fStarted = true;
        fGate->Acquire(1);
        fDispatcher->AddJob(fLate, true);
        return 0;
    }
    std::atomic<bool> fStarted{false};

private:
    CL_Dispatcher* fDispatcher;
    CL_Semaphore* fGate;
    CL_Job* fLate;
};

TEST(Dispatcher, AddJobDuringDestructionIsIgnored) {
    CL_Semaphore gate(0);
    std::atomic<int> count{0};
    CountJob* late = new CountJob(&count);
    auto d = std::make_unique<TestDispatcher>(1, 1);
    LateAddJob job(d.get(), &gate, late);
    d->AddJob(&job, false);
    ASSERT_TRUE(Eventually([&] { return job.fStarted.load(); }));
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        gate.Release(1);
    });
    d.reset();
    releaser.join();
    EXPECT_EQ(count, 0);
    EXPECT_FALSE(late->Dispatched());
    EXPECT_FALSE(CL_Dispatcher::WaitForJob(late, CL_WAIT_FOREVER));
    delete late;  // still the caller's
}

// A job that destroys its own dispatcher, built in `storage`, and wipes the storage at
// once, as if its memory had gone to another use.
class DestroyingJob : public CL_Job {
public:
    DestroyingJob(CL_Dispatcher* d, unsigned char* storage) : fDispatcher(d), fStorage(storage) {}
    CL_Status Run() override {
        fDispatcher->~CL_Dispatcher();
        memset(fStorage, 0, sizeof(TestDispatcher));
        return 0;
    }

private:
    CL_Dispatcher* fDispatcher;
    unsigned char* fStorage;
};

// Destroyed from its own job, again and again: that job's worker ends by itself, its
// end hook run with the context given, touching nothing of the dispatcher, and its
// thread goes with its stack.
TEST(Dispatcher, DestroyedFromItsOwnJob) {
    // Mappings of 4 MiB, the stack of every thread the library starts.
    auto stacks = [] {
        std::ifstream maps("/proc/self/maps");
        int n = 0;
        for (std::string line; std::getline(maps, line);) {
            unsigned long from = 0, to = 0;
            if (sscanf(line.c_str(), "%lx-%lx", &from, &to) == 2 && to - from == 4u << 20) ++n;
        }
        return n;
    };
    Hooks hooks;
    alignas(TestDispatcher) unsigned char storage[sizeof(TestDispatcher)];
    const int before = stacks();
    for (int i = 1; i <= 24; ++i) {
        auto* d = new (storage) TestDispatcher(1, 1, Hooks::OnCreate, Hooks::OnDestroy, &hooks);
        d->AddJob(new DestroyingJob(d, storage), true);
        ASSERT_TRUE(Eventually([&] { return hooks.destroyed == i; })) << i;
        ASSERT_EQ(std::count(storage, storage + sizeof(storage), 0), long(sizeof(storage))) << i;
    }
    // Joined or detached threads leave their stacks for the next ones.
    EXPECT_LT(stacks() - before, 8);
}

// Records how a self-deleting job ended.
std::atomic<int> gDeletedAfterDispatch{0};
class SelfDeletingJob : public CL_Job {
public:
    ~SelfDeletingJob() override {
        if (Dispatched()) ++gDeletedAfterDispatch;
    }
};

TEST(Dispatcher, DeleteAfterDispatch) {
    TestDispatcher d(2, 8);
    for (int i = 0; i < 20; ++i)
        d.AddJob(new SelfDeletingJob, true);
    EXPECT_TRUE(d.WaitForJobs(CL_WAIT_FOREVER));
    EXPECT_EQ(gDeletedAfterDispatch, 20);
}

// Jobs that queue and wait for further jobs from inside Run: for all of them but the
// waiting job itself and any other that waits so at the same time, then for its own;
// or, scoped, only for its own, in a WaitScope.
class NestedJob : public CL_Job {
public:
    // `settle`: ms between queuing and the scoped wait.
    NestedJob(CL_Dispatcher* d, std::atomic<int>* counter, bool scoped = false, uint32 settle = 0)
        : fDispatcher(d), fInner(counter), fScoped(scoped), fSettle(settle) {}
    CL_Status Run() override {
        fDispatcher->AddJob(&fInner, false);
        if (fScoped) {
            if (fSettle) CL_Thread::Sleep(fSettle);
            const auto start = std::chrono::steady_clock::now();
            CL_Dispatcher::WaitScope lent;
            fOk = CL_Dispatcher::WaitForJob(&fInner, 10000);
            fLentFor = std::chrono::steady_clock::now() - start;
            return 0;
        }
        fOk = fDispatcher->WaitForJobs(10000) && fInner.Dispatched() &&
              fDispatcher->WaitForJob(&fInner, CL_WAIT_FOREVER);
        return 0;
    }
    bool fOk = false;
    std::chrono::steady_clock::duration fLentFor{};  // the scoped wait's

private:
    CL_Dispatcher* fDispatcher;
    CountJob fInner;
    bool fScoped;
    uint32 fSettle;
};

TEST(Dispatcher, JobsMayQueueAndWaitFromRun) {
    std::atomic<int> count{0};
    TestDispatcher d(1, 4);
    NestedJob outer(&d, &count);
    d.AddJob(&outer, false);
    EXPECT_TRUE(d.WaitForJob(&outer, 5000));
    EXPECT_TRUE(outer.fOk);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(d.Workers(), 2u);  // the waiting job kept the first worker busy

    // Two at once: neither returns while the other is queued or runs without waiting.
    // Then as many as the pool's maximum, and one more: each lends its worker while it
    // waits, so the jobs queued behind them get one; so do waits in a WaitScope (below 0).
    for (int n : {2, 4, 5, -4, -5}) {
        std::deque<NestedJob> jobs;
        for (int i = 0; i < std::abs(n); ++i)
            d.AddJob(&jobs.emplace_back(&d, &count, n < 0), false);
        for (NestedJob& job : jobs)
            EXPECT_TRUE(d.WaitForJob(&job, 15000) && job.fOk) << n;
    }
    // The workers added for them go once the waits are over.
    EXPECT_TRUE(Eventually([&] { return d.Workers() <= 4; }));

    // A job that waits beside one that still runs returns only once it has, though jobs
    // waited so before it.
    CL_Semaphore gate(0);
    GateJob running(&gate);
    NestedJob beside(&d, &count);
    d.AddJob(&running, false);
    d.AddJob(&beside, false);
    const int inner = count + 1;
    EXPECT_TRUE(Eventually([&] { return count == inner; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(beside.Dispatched());
    gate.Release(1);
    EXPECT_TRUE(d.WaitForJob(&beside, 15000) && beside.fOk);
}

// A worker lent on a pool at its cap, with a job queued behind it that the controller's
// pass for its AddJob (over within the 3 ms settle) left there: the controller hears of
// the loan at once, not at its next tick 100 ms later. The 25 scoped waits take about
// 30 ms together, and about 2.4 s when only the tick wakes the controller.
TEST(Dispatcher, ALentWorkerIsReplacedAtOnce) {
    std::atomic<int> count{0};
    TestDispatcher d(1, 1);
    std::chrono::steady_clock::duration lent{};
    for (int round = 0; round < 25; round++) {
        NestedJob job(&d, &count, true, 3);
        d.AddJob(&job, false);
        ASSERT_TRUE(d.WaitForJob(&job, 15000) && job.fOk) << round;
        lent += job.fLentFor;
    }
    EXPECT_LT(lent, std::chrono::milliseconds(300));
    EXPECT_EQ(count, 25);
}

}  // namespace
