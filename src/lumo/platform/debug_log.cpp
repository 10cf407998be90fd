#include <stdarg.h>
#include <stdio.h>

#include "lumo/clock.h"

// The open log, null while none is open. No lock: writers rely on the stream's own.
static FILE* sLog = nullptr;

void debug_open() {
    // A second open replaces the earlier stream rather than leaking it.
    if (sLog) fclose(sLog);
    sLog = fopen("stderr.log", "w");
}

int32 debug_printf(const char* format, ...) {
    FILE* log = sLog;
    if (!log) return -1;
    va_list args;
    va_start(args, format);
    int written = vfprintf(log, format, args);
    va_end(args);
    return written;
}

void debug_close() {
    if (!sLog) return;
    fclose(sLog);
    sLog = nullptr;
}
