// Where one session ends and the next begins, and handlers that destroy the
// socket in the middle of an operation.
#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>

#include "socket_test_util.h"

using namespace sockettest;

TEST(WSocketBoundary, RaiserThatDestroysTheSocketAndTakesNothing) {
  // Like the proxy level after a failed negotiation: the raiser runs a
  // handler that ends the socket, and answers that it took no data.
  struct Destroying : TWSocket {
    std::function<void()> Hook;
    bool DoDataAvailable(std::uint16_t) override {
      Hook();
      return false;
    }
  };
  TWSocket Listener;
  auto Victim = std::make_unique<Destroying>();
  Listener.SetAddr("127.0.0.1");
  Listener.SetPort("0");
  Listener.OnSessionAvailable = [&](TCustomWSocket*, std::uint16_t) { Victim->Dup(Listener.Accept()); };
  Listener.Listen();
  TWSocket Client;
  Client.SetAddr("127.0.0.1");
  Client.SetPort(Listener.GetLocalPort());
  Client.Connect();
  ASSERT_TRUE(RunUntil(
      [&] { return Victim && Victim->State() == wsConnected && Client.State() == wsConnected; }));
  bool Destroyed = false;
  Victim->Hook = [&] {
    Destroyed = true;
    Victim.reset();
  };
  Client.SendString("proxy reply");
  ASSERT_TRUE(RunUntil([&] { return Destroyed; }));
  DrainLoop();
}
