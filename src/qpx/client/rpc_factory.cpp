// The RPC client every QPX_Client speaks through: the TCP one.
#include "qpx/client/rpc_factory.h"

#include "lumo/tcp_client.h"

CL_Client* QPX_NewRPCClient(CL_Dispatcher* dispatcher) {
    return new CL_TCPClient(dispatcher);
}

CL_Dispatcher* QPX_RPCDispatcher(CL_Client* rpc) {
    CL_TCPClient* tcp = dynamic_cast<CL_TCPClient*>(rpc);
    return tcp ? tcp->GetDispatcher() : nullptr;
}
