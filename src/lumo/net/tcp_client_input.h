// What the TCP RPC client keeps of its input: chunks read for requests that have not
// yet taken them, and the requests that wait for their replies. Both live in the
// client's queue and table, which its fLock guards.
#pragma once

#include "lumo/tcp_client.h"

// A chunk read from the socket and not yet taken by the request it belongs to.
class CL_TCPClient::QueuedPacket : public CL_Object {
public:
    CL_PacketHeader fHeader;
    CL_Blob fData;
};

// A request waiting for its reply. Each has a condition of its own, so that a chunk
// read for it wakes it alone.
struct CL_TCPClient::Waiter : public CL_Object {
    uint32 fSequence = 0;
    // Not CL_OK: the wait was ended from outside (Interrupt, a new Connect) with it.
    CL_Status fEnd = CL_OK;
    bool fSleeping = false;  // waiting on fCond for its packets or the reading turn
    CL_Condition fCond;
};
