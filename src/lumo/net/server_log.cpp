// The abstract RPC server: its construction values, the base behaviour of each
// operation, the callback table and the log, which formats only lines that pass the
// log level and holds back lines that a flood of peers repeats.
#include <cstdarg>
#include <cstring>

#include "lumo/clock.h"
#include "lumo/ipc.h"
#include "lumo/table.h"
#include "lumo/translator.h"
#include "lumo/utf8.h"
#include "lumo/uuid.h"

namespace {

// Texts tallied at most; past that, lines of new texts pass unlimited.
constexpr size_t kMaxTallies = 512;

// The levels whose lines peers can make the server write over and over.
bool IsRateLimited(uint32 level) {
    return level >= CL_LOG_LEVEL_ERROR && level <= CL_LOG_LEVEL_INFO;
}

}  // namespace

CL_Server::CL_Server()
    : fLogLevel(CL_LOG_LEVEL_INFO),
      fCallbackUserData(nullptr),
      fFlags(0),
      fData(nullptr),
      fRateLines(CL_LOG_DEFAULT_RATE_LINES),
      fRateWindow(CL_LOG_DEFAULT_RATE_MS) {
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

void CL_Server::SetLogRateLimit(uint32 lines, uint32 windowMs) {
    CL_AutoLocker lock(fTallyLock);
    fRateLines = lines;
    fRateWindow = windowMs ? windowMs : 1;
}

bool CL_Server::PassLine(uint32 level, const std::string& key, LogLines* summaries) {
    CL_AutoLocker lock(fTallyLock);
    uint32 now = CL_GetTime();
    if (fTalliesDropping > 0) CollectSummaries(now, summaries);
    if (fRateLines == 0 || !IsRateLimited(level)) return true;
    auto found = fTallies.find(key);
    if (found == fTallies.end()) {
        if (fTallies.size() >= kMaxTallies) {
            // Forget the texts whose window is over and that have nothing to report.
            for (auto it = fTallies.begin(); it != fTallies.end();) {
                bool over = uint32(now - it->second.fStart) >= fRateWindow;
                it = over && it->second.fDropped == 0 ? fTallies.erase(it) : ++it;
            }
            if (fTallies.size() >= kMaxTallies) return true;
        }
        found = fTallies.emplace(key, LogTally()).first;
        found->second.fStart = now;
    }
    LogTally& tally = found->second;
    if (uint32(now - tally.fStart) >= fRateWindow) {
        tally.fStart = now;
        tally.fPassed = 0;
    }
    if (tally.fPassed < fRateLines) {
        tally.fPassed++;
        return true;
    }
    if (tally.fDropped++ == 0) fTalliesDropping++;
    tally.fLevel = level;
    return false;
}

// A window that ended with lines held back is reported once, by the next line logged.
void CL_Server::CollectSummaries(uint32 now, LogLines* summaries) {
    const char* text =
        CL_Translator::Get().Translate("Omesse %u righe di log uguali a \"%s\"", nullptr);
    for (auto& entry : fTallies) {
        LogTally& tally = entry.second;
        if (tally.fDropped == 0 || uint32(now - tally.fStart) < fRateWindow) continue;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        summaries->emplace_back(tally.fLevel,
                                CL_StringFormat(text, tally.fDropped, entry.first.c_str()));
#pragma GCC diagnostic pop
        tally.fDropped = 0;
        tally.fStart = now;
        tally.fPassed = 0;
        fTalliesDropping--;
    }
}

void CL_Server::Emit(CL_LogCB log, void* userData, const LogLines& lines) {
    for (const auto& line : lines)
        log(line.first, line.second, userData);
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
    LogLines summaries;
    bool pass = PassLine(level, format, &summaries);
    Emit(log, userData, summaries);
    if (!pass) return;
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
    LogLines summaries;
    bool pass = PassLine(level, message, &summaries);
    Emit(log, userData, summaries);
    if (pass) log(level, message, userData);
}
