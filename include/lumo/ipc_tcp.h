// The TCP ends of the RPC: the client that connects to a server and sends it
// requests, and (alongside) the server that answers them.
#pragma once

#include "lumo/tcp_client.h"
#include "lumo/tcp_server.h"
