// Elapsed-time clocks, random bytes from the kernel, environment variables, heap
// trimming and the debug log file "stderr.log". The clocks count from the base that
// start-up sets and read 0 until then.
#pragma once

#include <string>

#include "lumo/base_types.h"

// The clocks and random sources may be read from any thread; the environment
// functions and the debug log are not guarded (set the environment before starting
// threads).
// Clock base: the monotonic reading in nanoseconds at start-up, and the ticks per
// second of that reading (0 until start-up has run, which keeps every clock at 0).
extern uint64 sTimerBase;
extern uint64 sTimerFrequency;

// Sets the frequency to nanoseconds and the base to the current monotonic reading;
// from then on the clocks count from 0. Called once by start-up.
void CL_StartClock();

// Milliseconds since start-up, modulo 2^32: compare unsigned differences of readings.
uint32 CL_GetTime();
// Microseconds since start-up.
uint64 CL_GetMicroTime();
// Nanoseconds since start-up.
uint64 CL_GetNanoTime();

// Fills count bytes from /dev/urandom: CL_OK, or CL_ERROR on failure.
CL_Status CL_GetRandomBytes(uint8* buffer, uint32 count);
// Four random bytes as one native word; rand() when the kernel source fails.
uint32 CL_GetRandom();

// The variable's value, or "" when unset; found (optional) tells which.
std::string CL_GetEnv(const std::string& name, bool* found = nullptr);
void CL_SetEnv(const std::string& name, const std::string& value);
void CL_DeleteEnv(const std::string& name);

// Hands free heap memory back to the system.
void CL_ReleaseMemory();
// Kept for the module's interface: does nothing on this platform.
void CL_SetProcessForeground(bool foreground);

// Debug log "stderr.log" in the working directory. debug_printf returns -1 while no
// log is open, otherwise what the formatted write returns.
void debug_open();
int32 debug_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void debug_close();
