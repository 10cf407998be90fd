// What the tests of the RPC client (CL_TCPClient) hand it: the settings table for a
// server on 127.0.0.1, and request bytes made from text.
#pragma once

#include <string>

#include "lumo/blob.h"
#include "lumo/init.h"
#include "lumo/table.h"

// The connection settings for 127.0.0.1:`port`, asking for `connFlags`; "user" only when
// given. Starts the library, which the client needs.
inline CLU_Table ClientSettings(uint16 port, uint32 connFlags = 0, uint32 timeout = 3000,
                                const std::string& user = std::string()) {
    CL_Init();
    CLU_Table settings;
    settings.Set("host", std::string("127.0.0.1"));
    settings.Set("port", (long long)port);
    settings.Set("timeout", (long long)timeout);
    settings.Set("conn_flags", (long long)connFlags);
    if (!user.empty()) settings.Set("user", user);
    return settings;
}

// `text`'s bytes as a blob of their own.
inline CL_Blob Bytes(const std::string& text) {
    return CL_Blob(text.data(), uint32(text.size()), true);
}
