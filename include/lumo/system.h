// Platform services of the base library: clocks, randomness, environment, debug log,
// power events, paths and files, processes and libraries, locale and computer
// information, start-up and exit. Each concept has a header of its own, gathered here.
#pragma once

// Each header included here states the thread rules of what it declares.

#include "lumo/locale_info.h"
#include "lumo/clock.h"
#include "lumo/files.h"
#include "lumo/process.h"
#include "lumo/computer.h"
#include "lumo/power.h"
#include "lumo/init.h"
