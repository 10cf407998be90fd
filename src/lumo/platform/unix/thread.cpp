#include <errno.h>
#include <sched.h>
#include <stdint.h>
#include <time.h>

#include "lumo/thread.h"
#include "lumo/platform/unix/tls_internal.h"

namespace {

constexpr size_t kStackSize = 4194304;
constexpr size_t kNameLimit = 15;

// What a new thread needs to start; owned by the thread until its procedure returns.
struct LaunchRecord : public CL_Object {
    std::string fName;
    CL_Thread::Proc fProc;
    void* fParam;
    uint32 fPriority;
};

void* Launcher(void* arg) {
    LaunchRecord* record = static_cast<LaunchRecord*>(arg);
    CL_ThreadID self = CL_Thread::CurrentID();
    CL_Thread::SetName(self, record->fName);
    CL_Thread::SetPriority(self, record->fPriority);
    CL_ArmThreadExit();
    int32 result = record->fProc(record->fParam);
    delete record;
    return reinterpret_cast<void*>(intptr_t(result));
}

}  // namespace

CL_ThreadID CL_Thread::Spawn(const std::string& name, uint32 priority, uint32 qos, Proc proc,
                             void* param) {
    (void)qos;
    if (!proc) return 0;
    LaunchRecord* record = new LaunchRecord();
    if (!record) return 0;
    record->fName = name;
    record->fProc = proc;
    record->fParam = param;
    record->fPriority = priority;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kStackSize);
    pthread_t thread;
    int result = pthread_create(&thread, &attr, Launcher, record);
    pthread_attr_destroy(&attr);
    if (result != 0) {
        delete record;
        return 0;
    }
    return CL_ThreadID(thread);
}

int32 CL_Thread::Wait(CL_ThreadID id) {
    void* value = nullptr;
    if (pthread_join(pthread_t(id), &value) != 0) return 0;
    return int32(intptr_t(value));
}

void CL_Thread::Detach(CL_ThreadID id) {
    pthread_detach(pthread_t(id));
}

CL_ThreadID CL_Thread::CurrentID() {
    return CL_ThreadID(pthread_self());
}

std::string CL_Thread::GetName(CL_ThreadID id) {
    char buffer[256] = {0};
    if (pthread_getname_np(pthread_t(id), buffer, sizeof(buffer)) != 0) return std::string();
    return std::string(buffer);
}

void CL_Thread::SetName(CL_ThreadID id, const std::string& name) {
    // The system keeps at most 15 bytes: keep both ends, which tell threads apart.
    std::string shortName =
        name.size() <= kNameLimit ? name : name.substr(0, 7) + "." + name.substr(name.size() - 7);
    pthread_setname_np(pthread_t(id), shortName.c_str());
}

void CL_Thread::SetPriority(CL_ThreadID id, uint32 priority) {
    sched_param param = {};
    param.sched_priority = 0;
    pthread_setschedparam(pthread_t(id), priority == 0 ? SCHED_BATCH : SCHED_OTHER, &param);
}

void CL_Thread::Sleep(uint32 ms) {
    if (ms == 0) {
        CL_SpinLock::Pause();
        return;
    }
    timespec wait;
    wait.tv_sec = time_t(ms / 1000);
    wait.tv_nsec = long(ms % 1000) * 1000000L;
    timespec left;
    while (nanosleep(&wait, &left) != 0 && errno == EINTR)
        wait = left;
}
