#pragma once
// The data threads that send a file body after its 200 or 206 header: plain files, media
// paced by their PCR, and media paced by their probed bitrate.

#include "net/connection.h"

#include <cstdint>

int32_t HTTPDataThread(void* connection);
// The body of HTTPDataThread run by the command thread itself: a page or plain file costs one
// thread instead of two. The command thread then ends as one that started no data thread.
// number: the thread number its log lines carry.
void ServePlainFileOnCommandThread(PlayerConnection& conn, int number);
// Files up to this size are sent by an event loop; larger ones (which may keep the disk busy
// for a while) by a command worker.
constexpr int64_t kLoopFileMax = 64 * 1024;
// The same from an event loop on a non-blocking socket: true when it is done (the file sent,
// or the send failed; the socket closed). False when the socket did not take it all, or the
// rest is over kLoopFileMax: FinishPlainFile then sends the rest on a thread (the socket
// blocking again).
bool ServePlainFileInLoop(PlayerConnection& conn, int number);
void FinishPlainFile(PlayerConnection& conn, int number);
int32_t HTTPMediaDataThread(void* connection);
int32_t IPTV_PS_HTTP_DataThread(void* connection);
