// Areas of the module not built yet: each registers nothing until its sources land
// (and its definition here is deleted).
#include "module.h"

// JSONEncoder and JSONDecoder (json_encoder.cpp, json_decoder.cpp).
int ZL_AddJSONTypes(PyObject*) {
    return 0;
}

// NamedSemaphore (semaphore.cpp).
int ZL_AddSemaphoreType(PyObject*) {
    return 0;
}

// Module utility functions (utility.cpp).
int ZL_AddUtilityFunctions(PyObject*) {
    return 0;
}
