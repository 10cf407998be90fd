// The server log's hold on floods: lines about one client, which peers can make the
// server write over and over, are limited per text; every other line always goes out.
// Private to the library: the server's periodic work reports what was held back, and
// tests set the rate.
#pragma once

#include <atomic>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "lumo/rpc_server.h"

// At most fRateLines lines of one text every fRateWindow ms, for the lines at levels
// error to info whose prefix names a client ("[Dispatcher] [%d] ...", "[Worker %d]
// [%d] ...", "[Worker %d] [%d:%d] ..."). Once a window with lines held back is over, one
// line says how many were, at their level. Guarded by its own lock; one per server.
class CL_LogLimiter {
public:
    typedef std::vector<std::pair<uint32, std::string>> Lines;

    CL_LogLimiter();

    // The limiter of `server`.
    static CL_LogLimiter& Of(CL_Server& server) { return *server.fLogLimiter; }
    // Whether a line of this format (or finished text) is about one client.
    static bool NamesAClient(const std::string& text);

    // At most `lines` lines of one text every `windowMs`; 0 lines lifts the limit.
    // Lines already held back are still reported.
    void SetRate(uint32 lines, uint32 windowMs) CL_EXCLUDES(fLock);
    // Whether a line of `key` at `level` goes out; the reports of windows that ended
    // are appended to `reports`, to be written first.
    bool Pass(uint32 level, const std::string& key, Lines* reports) CL_EXCLUDES(fLock);
    // Writes the reports of the windows that ended to the server's log: called from
    // the server's periodic work, so that they come on a quiet server too.
    static void Report(CL_Server& server);

private:
    // One text's lines in the current window.
    struct Tally {
        uint32 fStart = 0;    // CL_GetTime() when the window opened
        uint32 fPassed = 0;   // lines that went out in it
        uint32 fDropped = 0;  // lines held back in it
        uint32 fLevel = 0;    // level of the last line held back
    };
    void Collect(uint32 now, Lines* reports) CL_REQUIRES(fLock);
    Tally* Find(const std::string& key, uint32 now) CL_REQUIRES(fLock);

    CL_Mutex fLock;
    std::unordered_map<std::string, Tally> fTallies CL_GUARDED_BY(fLock);
    // Tallies with lines held back still to report: changed under fLock, read without
    // it by lines that cannot be held back.
    std::atomic<uint32> fDropping{0};
    uint32 fRateLines CL_GUARDED_BY(fLock);
    uint32 fRateWindow CL_GUARDED_BY(fLock);
};
