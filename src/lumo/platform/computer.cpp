// Computer description, container detection and processor use, read from the password
// database, uname, procfs and the cgroup file systems of either version.
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <string>

#include "lumo/platform/computer_internal.h"
#include "lumo/blob.h"
#include "lumo/clock.h"
#include "lumo/computer.h"
#include "lumo/files.h"
#include "lumo/process.h"
#include "lumo/regex.h"
#include "lumo/thread.h"
#include "lumo/utf8.h"

namespace {

std::string sRoot;

// Never destroyed: a thread may still ask for the description while the process exits.
CL_Mutex& sComputerInfoLock = *new CL_Mutex;
CL_ComputerInfo& sComputerInfo = *new CL_ComputerInfo;
bool sComputerInfoDone = false;

int sInContainer = -1;

uint32 sCPUCount = 0;
double sTickFactor = 0;
bool sHaveSample = false;
uint64 sLastCPUTime = 0;
uint64 sLastSampleTime = 0;

// Processor family and word size of this build.
const char* ProcessorFamily() {
#if defined(__aarch64__) || defined(__arm__)
    return "ARM";
#elif defined(__x86_64__) || defined(__i386__)
    return "x86";
#elif defined(__riscv)
    return "RISC-V";
#elif defined(__powerpc__) || defined(__powerpc64__)
    return "PowerPC";
#else
    return "unknown";
#endif
}

// Reads the next number at *pos, leading white space skipped; saturates at 2^64 - 1.
bool ReadNextNumber(const std::string& text, size_t* pos, uint64* value) {
    size_t p = *pos;
    while (p < text.size() && isspace(static_cast<unsigned char>(text[p])))
        ++p;
    size_t start = p;
    uint64 n = 0;
    while (p < text.size() && text[p] >= '0' && text[p] <= '9') {
        uint64 digit = static_cast<uint64>(text[p] - '0');
        n = n > (UINT64_MAX - digit) / 10 ? UINT64_MAX : n * 10 + digit;
        ++p;
    }
    if (p == start) return false;
    *pos = p;
    *value = n;
    return true;
}

// Reads the number after the next word of a small statistics file laid out as
// "<word> <number> ...".
bool ReadNumberAfterWord(const std::string& text, size_t* pos, uint64* value) {
    size_t p = *pos;
    while (p < text.size() && isspace(static_cast<unsigned char>(text[p])))
        ++p;
    while (p < text.size() && !isspace(static_cast<unsigned char>(text[p])))
        ++p;
    if (!ReadNextNumber(text, &p, value)) return false;
    *pos = p;
    return true;
}

}  // namespace

void CL_SetSystemRoot(const std::string& root) {
    sRoot = root;
    while (!sRoot.empty() && sRoot.back() == '/')
        sRoot.pop_back();
    {
        CL_AutoLocker lock(sComputerInfoLock);
        sComputerInfoDone = false;
    }
    sInContainer = -1;
    sHaveSample = false;
    CL_ResetMemoryState();
}

std::string CL_SystemPath(const std::string& path) {
    return sRoot + path;
}

CL_Status CL_ReadSystemText(const std::string& path, std::string* text) {
    CL_Blob data;
    CL_Status status = CL_ReadFile(CL_SystemPath(path), &data);
    if (status == CL_OK)
        text->assign(reinterpret_cast<const char*>(data.GetDataForRead()), data.GetSize());
    return status;
}

uint32 CL_ParseOSVersion(const std::string& release) {
    std::string rest = release;
    uint32 version = 0;
    for (int shift = 16; shift >= 0; shift -= 8) {
        std::string token = CL_StringTokenize(&rest, ".");
        unsigned long long part = 0;
        if (!CL_StringToNumber(token, &part)) part = 0;
        if (part > 255) part = 255;
        version |= static_cast<uint32>(part) << shift;
    }
    return version;
}

std::string CL_DescribeOS(const std::string& sysname, const std::string& release) {
    std::string spec;
    if (release.empty() && sysname.empty()) {
        spec = "Linux";
    } else {
        spec = sysname;
        std::string output;
        int32 exitCode = -1;
        CL_Status status = CL_ExecuteProcess(CL_SystemPath("/usr/bin/lsb_release") + " -d", true,
                                             &exitCode, "", &output, "");
        static const char kPrefix[] = "Description:\t";
        if (status == CL_OK && exitCode == 0 && output.compare(0, 13, kPrefix) == 0) {
            spec += " " + output.substr(13, output.find('\n', 13) - 13);
        } else {
            std::string text;
            CL_Status readStatus = CL_ReadSystemText("/etc/lsb-release", &text);
            if (readStatus != CL_OK) text = output;
            CL_RegEx re("DISTRIB_DESCRIPTION([ \t]*)=([ \t]*)\"([^\"]*)\"");
            CL_Match match;
            if (re.Find(text, &match) == CL_OK && match.Count() >= 4)
                spec += " " + match.GetText(3);
            else
                spec +=
                    CL_StringFormat(" generic (status: %d, exit code: %d)", readStatus, exitCode);
        }
        spec += CL_StringFormat(" (kernel %s)", release.c_str());
    }
    spec += CL_StringFormat(", %s, %d bit", ProcessorFamily(), static_cast<int>(sizeof(void*) * 8));
    return spec;
}

void CL_GetComputerInfo(CL_ComputerInfo* info) {
    CL_AutoLocker lock(sComputerInfoLock);
    if (!sComputerInfoDone) {
        CL_ComputerInfo computed;
        struct passwd entry;
        struct passwd* found = nullptr;
        char buffer[4096];
        if (getpwuid_r(geteuid(), &entry, buffer, sizeof(buffer), &found) == 0 && found) {
            computed.fUserLoginName = found->pw_name ? found->pw_name : "";
            computed.fUserFullName = found->pw_gecos ? found->pw_gecos : "";
        } else {
            computed.fUserLoginName = "Unknown";
            computed.fUserFullName = "Unknown";
        }
        char name[256];
        if (gethostname(name, sizeof(name)) == 0) {
            name[sizeof(name) - 1] = 0;
            computed.fHostName = name;
        }
        if (getdomainname(name, sizeof(name)) == 0) {
            name[sizeof(name) - 1] = 0;
            if (strcmp(name, "(none)") != 0) computed.fDomainName = name;
        }
        struct utsname uts;
        if (uname(&uts) == 0) {
            computed.fOSVersion = CL_ParseOSVersion(uts.release);
            computed.fOSSpec = CL_DescribeOS(uts.sysname, uts.release);
        } else {
            computed.fOSSpec = CL_DescribeOS("", "");
        }
        long cpus = sysconf(_SC_NPROCESSORS_ONLN);
        computed.fNumCPUs = cpus > 0 ? static_cast<uint32>(cpus) : 0;
        sComputerInfo = computed;
        sComputerInfoDone = true;
    }
    if (info) *info = sComputerInfo;
}

bool CL_IsRunningInContainer() {
    if (sInContainer < 0) {
        bool inside = CL_StatFile(CL_SystemPath("/.dockerenv")) != 0;
        std::string text;
        if (!inside && CL_ReadSystemText("/proc/1/cgroup", &text) == CL_OK) {
            CL_RegEx re("docker|lxc|ecs");
            CL_Match match;
            inside = re.Find(text, &match) == CL_OK;
        }
        sInContainer = inside ? 1 : 0;
    }
    return sInContainer == 1;
}

double CL_GetCPUUsage() {
    if (sCPUCount == 0) {
        long cpus = sysconf(_SC_NPROCESSORS_ONLN);
        sCPUCount = cpus > 0 ? static_cast<uint32>(cpus) : 1;
    }
    if (sTickFactor == 0) {
        long ticks = sysconf(_SC_CLK_TCK);
        sTickFactor = 1000000.0 / static_cast<double>(ticks > 0 ? ticks : 100);
    }
    uint64 now = CL_GetMicroTime() * sCPUCount;

    std::string text;
    uint64 time = 0;
    size_t pos = 0;
    if (CL_IsRunningInContainer()) {
        uint64 user = 0, system = 0;
        if (CL_ReadSystemText("/sys/fs/cgroup/cpu/cpuacct.stat", &text) == CL_OK) {
            if (!ReadNumberAfterWord(text, &pos, &user) ||
                !ReadNumberAfterWord(text, &pos, &system))
                return 0;
            time = static_cast<uint64>(static_cast<double>(user) * sTickFactor) +
                   static_cast<uint64>(static_cast<double>(system) * sTickFactor);
        } else if (CL_ReadSystemText("/sys/fs/cgroup/cpu.stat", &text) == CL_OK) {
            if (!ReadNumberAfterWord(text, &pos, &time)) return 0;
        } else {
            return 0;
        }
    } else {
        uint64 user = 0, nice = 0, system = 0;
        if (CL_ReadSystemText("/proc/stat", &text) != CL_OK ||
            !ReadNumberAfterWord(text, &pos, &user) || !ReadNextNumber(text, &pos, &nice) ||
            !ReadNextNumber(text, &pos, &system))
            return 0;
        time = static_cast<uint64>(static_cast<double>(user + nice + system) * sTickFactor);
    }

    double result = 0;
    if (sHaveSample && now > sLastSampleTime) {
        // A counter that went back (a reset cgroup) measures nothing, not a negative use.
        if (time > sLastCPUTime)
            result = static_cast<double>(time - sLastCPUTime) /
                     static_cast<double>(now - sLastSampleTime) * 100.0;
        if (result > 100) result = 100;
    }
    sLastCPUTime = time;
    sLastSampleTime = now;
    sHaveSample = true;
    return result;
}
