#pragma once
// The data thread of a live channel request (/5.ch): sends the channel's transport stream
// to the player until it goes away or the connection stops.

#include <cstdint>

int32_t IPTV_TS_HTTP_DataThread(void* connection);
