#pragma once
// The data threads that send a file body after its 200 or 206 header: plain files, media
// paced by their PCR, and media paced by their probed bitrate.

#include "net/connection.h"

#include <cstdint>

int32_t HTTPDataThread(void* connection);
// The body of HTTPDataThread run by the command thread itself: a page or plain file costs one
// thread instead of two. The command thread then ends as one that started no data thread.
void ServePlainFileOnCommandThread(PlayerConnection& conn);
int32_t HTTPMediaDataThread(void* connection);
int32_t IPTV_PS_HTTP_DataThread(void* connection);
