#pragma once

#include <cstdint>

#include "framework/block.h"

// Milliseconds since the Unix epoch from the system clock, the time stamps of
// every message the blocks build.
int64_t now_milliseconds();

// Sleeps `milliseconds` on the block's thread, in short steps so that a stop
// request is not kept waiting by a long pause.
void pause_unless_stopped(const qor::Block& block, int64_t milliseconds);
