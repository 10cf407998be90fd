// The abstract RPC server: its construction values, the base behaviour of each
// operation, the callback table and the log, which formats only lines that pass the
// log level.
#include <cstdarg>
#include <cstring>

#include "lumo/ipc.h"
#include "lumo/table.h"
#include "lumo/utf8.h"
#include "lumo/uuid.h"

CL_Server::CL_Server()
    : fLogLevel(CL_LOG_LEVEL_INFO), fCallbackUserData(nullptr), fFlags(0), fData(nullptr) {
    memset(&fCallback, 0, sizeof(fCallback));
}

CL_Server::~CL_Server() {}

void CL_Server::Setup(CLU_Table&) {}

void CL_Server::GetUUID(CLU_UUID& uuid) {
    uuid = CLU_UUID(0);
}

void CL_Server::GetInfo(CLU_Table& info) {
    info.Clear();
    info.Set("loglevel", (long long)GetLogLevel());
}

CL_Status CL_Server::Start() {
    return CL_ERROR;
}

void CL_Server::Stop() {}

void CL_Server::Lock() {}

void CL_Server::Unlock() {}

void CL_Server::GetClientsList(CL_LinkedList<uint32>* ids) {
    if (ids) ids->Clear();
}

CL_Status CL_Server::GetClientInfo(uint32, CLU_Table&) {
    return CL_ERROR;
}

CL_Status CL_Server::CloseClient(uint32) {
    return CL_ERROR;
}

void CL_Server::SetCallbacks(CL_ServerCallbacks* callbacks, void* userData) {
    CL_AutoLocker lock(fCallbackLock);
    if (callbacks)
        fCallback = *callbacks;
    else
        memset(&fCallback, 0, sizeof(fCallback));
    fCallbackUserData = userData;
}

CL_ServerCallbacks CL_Server::GetCallbacks() const {
    CL_AutoLocker lock(fCallbackLock);
    return fCallback;
}

void* CL_Server::GetCallbackUserData() const {
    CL_AutoLocker lock(fCallbackLock);
    return fCallbackUserData;
}

uint32 CL_Server::GetLogLevel() const {
    CL_AutoLocker lock(fCallbackLock);
    return fLogLevel;
}

void CL_Server::SetLogLevel(uint32 level) {
    CL_AutoLocker lock(fCallbackLock);
    fLogLevel = level;
}

void CL_Server::Log(uint32 level, const char* format, ...) {
    CL_LogCB log;
    void* userData;
    {
        CL_AutoLocker lock(fCallbackLock);
        if (!fCallback.fLog || level > fLogLevel) return;
        log = fCallback.fLog;
        userData = fCallbackUserData;
    }
    if (!format) return;
    va_list args;
    va_start(args, format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::string text = CL_StringFormatV(format, args);
#pragma GCC diagnostic pop
    va_end(args);
    log(level, text, userData);
}

void CL_Server::Log(uint32 level, const std::string& message) {
    CL_LogCB log;
    void* userData;
    {
        CL_AutoLocker lock(fCallbackLock);
        if (!fCallback.fLog || level > fLogLevel) return;
        log = fCallback.fLog;
        userData = fCallbackUserData;
    }
    log(level, message, userData);
}
