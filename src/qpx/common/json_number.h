// JSON numbers as decimals.
#pragma once

#include <cstddef>

#include "lumo/decimal.h"

// The number text (JSON syntax, already checked) rounded half up to 38 significant
// digits. False when the value lies beyond what a decimal holds and prints.
bool QPX_JSONNumber(const char* text, size_t length, CL_Decimal* value);
