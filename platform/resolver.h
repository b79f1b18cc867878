// Asynchronous host look-ups on a worker thread (the only thread besides the
// application's). getaddrinfo/getnameinfo, so /etc/hosts and nsswitch apply.
//
// Completion is posted to the window given at the start, through
// MessageLoop::PostFromAnyThread of the loop current on the calling thread:
// wParam = the task handle, lParam = MakeSelectLParam(0, error).
// The result is then fetched with TakeLookupResult on the owner's thread.
// Cancelling forgets the task: a late answer is never posted, and a completion
// already queued on the requesting loop is withdrawn from it (should one still
// get through, its stale handle tells it apart).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/message_loop.h"

namespace plat {

using LookupTask = std::uint32_t;   // 0: none / refused

// Name to IPv4 addresses, in resolver order (dotted texts in the result).
LookupTask AsyncLookupHost(HWND window, UINT msg, const std::string& name);
// Address (network order) to host name (one text in the result).
LookupTask AsyncLookupAddr(HWND window, UINT msg, std::uint32_t addrNetworkOrder);
// 0 when the task was known (queued, running, or finished but not yet taken)
// and is now forgotten; SOCKET_ERROR (-1) with WSAEINVAL through
// WSASetLastError when the handle is unknown (never given, taken or cancelled).
int CancelLookup(LookupTask task);

// The finished task's texts (empty after a failure); false when the task is
// unknown or not finished. Forgets the task, so the owner takes every
// completion it accepts, failed ones included.
bool TakeLookupResult(LookupTask task, std::vector<std::string>& texts);

}  // namespace plat
