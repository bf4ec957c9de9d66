#pragma once
// The HTTP listener and its monitor.

#include "net/connection.h"

#include <cstdint>

extern ConnectionService g_http_service;
// The command workers: they take the requests the event loops pass on.
extern WorkerPool g_http_workers;
// How long one send to a client may block.
constexpr int kHttpSendTimeoutMs = 5000;
// This machine's address as the listener found it (the CGI gateway passes it on).
extern char g_http_local_ip[32];

int32_t HTTPServerProcess(void* unused);
int32_t HTTP_Monitor_Server(void* unused);
