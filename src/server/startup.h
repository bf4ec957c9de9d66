#pragma once
// Entry point, start-up and shutdown sequences, and the channel reader's close and restart.

#include "core/locks.h"

#include <cstdint>

// 1 all started, 0 "HTTP Server is not available", -1 "Channel service is not available",
// -2 "VOD service is not available".
[[nodiscard]] int8_t StartupSequence();
// Stops everything that was started, in the fixed order; runs on the main thread.
void ShutdownSequence();

// A channel refresh holds this over close, reload and restart so that two refreshes (or a
// refresh and shutdown) never stop the same reader twice.
extern CriticalSection g_channel_reader_control_lock;
// Stops the channel reader and waits for it. Returns 1; 0 (nothing done) once the process
// is stopping.
int CloseChannelReader();
// Starts the channel reader again and waits for its start. -1 when the thread cannot be
// created, 0 (nothing started) once the process is stopping, else 1.
int RestartChannelReader();

// The whole life of the process; the exit code.
int QuorvaneMain();
