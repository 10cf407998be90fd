#include "qpx/client/rpc_factory.h"

#if __has_include("lumo/tcp_client.h")
#include "lumo/tcp_client.h"

CL_Client* QPX_NewRPCClient(CL_Dispatcher* dispatcher) {
    return new CL_TCPClient(dispatcher);
}
#else
// Until the TCP client is part of the tree every operation reports the base
// client's failure.
CL_Client* QPX_NewRPCClient(CL_Dispatcher*) {
    return new CL_Client(5000, 0);
}
#endif
