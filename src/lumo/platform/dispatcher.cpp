// Dispatcher: a controller thread that grows and shrinks the worker pool and wakes
// the workers, and workers that take one job per wake-up.
#include "lumo/dispatcher.h"

#include <algorithm>
#include <string>

#include "lumo/platform/monotonic_clock.h"

namespace {

constexpr uint32 kControllerWait = 100;
constexpr uint32 kDefaultIdleLimit = 300000;
// Idle time after which a worker above the cap retires (the idle limit, if shorter), so
// that the pool is back to its cap about 0.35 s after the waits end. Not at once: lent
// workers come and go, a progress job lending its worker between its reports ten times
// a second, and each wait that ends would retire a thread that the next starts again.
constexpr uint32 kAboveCapLimit = 300;

// Idle times are 32-bit milliseconds compared as unsigned differences (right across
// the wrap); waits measure in microseconds so that a wait of n ms never ends early by
// rounding.
uint32 NowMs() {
    return uint32(lumo_clock::MonotonicMillis());
}

using lumo_clock::MonotonicMicros;

bool Expired(uint64 start, uint32 ms) {
    return ms != CL_WAIT_FOREVER && MonotonicMicros() - start >= uint64(ms) * 1000;
}

}  // namespace

CL_Dispatcher::CL_Dispatcher(uint32 base, uint32 max, OnCreateProc onCreate,
                             OnDestroyProc onDestroy, void* context)
    : fControllerID(0),
      fRunningJobs(0),
      fQuit(false),
      fWaitingJobs(0),
      fLentWorkers(0),
      fBaseThreads(base),
      fMaxThreads(max),
      fOnCreateProc(onCreate),
      fOnDestroyProc(onDestroy),
      fContext(context),
      fIdleLimit(kDefaultIdleLimit),
      fRetiring(0) {
    for (uint32 i = 0; i < base; ++i)
        AddWorker();
    fControllerID = CL_Thread::Spawn("dispatch controller", 1, 1, ControllerProc, this);
}

CL_Dispatcher::~CL_Dispatcher() {
    const CL_ThreadID self = CL_Thread::CurrentID();
    fLock.Lock();
    fQuit = true;
    fAddedJobCond.Signal();
    for (Worker* w : fWorkers)
        w->fQuit = true;
    fDispatchCond.Broadcast();
    // No worker takes a job from here on. The queue keeps them, so that waits see them
    // undone, but the jobs are their owners' again once marked, and are not touched.
    for (CL_Job* job : fJobs)
        job->fDropped.store(true, std::memory_order_release);
    fLock.Unlock();

    if (fControllerID) CL_Thread::Wait(fControllerID);

    fLock.Lock();
    while (!fWorkers.empty()) {
        Worker* w = fWorkers.back();
        fWorkers.pop_back();
        fLock.Unlock();
        if (w->fID == self) {
            // Deleted from a job of this very worker, which cannot join itself: it ends
            // on its own once the job has returned, touching nothing of the dispatcher.
            CL_Thread::Detach(self);
            w->fDispatcher = nullptr;
        } else {
            // A worker inside a job finishes it first.
            CL_Thread::Wait(w->fID);
            delete w;
        }
        fLock.Lock();
    }
    fLock.Unlock();

    // Workers that retired on their own are detached; their end hooks must be over
    // before the hooks' owner may assume every worker has left.
    while (fRetiring.load(std::memory_order_acquire) > 0)
        CL_Thread::Sleep(1);
    // Queued jobs are dropped: neither run nor deleted.
}

void CL_Dispatcher::AddJob(CL_Job* job, bool deleteAfterDispatch) {
    if (!job) return;
    CL_AutoLocker lock(fLock);
    if (fQuit) {
        job->fDropped.store(true, std::memory_order_release);
        return;
    }
    job->fDelete = deleteAfterDispatch;
    job->fDropped.store(false, std::memory_order_relaxed);
    fJobs.push_back(job);
    fAddedJobCond.Signal();
}

bool CL_Dispatcher::WaitForJob(CL_Job* job, uint32 ms) {
    uint64 start = MonotonicMicros();
    while (!job->Dispatched()) {
        if (job->Dropped() || Expired(start, ms)) return job->Dispatched();
        CL_Thread::Sleep(1);
    }
    return true;
}

bool CL_Dispatcher::WaitForJobs(uint32 ms, const std::atomic<bool>* abandon) {
    uint64 start = MonotonicMicros();
    // A job's worker is lent while it waits, so queued jobs never wait for the waits.
    WaitScope lent;
    fLock.Lock();
    // A job that waits here waits neither for itself nor for another job that waits
    // here too (two would wait for each other); any other caller waits for both.
    const bool fromJob = IsBusyWorker();
    if (fromJob) fWaitingJobs++;
    bool idle;
    for (;;) {
        // At the deadline too, queued jobs count: they have not been done.
        idle = fRunningJobs.Get() <= int32(fromJob ? fWaitingJobs : 0) && fJobs.empty();
        if (idle || fQuit || (abandon && abandon->load()) || Expired(start, ms)) break;
        fLock.Unlock();
        CL_Thread::Sleep(1);
        fLock.Lock();
    }
    if (fromJob) fWaitingJobs--;
    fLock.Unlock();
    return idle;
}

thread_local CL_Dispatcher::Worker* CL_Dispatcher::sCurrentWorker = nullptr;

CL_Dispatcher::WaitScope::WaitScope() : fDispatcher(nullptr) {
    // Only this thread clears its worker's dispatcher (when a job deletes it).
    Worker* w = sCurrentWorker;
    CL_Dispatcher* d = w ? w->fDispatcher : nullptr;
    if (!d) return;
    CL_AutoLocker lock(d->fLock);
    if (!w->fBusy) return;
    d->fLentWorkers++;
    if (!d->fJobs.empty()) d->fAddedJobCond.Signal();
    fDispatcher = d;
}

CL_Dispatcher::WaitScope::~WaitScope() {
    if (!fDispatcher) return;
    CL_AutoLocker lock(fDispatcher->fLock);
    fDispatcher->fLentWorkers--;
}

bool CL_Dispatcher::AddWorker() {
    fLock.Lock();
    if (fQuit) {
        fLock.Unlock();
        return false;
    }
    Worker* w = new Worker;
    if (!w) {
        fLock.Unlock();
        return false;
    }
    w->fDispatcher = this;
    w->fActivityTime = NowMs();
    std::string name = "dispatch worker " + std::to_string(fWorkers.size() + 1);
    w->fID = CL_Thread::Spawn(name, 1, 1, WorkerProc, w);
    if (w->fID) fWorkers.push_back(w);
    fLock.Unlock();
    if (!w->fID) {
        delete w;
        return false;
    }
    while (!w->fReady.load(std::memory_order_acquire))
        CL_Thread::Sleep(1);
    return true;
}

bool CL_Dispatcher::IsBusyWorker() const {
    return sCurrentWorker && sCurrentWorker->fDispatcher == this && sCurrentWorker->fBusy;
}

uint32 CL_Dispatcher::Cap() const {
    return std::max(fMaxThreads, fBaseThreads) + fLentWorkers;
}

uint32 CL_Dispatcher::ActiveWorkers() const {
    uint32 n = 0;
    for (const Worker* w : fWorkers)
        if (!w->fQuit) ++n;
    return n;
}

int32 CL_Dispatcher::ControllerProc(void* param) {
    static_cast<CL_Dispatcher*>(param)->Control();
    return 0;
}

void CL_Dispatcher::Control() {
    fLock.Lock();
    for (;;) {
        fAddedJobCond.Wait(&fLock, kControllerWait);
        if (fQuit) break;
        for (;;) {
            // Workers already told to quit no longer count, so the pool never
            // shrinks below its base and growth sees the real pool.
            uint32 n = ActiveWorkers();
            bool wake = false;
            if (!fJobs.empty()) {
                bool grow = uint32(std::max(fRunningJobs.Get(), 0)) >= n && n < Cap();
                fLock.Unlock();
                if (grow) AddWorker();
                fLock.Lock();
                n = ActiveWorkers();
                if (n > 0) wake = true;
            } else if (n == 0) {
                break;
            }
            // Idle workers retire after the idle limit, and sooner while the pool is
            // larger than its cap: those added for waits that have ended. Meanwhile they
            // take no job beyond the cap (TakeJob).
            const uint32 cap = Cap();
            const uint32 aboveCapLimit = std::min(kAboveCapLimit, fIdleLimit);
            uint32 now = NowMs();
            for (Worker* w : fWorkers) {
                if (n <= fBaseThreads) break;
                if (w->fQuit || w->fBusy) continue;
                const uint32 idle = now - w->fActivityTime;
                if (idle <= (n <= cap ? fIdleLimit : aboveCapLimit)) continue;
                w->fQuit = true;
                --n;
                wake = true;
            }
            if (!wake) break;
            fDispatchCond.Broadcast();
            fAddedJobCond.Wait(&fLock, kControllerWait);
            if (fQuit) {
                fLock.Unlock();
                return;
            }
        }
    }
    fLock.Unlock();
}

CL_Job* CL_Dispatcher::TakeJob(Worker* w) {
    // Workers kept above the cap after the waits they were added for have ended leave
    // the jobs that do not wait on the maximum.
    if (fJobs.empty() || uint32(std::max(fRunningJobs.Get(), 0)) >= Cap()) return nullptr;
    CL_Job* job = fJobs.front();
    fJobs.pop_front();
    ++fRunningJobs;
    w->fBusy = true;
    w->fActivityTime = NowMs();
    return job;
}

bool CL_Dispatcher::RunJob(Worker* w, CL_Job* job) {
    // The job may be gone once fDispatched is set (its owner deletes it).
    bool remove = job->fDelete;
    job->Run();
    job->fDispatched.store(true, std::memory_order_release);
    if (remove) delete job;
    return w->fDispatcher != nullptr;
}

void CL_Dispatcher::EndJob(Worker* w) {
    --fRunningJobs;
    w->fBusy = false;
    // Idle time counts from the end of the last job.
    w->fActivityTime = NowMs();
    // A worker free while jobs wait: have the controller wake the pool now rather than
    // at its next 100 ms tick, so a long queue drains at speed.
    if (!fJobs.empty()) fAddedJobCond.Signal();
}

int32 CL_Dispatcher::WorkerProc(void* param) {
    Worker* w = static_cast<Worker*>(param);
    CL_Dispatcher* d = w->fDispatcher;
    const CL_ThreadID self = CL_Thread::CurrentID();
    sCurrentWorker = w;
    // The hooks never change. Copied for the end: once a retiring worker lets go of the
    // lock, or a job has deleted the dispatcher, it may be gone.
    OnDestroyProc onDestroy = d->fOnDestroyProc;
    void* context = d->fContext;
    if (d->fOnCreateProc) d->fOnCreateProc(self, context);

    d->fLock.Lock();
    w->fReady.store(true, std::memory_order_release);
    for (;;) {
        if (w->fQuit) break;
        d->fDispatchCond.Wait(&d->fLock, CL_WAIT_FOREVER);
        if (w->fQuit) break;
        CL_Job* job = d->TakeJob(w);
        d->fLock.Unlock();
        if (job && !RunJob(w, job)) {
            // The job deleted the dispatcher, which left this worker to end itself.
            sCurrentWorker = nullptr;
            delete w;
            if (onDestroy) onDestroy(self, context);
            return 0;
        }
        d->fLock.Lock();
        if (job) d->EndJob(w);
    }

    sCurrentWorker = nullptr;
    bool retiring = !d->fQuit;
    if (retiring) {
        CL_Thread::Detach(self);
        d->fWorkers.erase(std::find(d->fWorkers.begin(), d->fWorkers.end(), w));
        delete w;
        d->fRetiring.fetch_add(1, std::memory_order_relaxed);
    }
    std::atomic<int32>* retiringCount = &d->fRetiring;
    d->fLock.Unlock();

    if (onDestroy) onDestroy(self, context);
    // The last touch of the dispatcher: its destructor waits for this count.
    if (retiring) retiringCount->fetch_sub(1, std::memory_order_release);
    return 0;
}
