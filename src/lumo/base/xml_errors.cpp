// Per-thread routing of libxml2's diagnostics (see xml_errors.h).
#include "lumo/base/xml_errors.h"

#include <libxml/globals.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace {

constexpr size_t kMaxMessages = 4096;

thread_local std::string tMessages;
thread_local int tDepth = 0;

// libxml2 has already stored the error as the thread's last one when it calls this.
void KeepStructured(void*, xmlErrorPtr) {}

void KeepGeneric(void*, const char* format, ...) {
    if (!format || tMessages.size() >= kMaxMessages) return;
    char buffer[512];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    if (n <= 0) return;
    size_t length =
        static_cast<size_t>(n) < sizeof(buffer) ? static_cast<size_t>(n) : sizeof(buffer) - 1;
    tMessages.append(buffer, std::min(length, kMaxMessages - tMessages.size()));
}

}  // namespace

namespace lumo_xml {

XMLErrorScope::XMLErrorScope()
    : fStructured(xmlStructuredError),
      fStructuredContext(xmlStructuredErrorContext),
      fGeneric(xmlGenericError),
      fGenericContext(xmlGenericErrorContext) {
    if (tDepth++ == 0) tMessages.clear();
    xmlSetStructuredErrorFunc(nullptr, KeepStructured);
    xmlSetGenericErrorFunc(nullptr, KeepGeneric);
}

XMLErrorScope::~XMLErrorScope() {
    xmlSetStructuredErrorFunc(fStructuredContext, fStructured);
    xmlSetGenericErrorFunc(fGenericContext, fGeneric);
    --tDepth;
}

const std::string& GenericMessages() {
    return tMessages;
}

}  // namespace lumo_xml
