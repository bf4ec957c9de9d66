#pragma once
// The channel reader process: starts the ingest thread of every network channel, holds
// until the reader stop gate opens, then closes them.

#include <cstdint>

int32_t IPTV_Channel_ReaderProcess(void* unused);
