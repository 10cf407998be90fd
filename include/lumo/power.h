// Power events and sleep inhibition: suspend and resume signals of the system bus
// reach registered callbacks on the "Power listener" thread, and nested requests keep
// the desktop session from putting the machine to sleep while work is in progress.
#pragma once

#include "lumo/base_types.h"

enum CL_PowerEvent : int32 {
    CL_POWER_EVENT_SUSPEND = 1,  // the system is about to sleep
    CL_POWER_EVENT_RESUME = 2,   // the system has resumed
};

// Power event callback: CL_POWER_EVENT_SUSPEND or CL_POWER_EVENT_RESUME. Runs on the listener thread with the callback table locked, so it must
// not register or remove power callbacks.
typedef int32 (*CL_PowerCallback)(int32 event, void* param);

// One registration; the table of them is guarded by the library's own locks, so the
// functions below are safe from any thread (CL_InhibitSleep excepted).
struct CL_PowerCallbackRecord {
    CL_PowerCallback fCallback;
    void* fParam;
};

constexpr int32 CL_MAX_POWER_CALLBACKS = 16;

// CL_OK, or CL_ERROR when the table is full or the listener could not be started.
CL_Status CL_AddPowerCallback(CL_PowerCallback callback, void* param);
// Removes the first record with this callback; CL_ERROR when there is none. Removing the
// last record stops the listener before returning.
CL_Status CL_RemovePowerCallback(CL_PowerCallback callback);
// Removes the record with this callback and this parameter, so that one of several
// objects sharing a callback takes away only its own registration.
CL_Status CL_RemovePowerCallback(CL_PowerCallback callback, void* param);
// Copies the records in registration order; `callbacks` has room for 16.
void CL_GetPowerCallbacks(CL_PowerCallbackRecord* callbacks, int32* count);
// Calls every record with `event`; the last non-zero result, else 0.
int32 _CL_InvokePowerCallbacks(int32 event);
// Stops the listener and waits for it.
void _QuitPowerThread();

// Nested sleep inhibition: the first `true` asks the session to inhibit sleep, the
// matching last `false` releases it. Failures are silent. Not for concurrent callers.
void CL_InhibitSleep(bool inhibit);
// Closes the session-bus connection of the inhibition (at library exit).
void _CL_CloseInhibitConnection();
