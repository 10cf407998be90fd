// Readable stack trace of the calling thread: frames from backtrace, symbols
// demangled, source positions from addr2line when it is installed.
#include <cxxabi.h>
#include <link.h>
#include <execinfo.h>
#include <regex.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "lumo/computer.h"
#include "lumo/files.h"
#include "lumo/process.h"
#include "lumo/utf8.h"

namespace {

// One frame of the trace.
struct FRAME {
    std::string image;
    uint64 address = 0;
    uint64 offset = 0;
    std::string symbol;
    std::string info;
};

std::string Group(const char* text, const regmatch_t& m) {
    if (m.rm_so < 0) return std::string();
    return std::string(text + m.rm_so, static_cast<size_t>(m.rm_eo - m.rm_so));
}

// The main program's load bias and whether an address lies in its loaded segments.
struct MainProgram {
    uint64 address;
    bool inside;
};

int FindInMain(struct dl_phdr_info* info, size_t, void* data) {
    MainProgram* probe = static_cast<MainProgram*>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD) continue;
        uint64 start = info->dlpi_addr + ph.p_vaddr;
        if (probe->address >= start && probe->address - start < ph.p_memsz) {
            probe->inside = true;
            probe->address -= info->dlpi_addr;
            break;
        }
    }
    return 1;  // the first object listed is the main program: stop there
}

// addr2line reads the executable's file addresses: inside a position-independent
// executable the run-time address less the load bias. Other addresses pass unchanged.
uint64 FileAddress(uint64 address) {
    MainProgram probe = {address, false};
    dl_iterate_phdr(FindInMain, &probe);
    return probe.address;
}

}  // namespace

std::string CL_GetStackTrace(unsigned int skip) {
    regex_t re;
    if (regcomp(&re,
                "^([^ \\(]*)\\(([A-Za-z0-9_]*)?(\\+)?(0x[0-9A-Fa-f]*)?\\) \\[(0x[0-9A-Fa-f]*)\\]",
                REG_EXTENDED) != 0)
        return std::string();
    std::string command =
        CL_StringFormat("addr2line -e \"%s\"", CL_GetPath(CL_EXECUTABLE_NAME).c_str());

    void* addresses[50];
    int count = backtrace(addresses, 50);
    char** texts = backtrace_symbols(addresses, count);
    std::vector<FRAME> frames;
    for (int i = static_cast<int>(skip) + 1; texts && i < count; ++i) {
        regmatch_t m[16];
        if (regexec(&re, texts[i], 16, m, 0) != 0) continue;
        FRAME frame;
        frame.image = Group(texts[i], m[1]);
        frame.symbol = Group(texts[i], m[2]);
        if (!frame.symbol.empty()) {
            int status = 0;
            char* demangled = abi::__cxa_demangle(frame.symbol.c_str(), nullptr, nullptr, &status);
            if (status == 0 && demangled) frame.symbol = demangled;
            free(demangled);
        }
        unsigned long long number = 0;
        if (CL_StringToNumber(Group(texts[i], m[4]), &number, 0)) frame.offset = number;
        number = 0;
        if (CL_StringToNumber(Group(texts[i], m[5]), &number, 0)) frame.address = number;
        command +=
            CL_StringFormat(" 0x%llX", static_cast<unsigned long long>(FileAddress(frame.address)));
        frames.push_back(frame);
    }
    free(texts);
    regfree(&re);

    std::string output;
    if (!frames.empty() && CL_ExecuteProcess(command, true, nullptr, "", &output, "") == CL_OK) {
        output = CL_StringReplace(output, "\r", "");
        size_t start = 0;
        for (FRAME& frame : frames) {
            if (start >= output.size()) break;
            size_t end = output.find('\n', start);
            if (end == std::string::npos) end = output.size();
            frame.info = output.substr(start, end - start);
            start = end + 1;
        }
    }

    std::string result;
    for (size_t i = 0; i < frames.size(); ++i) {
        const FRAME& f = frames[i];
        result += CL_StringFormat("%-4d %-34s 0x%016llx", static_cast<int>(i), f.image.c_str(),
                                  static_cast<unsigned long long>(f.address));
        if (f.symbol.empty())
            result += " ???";
        else
            result +=
                CL_StringFormat(" %s + %lld", f.symbol.c_str(), static_cast<long long>(f.offset));
        if (!f.info.empty()) result += CL_StringFormat(" (%s)", f.info.c_str());
        result += "\n";
    }
    return result;
}
