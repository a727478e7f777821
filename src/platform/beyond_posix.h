#pragma once

// The system-specific calls sit with their topics now (threads.h, memory.h,
// files.h); this header stays only for the engine's and the benchmarks'
// includes until they name those headers.

#include "platform/files.h"
#include "platform/memory.h"
#include "platform/threads.h"
