// The base library's types in one include: integer names and CL_Status, and the value
// model (the dynamic value CLU_Entry, CLU_List, CLU_Table and their flattened form).
#pragma once

// Each header included here states the thread rules of what it declares.

#include "lumo/base_types.h"
#include "lumo/entry.h"
#include "lumo/list.h"
#include "lumo/table.h"
#include "lumo/flatten.h"
