// Memory figures of the host or of the container the process runs in, and low-memory
// detection through cgroup version 1 pressure events or, without them, the figures.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <string>

#include "lumo/platform/computer_internal.h"
#include "lumo/computer.h"
#include "lumo/containers.h"
#include "lumo/regex.h"
#include "lumo/utf8.h"

namespace {

constexpr uint64 kUnset = ~0ULL;
// A limit this large is the kernel's way of saying "none" (cgroup v1 writes
// 9223372036854771712); it is never a real amount of memory.
constexpr uint64 kNoLimit = 1ULL << 62;

uint64 sPhysicalLimit = kUnset;  // 0: none
uint64 sSwapLimit = 0;           // kNoLimit: none
int sMediumEvent = 0;            // 0 before set-up, -1 unavailable, else a descriptor
int sCriticalEvent = 0;

uint64 Sub(uint64 a, uint64 b) {
    return a > b ? a - b : 0;
}

uint64 Add(uint64 a, uint64 b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// Whole decimal number, saturating at 2^64 - 1; "max" and other words read as 0.
uint64 ToNumber(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return 0;
    uint64 value = 0;
    for (char c : text) {
        uint64 digit = static_cast<uint64>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return UINT64_MAX;
        value = value * 10 + digit;
    }
    return value;
}

// cgroup v1 files: the first run of digits of the stripped text.
bool ReadFirstNumber(const std::string& path, uint64* value) {
    std::string text;
    if (CL_ReadSystemText(path, &text) != CL_OK) return false;
    CL_RegEx re("([0-9]+)");
    CL_Match match;
    std::string stripped = CL_StringStripped(text);
    *value = re.Find(stripped, &match) == CL_OK ? ToNumber(match.GetText(1)) : 0;
    return true;
}

// cgroup v2 files: the whole stripped text as a number; unlimited reads as `max`.
bool ReadWholeNumber(const std::string& path, uint64* value, uint64 max = 0) {
    std::string text;
    if (CL_ReadSystemText(path, &text) != CL_OK) return false;
    std::string stripped = CL_StringStripped(text);
    *value = stripped == "max" ? max : ToNumber(stripped);
    return true;
}

void ReadLimits() {
    uint64 physical = 0;
    if (!ReadFirstNumber("/sys/fs/cgroup/memory/memory.limit_in_bytes", &physical) &&
        !ReadWholeNumber("/sys/fs/cgroup/memory.max", &physical))
        physical = 0;
    uint64 swap = 0;
    uint64 both = 0;
    if (ReadFirstNumber("/sys/fs/cgroup/memory/memory.memsw.limit_in_bytes", &both))
        swap = both >= kNoLimit ? kNoLimit : Sub(both, physical);
    else if (!ReadWholeNumber("/sys/fs/cgroup/memory.swap.max", &swap, kNoLimit))
        swap = 0;
    sPhysicalLimit = physical;
    sSwapLimit = swap;
}

// Polls an event descriptor without waiting: true when its counter fired.
bool Fired(int fd) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 0) != 1 || !(p.revents & POLLIN)) return false;
    uint64 counter = 0;
    return read(fd, &counter, sizeof(counter)) == sizeof(counter) && counter != 0;
}

// Registers an event descriptor for one memory-pressure level; -1 when the cgroup
// offers no such events.
int RegisterPressureEvent(const char* level) {
    int event = eventfd(0, EFD_CLOEXEC);
    if (event < 0) return -1;
    int control = open(CL_SystemPath("/sys/fs/cgroup/memory/cgroup.event_control").c_str(),
                       O_WRONLY | O_CLOEXEC);
    int pressure = open(CL_SystemPath("/sys/fs/cgroup/memory/memory.pressure_level").c_str(),
                        O_RDONLY | O_CLOEXEC);
    bool ok = false;
    if (control >= 0 && pressure >= 0) {
        std::string line = CL_StringFormat("%d %d %s", event, pressure, level);
        ok = write(control, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    }
    if (control >= 0) close(control);
    // The pressure-level descriptor stays open for as long as the event is used.
    if (!ok) {
        if (pressure >= 0) close(pressure);
        close(event);
        return -1;
    }
    return event;
}

}  // namespace

void CL_ResetMemoryState() {
    sPhysicalLimit = kUnset;
    sSwapLimit = 0;
    if (sMediumEvent > 0) close(sMediumEvent);
    if (sCriticalEvent > 0) close(sCriticalEvent);
    sMediumEvent = sCriticalEvent = 0;
}

void CL_GetMemoryInfo(CL_MemoryInfo* info) {
    if (!info) return;
    *info = CL_MemoryInfo();

    std::string text;
    uint64 hostTotal = 0;
    if (CL_ReadSystemText("/proc/meminfo", &text) == CL_OK) {
        CL_HashMap<std::string, uint64> table;
        CL_RegEx re("([A-Za-z0-9_\\(\\)]+):[ \t]*([0-9]+)");
        CL_Array<CL_Match> matches;
        re.FindAll(text, &matches);
        for (uint32 i = 0; i < matches.Count(); ++i) {
            uint64 kib = ToNumber(matches[i].GetText(2));
            table.Set(matches[i].GetText(1), kib > UINT64_MAX / 1024 ? UINT64_MAX : kib * 1024);
        }
        auto get = [&table](const char* name) { return table.Get(name); };
        hostTotal = get("MemTotal");
        if (table.Exists("MemAvailable")) {
            info->fTotalPhysical = hostTotal;
            info->fAvailablePhysical = get("MemAvailable");
            info->fUsed = Sub(hostTotal, Add(Add(get("MemFree"), get("Cached")), get("Buffers")));
        }
        info->fTotalSwap = get("SwapTotal");
        info->fAvailableSwap = get("SwapFree");
    }

    if (CL_IsRunningInContainer()) {
        if (sPhysicalLimit == kUnset) ReadLimits();
        // A limit at or above the host's memory limits nothing, like v2's "max".
        bool limited = sPhysicalLimit != 0 && sPhysicalLimit < kNoLimit &&
                       (hostTotal == 0 || sPhysicalLimit < hostTotal);
        if (limited) {
            info->fTotalPhysical = sPhysicalLimit;
            // The container cannot swap more than the host has ("max" included).
            if (sSwapLimit < info->fTotalSwap) info->fTotalSwap = sSwapLimit;
        }
        uint64 used = 0;
        if (ReadFirstNumber("/sys/fs/cgroup/memory/memory.usage_in_bytes", &used) ||
            ReadWholeNumber("/sys/fs/cgroup/memory.current", &used))
            info->fUsed = used;
        info->fAvailablePhysical = Sub(info->fTotalPhysical, info->fUsed);
        info->fAvailableSwap = info->fTotalSwap;
        uint64 swapUse = 0;
        if (ReadFirstNumber("/sys/fs/cgroup/memory/memory.memsw.usage_in_bytes", &swapUse))
            info->fAvailableSwap = Sub(Add(info->fUsed, info->fAvailableSwap), swapUse);
        else if (ReadWholeNumber("/sys/fs/cgroup/memory.swap.current", &swapUse))
            info->fAvailableSwap = Sub(info->fAvailableSwap, swapUse);
    }

    if (CL_ReadSystemText("/proc/self/statm", &text) == CL_OK) {
        std::string rest = text;
        CL_StringTokenize(&rest, " ");
        uint64 pages = ToNumber(CL_StringTokenize(&rest, " "));
        long pageSize = sysconf(_SC_PAGESIZE);
        uint64 size = pageSize > 0 ? static_cast<uint64>(pageSize) : 4096;
        info->fUsedProcess = pages > UINT64_MAX / size ? UINT64_MAX : pages * size;
    }
}

bool CL_IsMemoryLow(bool* isCritical) {
    if (sMediumEvent == 0 && sCriticalEvent == 0) {
        sMediumEvent = sCriticalEvent = -1;
        sMediumEvent = RegisterPressureEvent("medium");
        sCriticalEvent = RegisterPressureEvent("critical");
    }
    if (sMediumEvent > 0) {
        bool low = Fired(sMediumEvent);
        if (!isCritical || sCriticalEvent <= 0) return low;
        if (Fired(sCriticalEvent)) {
            *isCritical = true;
            return true;
        }
        *isCritical = false;
        return low;
    }
    if (sCriticalEvent > 0) {
        if (!isCritical) return false;
        *isCritical = Fired(sCriticalEvent);
        return *isCritical;
    }

    CL_MemoryInfo info;
    CL_GetMemoryInfo(&info);
    if (info.fTotalPhysical == 0) return false;
    double used = static_cast<double>(Sub(info.fTotalPhysical, info.fAvailablePhysical)) /
                  static_cast<double>(info.fTotalPhysical);
    if (used <= 0.95) return false;
    if (isCritical) *isCritical = used >= 0.99 && info.fAvailablePhysical < 10485760u;
    return true;
}
