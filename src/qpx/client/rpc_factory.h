// Where a QPX_Client gets its RPC client from.
#pragma once

#include "lumo/ipc.h"

class CL_Dispatcher;

// A new TCP RPC client whose jobs run on `dispatcher`; the caller owns it.
CL_Client* QPX_NewRPCClient(CL_Dispatcher* dispatcher);
