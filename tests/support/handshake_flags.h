// The connection flags a handshake can grant: each cipher alone, and every combination
// of compression with one cipher or none. Parameterised tests run over these lists;
// the order is fixed, as test names carry the index.
#pragma once

#include "lumo/base_types.h"
#include "lumo/ipc.h"

// No cipher, TEA, Blowfish, AES.
inline constexpr uint16 kCipherFlags[4] = {CL_IPC_NO_CRYPTING, CL_IPC_TEA_CRYPTING,
                                           CL_IPC_BLOWFISH_CRYPTING, CL_IPC_AES_CRYPTING};

// The eight handshakes: plain, compressed, each cipher, each cipher compressed.
inline constexpr uint16 kHandshakeFlags[8] = {
    0,
    CL_IPC_COMPRESS,
    CL_IPC_TEA_CRYPTING,
    CL_IPC_BLOWFISH_CRYPTING,
    CL_IPC_AES_CRYPTING,
    CL_IPC_COMPRESS | CL_IPC_TEA_CRYPTING,
    CL_IPC_COMPRESS | CL_IPC_BLOWFISH_CRYPTING,
    CL_IPC_COMPRESS | CL_IPC_AES_CRYPTING,
};
