// Text utilities of the base library: UTF-8 and string helpers, text codecs, UUIDs
// and digests. Each concept has a header of its own, gathered here.
#pragma once

// Each header included here states the thread rules of what it declares.

#include "lumo/utf8.h"
#include "lumo/codecs.h"
#include "lumo/digest.h"
#include "lumo/uuid.h"
