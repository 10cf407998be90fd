// Shared between the computer-information sources and their tests: the folder under
// which system files are read, and the pieces of the system description.
#pragma once

#include <string>

#include "lumo/base_types.h"

// Reads every system file (and the description command) under `root` instead of "/",
// and forgets the answers computed once per process. "" restores the real root.
void CL_SetSystemRoot(const std::string& root);
// `path` (absolute) under the current root.
std::string CL_SystemPath(const std::string& path);
// The whole content of the system file `path` (absolute) under the current root.
CL_Status CL_ReadSystemText(const std::string& path, std::string* text);

// Kernel release "6.1.55-x" -> 6 << 16 | 1 << 8 | 55; non-numeric parts count 0,
// parts above 255 count 255.
uint32 CL_ParseOSVersion(const std::string& release);
// The system description from uname's system name and release (release empty: uname
// failed), with the distribution's description, processor family and word size.
std::string CL_DescribeOS(const std::string& sysname, const std::string& release);

// Forgets the container memory limits and the low-memory event set-up.
void CL_ResetMemoryState();
