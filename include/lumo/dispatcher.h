// Job dispatcher: runs CL_Job objects on a pool of worker threads that grows while
// every worker is busy and jobs wait, and shrinks back to its base count when
// workers stay idle. A controller thread watches the queue and wakes the workers.
#pragma once

#include <atomic>
#include <deque>
#include <vector>

#include "lumo/allocator.h"
#include "lumo/thread.h"
#include "lumo/base_types.h"

class CL_Dispatcher;

// A unit of work. Run is called on a worker thread without any dispatcher lock held;
// Dispatched() turns true once Run has returned and may be asked from any thread.
// Dropped() turns true when the job will never run: it was queued as its dispatcher's
// destruction began, or AddJob refused it after that (a later AddJob clears it).
class CL_Job : public CL_Object {
public:
    CL_Job() : fDelete(false), fDispatched(false), fDropped(false) {}
    virtual ~CL_Job() {}
    // The result is not looked at: jobs report through their own state.
    virtual CL_Status Run() { return CL_OK; }

    bool Dispatched() const { return fDispatched.load(std::memory_order_acquire); }
    bool Dropped() const { return fDropped.load(std::memory_order_acquire); }

protected:
    friend class CL_Dispatcher;

    bool fDelete;  // written before the job is queued, read by the worker
    std::atomic<bool> fDispatched;
    std::atomic<bool> fDropped;
};

// Worker pool with a FIFO job queue. Each worker takes at most one job per wake-up, and
// only while fewer jobs run than the cap (Cap) allows; the controller wakes them at once
// after AddJob and every 100 ms while jobs wait.
// Every member may be called from any thread, a job's Run included; fLock guards the
// queue, the pool and each worker's state.
class CL_Dispatcher : public CL_Lockable {
public:
    // Run on each worker thread as it starts and as it ends, without the lock.
    typedef void (*OnCreateProc)(CL_ThreadID id, void* context);
    typedef void (*OnDestroyProc)(CL_ThreadID id, void* context);

    CL_Dispatcher(uint32 base, uint32 max, OnCreateProc onCreate = nullptr,
                  OnDestroyProc onDestroy = nullptr, void* context = nullptr);
    // Finishes the running jobs and ends every thread; queued jobs are dropped,
    // neither run nor deleted, and the waits for them end (false). Called from a job's
    // Run, it joins the other threads and leaves that job's worker to end by itself once
    // Run has returned (and the job is deleted, when it was queued so): the worker
    // touches nothing of the dispatcher then, and its end hook runs after the destructor.
    ~CL_Dispatcher() override;
    CL_Dispatcher(const CL_Dispatcher&) = delete;
    CL_Dispatcher& operator=(const CL_Dispatcher&) = delete;

    // Queues the job; with `deleteAfterDispatch` the worker deletes it after Run.
    // Otherwise the caller keeps ownership and keeps the job alive until it has run.
    // Refused once destruction has begun: the caller keeps the job, marked Dropped.
    void AddJob(CL_Job* job, bool deleteAfterDispatch);
    // True once the job has run; false when `ms` passed first (0xFFFFFFFF: for
    // ever) or once it is Dropped. Not for jobs queued with deleteAfterDispatch. Reads
    // only the job, so it may wait for one whose dispatcher is gone.
    static bool WaitForJob(CL_Job* job, uint32 ms);
    // True once no job runs and none is queued; false when `ms` passed first, when
    // *abandon (if given) turns true, or once destruction has begun (the queued jobs
    // never run, and a job that destroys the dispatcher waits for this one's worker).
    // Called from a job's Run, it lends that job's worker (WaitScope); on one of this
    // dispatcher's workers, it counts neither that job nor the jobs that wait here at
    // the same time.
    bool WaitForJobs(uint32 ms, const std::atomic<bool>* abandon = nullptr);

    // Held by a job's Run around a wait for other jobs (WaitForJobs holds one; a wait on
    // a condition they signal may): its worker is lent meanwhile, the pool growing past
    // its maximum by one worker for each such wait and shrinking back once they have
    // been over for 300 ms (waits that come and go keep their workers). It ends before
    // the job may delete its dispatcher. Does nothing on a thread that is not a worker
    // inside a job.
    class WaitScope {
    public:
        WaitScope();
        ~WaitScope();
        WaitScope(const WaitScope&) = delete;
        WaitScope& operator=(const WaitScope&) = delete;

    private:
        CL_Dispatcher* fDispatcher;
    };

    CL_Status Lock() override CL_ACQUIRE() CL_NO_THREAD_SAFETY_ANALYSIS { return fLock.Lock(); }
    void Unlock() override CL_RELEASE() CL_NO_THREAD_SAFETY_ANALYSIS { fLock.Unlock(); }

    // Starts one more worker and waits until it is ready; false when quitting or
    // when the thread cannot be started.
    bool AddWorker();

protected:
    struct Worker : public CL_Object {
        CL_ThreadID fID = 0;
        // The pool it works for; null once a job of this worker deleted the pool.
        CL_Dispatcher* fDispatcher = nullptr;
        std::atomic<bool> fReady{false};
        bool fQuit = false;        // under fLock
        bool fBusy = false;        // under fLock
        uint32 fActivityTime = 0;  // under fLock
    };

    static int32 WorkerProc(void* param);
    // A worker's turn: the front job, if any, taken under fLock; run without it, false
    // when the job deleted the dispatcher; its end counted under fLock.
    CL_Job* TakeJob(Worker* w);
    static bool RunJob(Worker* w, CL_Job* job);
    void EndJob(Worker* w);
    static int32 ControllerProc(void* param);
    void Control();
    // Workers not yet told to quit; under fLock.
    uint32 ActiveWorkers() const;
    // The most jobs that may run now, and the most workers the pool keeps for long: its
    // maximum (its base, if larger) and one more for each job inside a WaitScope; under
    // fLock.
    uint32 Cap() const;
    // Whether this thread is one of the pool's workers, inside a job; under fLock.
    bool IsBusyWorker() const;

    // The worker whose thread this is, until it leaves its loop; null on other threads.
    static thread_local Worker* sCurrentWorker;

    CL_ThreadID fControllerID;
    std::vector<Worker*> fWorkers;  // owned; under fLock
    std::deque<CL_Job*> fJobs;      // under fLock
    CL_Mutex fLock;
    CL_Condition fDispatchCond;
    CL_Condition fAddedJobCond;
    CL_AtomicVar fRunningJobs;
    std::atomic<bool> fQuit;
    uint32 fWaitingJobs;  // jobs inside WaitForJobs; under fLock
    uint32 fLentWorkers;  // jobs inside a WaitScope, WaitForJobs' too; under fLock
    uint32 fBaseThreads;
    uint32 fMaxThreads;
    OnCreateProc fOnCreateProc;
    OnDestroyProc fOnDestroyProc;
    void* fContext;  // the caller's, passed to the hooks
    // Idle time after which a worker above the base count retires; lowered by tests.
    uint32 fIdleLimit;
    // Retiring workers that have left the pool but not yet finished their end hook.
    std::atomic<int32> fRetiring;
};
