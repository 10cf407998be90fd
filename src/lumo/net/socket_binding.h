// What the library's own server sets on its sockets beyond the public operations.
#pragma once

#include "lumo/socket.h"

struct CL_SocketBinding {
    // Whether `socket` keeps a loopback address (127.0.0.0/8, ::1) it is given to bind,
    // serving this machine alone, also when it opens again after an error; without it
    // every socket binds the wildcard address with the port it was given.
    static void KeepLoopback(CL_Socket& socket, bool keep);
};
