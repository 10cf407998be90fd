// How the machine identity is derived from what the machine offers.
#pragma once

#include "lumo/uuid.h"

// From the override text when not null; else from the D-Bus machine id (hexadecimal)
// when not null; else from the 6-byte MAC when not null; the bytes found are repeated
// to 16. Nothing at all gives the nil UUID.
CLU_UUID QPX_ComputerUUIDFrom(const char* override, const char* machineID, const uint8* mac);
