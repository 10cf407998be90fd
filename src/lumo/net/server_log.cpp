// The abstract RPC server: its construction values, the base behaviour of each
// operation, the callback table and the log, which formats only lines that pass the
// log level and holds back lines about one client that a flood of peers repeats.
#include "lumo/net/countdown.h"
#include "lumo/net/server_log.h"

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
// The default rate: lines per text, and the window.
constexpr uint32 kDefaultRateLines = 20;
constexpr uint32 kDefaultRateWindow = 1000;

// The levels whose lines peers can make the server write over and over.
bool IsLimitedLevel(uint32 level) {
    return level >= CL_LOG_LEVEL_ERROR && level <= CL_LOG_LEVEL_INFO;
}

// Skips "[", the word and "] "; the position after it, or npos.
size_t AfterTag(const std::string& text, size_t at, const char* word) {
    size_t length = strlen(word);
    if (text.compare(at, length, word) != 0) return std::string::npos;
    at += length;
    if (at < text.size() && text[at] == '%') at += 2;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9')
        at++;
    return text.compare(at, 2, "] ") == 0 ? at + 2 : std::string::npos;
}

}  // namespace

CL_Server::CL_Server()
    : fLogLevel(CL_LOG_LEVEL_INFO),
      fCallbackUserData(nullptr),
      fFlags(0),
      fData(nullptr),
      fLogLimiter(new CL_LogLimiter()) {
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
    LogLines reports;
    bool pass = fLogLimiter->Pass(level, format, &reports);
    Emit(log, userData, reports);
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
    LogLines reports;
    bool pass = fLogLimiter->Pass(level, message, &reports);
    Emit(log, userData, reports);
    if (pass) log(level, message, userData);
}

CL_LogLimiter::CL_LogLimiter() : fRateLines(kDefaultRateLines), fRateWindow(kDefaultRateWindow) {}

// "[Dispatcher] [N] ..." and "[Worker N] [N] ..." or "[Worker N] [N:N] ...", with
// the numbers as digits or as %d.
bool CL_LogLimiter::NamesAClient(const std::string& text) {
    size_t at = AfterTag(text, 0, "[Dispatcher");
    if (at == std::string::npos) at = AfterTag(text, 0, "[Worker ");
    if (at == std::string::npos || at >= text.size() || text[at] != '[') return false;
    at++;
    return at < text.size() && (text[at] == '%' || (text[at] >= '0' && text[at] <= '9'));
}

void CL_LogLimiter::SetRate(uint32 lines, uint32 windowMs) {
    CL_AutoLocker lock(fLock);
    fRateLines = lines;
    fRateWindow = windowMs ? windowMs : 1;
}

// A line that can never be held back passes without the lock while nothing waits to
// be reported; a count that has just begun and is missed here is due only once its
// window ends.
bool CL_LogLimiter::Pass(uint32 level, const std::string& key, Lines* reports) {
    bool limited = IsLimitedLevel(level) && NamesAClient(key);
    if (!limited && fDropping.load(std::memory_order_relaxed) == 0) return true;
    CL_AutoLocker lock(fLock);
    uint32 now = CL_GetTime();
    if (fDropping > 0) Collect(now, reports);
    if (fRateLines == 0 || !limited) return true;
    Tally* tally = Find(key, now);
    if (!tally) return true;
    if (CL_Elapsed(now, tally->fStart) >= fRateWindow) {
        tally->fStart = now;
        tally->fPassed = 0;
    }
    if (tally->fPassed < fRateLines) {
        tally->fPassed++;
        return true;
    }
    if (tally->fDropped++ == 0) fDropping++;
    tally->fLevel = level;
    return false;
}

// The tally of `key`, made when new; null when there are too many texts to tally.
CL_LogLimiter::Tally* CL_LogLimiter::Find(const std::string& key, uint32 now) {
    auto found = fTallies.find(key);
    if (found != fTallies.end()) return &found->second;
    if (fTallies.size() >= kMaxTallies) {
        // Forget the texts whose window is over and that have nothing to report.
        for (auto it = fTallies.begin(); it != fTallies.end();) {
            bool over = CL_Elapsed(now, it->second.fStart) >= fRateWindow;
            it = over && it->second.fDropped == 0 ? fTallies.erase(it) : ++it;
        }
        if (fTallies.size() >= kMaxTallies) return nullptr;
    }
    Tally* tally = &fTallies.emplace(key, Tally()).first->second;
    tally->fStart = now;
    return tally;
}

// A window that ended with lines held back is reported once.
void CL_LogLimiter::Collect(uint32 now, Lines* reports) {
    const char* text =
        CL_Translator::Get().Translate("Omesse %u righe di log uguali a \"%s\"", nullptr);
    for (auto& entry : fTallies) {
        Tally& tally = entry.second;
        if (tally.fDropped == 0 || CL_Elapsed(now, tally.fStart) < fRateWindow) continue;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        reports->emplace_back(tally.fLevel,
                              CL_StringFormat(text, tally.fDropped, entry.first.c_str()));
#pragma GCC diagnostic pop
        tally.fDropped = 0;
        tally.fStart = now;
        tally.fPassed = 0;
        fDropping--;
    }
}

void CL_LogLimiter::Report(CL_Server& server) {
    CL_LogLimiter& limiter = Of(server);
    Lines reports;
    {
        CL_AutoLocker lock(limiter.fLock);
        if (limiter.fDropping == 0) return;
        limiter.Collect(CL_GetTime(), &reports);
    }
    for (const auto& line : reports)
        server.Log(line.first, line.second);
}
