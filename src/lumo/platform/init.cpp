// Start-up and exit handling of the base library.

#include "lumo/init.h"

#include <malloc.h>
#include <signal.h>
#include <stdlib.h>

#include <atomic>

#include "lumo/clock.h"
#include "lumo/decimal.h"
#include "lumo/entry.h"
#include "lumo/power.h"
#include "lumo/regex.h"
#include "lumo/thread.h"

namespace {

std::atomic<int32> sCLInited{0};
struct sigaction sPipeSignal;

// Runs at process exit, after the handlers registered later and before those
// registered earlier. Threads of the library may still run here, so nothing they
// share is destroyed: only connections and engines are released.
void Dispose() {
    sigaction(SIGPIPE, &sPipeSignal, nullptr);
    CL_Decimal::Cleanup();
    CL_RegEx::Cleanup();
    _QuitPowerThread();
    _CL_CloseInhibitConnection();
}

}  // namespace

CL_Status CL_Init() {
    int32 expected = 0;
    if (!sCLInited.compare_exchange_strong(expected, 1)) return CL_OK;

    mallopt(M_ARENA_MAX, 8);

    struct sigaction ignore;
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ignore.sa_flags = 0;
    sigaction(SIGPIPE, &ignore, &sPipeSignal);

    CL_StartClock();

    CLU_Entry::SetFlattenedVersion(0);
    CL_Thread::Initialize();
    CL_Thread::GetLocalStorageEntry();

    CL_Decimal::Init();
    CL_RegEx::Init();

    atexit(Dispose);
    return CL_OK;
}
