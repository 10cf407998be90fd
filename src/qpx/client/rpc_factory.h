// Where a QPX_Client gets its RPC client from, and the dispatcher that client runs its
// asynchronous jobs on.
#pragma once

#include "lumo/ipc.h"

class CL_Dispatcher;

// A new TCP RPC client whose jobs run on `dispatcher`; the caller owns it.
CL_Client* QPX_NewRPCClient(CL_Dispatcher* dispatcher);
// The dispatcher `rpc` runs its asynchronous jobs on (the one it was given, else its
// own) when the library can see it, as of a TCP client; null for any other kind.
CL_Dispatcher* QPX_RPCDispatcher(CL_Client* rpc);
