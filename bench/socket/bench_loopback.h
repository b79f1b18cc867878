// Shared by the socket-level benchmarks: two TWSockets of one loop joined
// over loopback.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "platform/message_loop.h"
#include "socket/wsocket.h"

// Listener accepts one connection from Sender and Dup's it into Receiver;
// returns once both ends are connected and their first notifications are
// dispatched. Who names the benchmark in the message of a failure (exit 1).
inline void ConnectLoopback(TWSocket& Listener, TWSocket& Receiver, TWSocket& Sender,
                            const char* Who) {
  plat::MessageLoop& Loop = plat::MessageLoop::Current();
  Listener.SetAddr("127.0.0.1");
  Listener.SetPort("0");
  Listener.OnSessionAvailable = [&](TCustomWSocket*, std::uint16_t) { Receiver.Dup(Listener.Accept()); };
  Listener.Listen();
  Sender.SetAddr("127.0.0.1");
  Sender.SetPort(Listener.GetLocalPort());
  Sender.Connect();
  while (Sender.State() != wsConnected || Receiver.State() != wsConnected) {
    Loop.DispatchPending();
    if (Sender.State() == wsClosed) {
      std::fprintf(stderr, "%s: connect failed\n", Who);
      std::exit(1);
    }
    if (Sender.State() != wsConnected || Receiver.State() != wsConnected) Loop.WaitMessage(1000);
  }
  Loop.DispatchPending();
}
