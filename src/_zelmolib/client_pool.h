// The module's pool of native clients: the Client type takes one from it and gives it
// back; the module makes, disconnects and keeps every one it ever made.
#pragma once

class CL_Dispatcher;
class QPX_Client;

// Native clients of the pool, reached only through these (the Client type's sources
// define them): a new native client on the module's dispatcher, its disconnection.
QPX_Client* ZL_NewNativeClient(CL_Dispatcher* dispatcher);
void ZL_DisconnectNativeClient(QPX_Client* client);

namespace QPX {

// Native client pool. trackClient stores a pooled or new native client in *slot and
// tells whether the module is active (the slot is left alone when it is not);
// untrackClient disconnects the client and returns it to the pool.
bool trackClient(QPX_Client** slot);
void untrackClient(QPX_Client* client);

}  // namespace QPX
