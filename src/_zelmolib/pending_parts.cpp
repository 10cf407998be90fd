// Areas of the module not built yet: each registers nothing until its sources land
// (and its definition here is deleted).
#include "module.h"

// Client type (client.cpp).
int ZL_AddClientType(PyObject*) {
    return 0;
}

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

// Native clients (client.cpp): none until the client library is linked in.
QPX_Client* ZL_NewNativeClient(CL_Dispatcher*) {
    return nullptr;
}

// Native clients (client.cpp).
void ZL_DisconnectNativeClient(QPX_Client*) {}
