// What module start-up and clean-up take from each area of the module: the
// registration of its types and functions, and the timers' and power event's hooks.
#pragma once

#include "boundary.h"
#include "lumo/base_types.h"

struct MODULE_STATE;

// Readies a static type and adds it to the module under its name (tp_name after the
// module's "_zelmolib."); 0, or -1 with an exception set.
int ZL_AddType(PyObject* module, PyTypeObject* type);

// Registration of each area, called by module start-up in this order: types, then
// functions. Each returns 0, or -1 with an exception set.
int ZL_AddDecimalType(PyObject* module);
int ZL_AddClientType(PyObject* module);
int ZL_AddDeferredType(PyObject* module);
int ZL_AddJSONTypes(PyObject* module);
int ZL_AddSemaphoreType(PyObject* module);

// Python functions of the timers and utility areas; module start-up lists them, with
// its own, in the order of the module's method table.
extern PyMethodDef ZL_TimerMethods[];
extern PyMethodDef* const ZL_UtilityMethods;

namespace QPX {

// Sets fAborted on every listed timer Deferred and wakes its job, so that none calls
// back or waits out its delay. Interpreter lock held.
void AbortTimers(MODULE_STATE* state);
// Power event callback of the module (1 suspend, 2 resume), on the listener thread.
int32 _power_callback(int32 event, void* param);

}  // namespace QPX
