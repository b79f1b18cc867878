// Port, protocol and host resolution, and the asynchronous lookups.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "socket_test_util.h"

using namespace sockettest;

namespace {


}  // namespace

TEST(WSocketResolve, Ports) {
  EXPECT_EQ(WSocketResolvePort("21", "tcp"), 21);
  EXPECT_EQ(WSocketResolvePort("ftp", "tcp"), 21);
  EXPECT_EQ(WSocketResolvePort("ftp", ""), 21);      // any protocol
  EXPECT_EQ(WSocketResolvePort("21abc", "tcp"), 21);  // leading digits only
  EXPECT_EQ(WSocketResolvePort("70000", "tcp"), 4464);  // low 16 bits
  EXPECT_EQ(ExceptionText([] { WSocketResolvePort("", "tcp"); }), "WSocketResolvePort: Invalid Port.");
  EXPECT_EQ(ExceptionText([] { WSocketResolvePort(std::string(32, '1'), "tcp"); }),
            "WSocketResolvePort: Invalid Port.");
  EXPECT_EQ(WSocketResolvePort(std::string(31, '0') , "tcp"), 0);
  EXPECT_EQ(ExceptionText([] { WSocketResolvePort("nosuchservice", "tcp"); }),
            "WSocketResolvePort: Cannot convert port 'nosuchservice'");
  // A protocol text that does not fit the service look-up is refused.
  EXPECT_EQ(ExceptionText([] { WSocketResolvePort("ftp", std::string(32, 't')); }),
            "WSocketResolvePort: Invalid Protocol.");
}

TEST(WSocketResolve, Protocols) {
  EXPECT_EQ(WSocketResolveProto("tcp"), 6);
  EXPECT_EQ(WSocketResolveProto("udp"), 17);
  EXPECT_EQ(WSocketResolveProto(" 17"), 17);
  EXPECT_EQ(ExceptionText([] { WSocketResolveProto(""); }), "WSocketResolveProto: Invalid Protocol.");
  EXPECT_EQ(ExceptionText([] { WSocketResolveProto(std::string(32, '6')); }),
            "WSocketResolveProto: Invalid Protocol.");
  EXPECT_EQ(ExceptionText([] { WSocketResolveProto(" nosuchproto "); }),
            "WSocketResolveProto: Cannot convert protocol 'nosuchproto'");
}

TEST(WSocketResolve, Hosts) {
  EXPECT_EQ(WSocketResolveHost("127.0.0.1"), htonl(0x7F000001));
  EXPECT_EQ(WSocketResolveHost(" 10.1.2.3 "), htonl(0x0A010203));
  EXPECT_EQ(WSocketResolveHost("255.255.255.255"), 0xFFFFFFFFu);
  EXPECT_EQ(WSocketResolveHost("localhost"), htonl(0x7F000001));
  EXPECT_EQ(ExceptionText([] { WSocketResolveHost(""); }), "WSocketResolveHost: Invalid Hostname.");
  EXPECT_EQ(ExceptionText([] { WSocketResolveHost(std::string(257, 'a')); }),
            "WSocketResolveHost: Invalid Hostname.");
}

TEST(WSocketDns, DottedAddressReportsBeforeDnsLookupReturns) {
  TWSocket S;
  std::vector<std::uint16_t> Done;
  S.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t E) { Done.push_back(E); };
  S.DnsLookup("10.1.2.3");
  EXPECT_EQ(Done, std::vector<std::uint16_t>{0});
  EXPECT_EQ(S.DnsResult(), "10.1.2.3");
  EXPECT_TRUE(S.DnsResultList().empty());
}

TEST(WSocketDns, NameLookupFillsTheResults) {
  TWSocket S;
  std::vector<std::uint16_t> Done;
  S.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t E) { Done.push_back(E); };
  S.DnsLookup("localhost");
  EXPECT_TRUE(Done.empty());
  EXPECT_EQ(S.DnsResult(), "");
  ASSERT_TRUE(RunUntil([&] { return !Done.empty(); }));
  EXPECT_EQ(Done, std::vector<std::uint16_t>{0});
  EXPECT_EQ(S.DnsResult(), "127.0.0.1");
  ASSERT_FALSE(S.DnsResultList().empty());
  EXPECT_EQ(S.DnsResultList().front(), "127.0.0.1");
}

TEST(WSocketDns, ASecondLookupReplacesTheFirst) {
  TWSocket S;
  std::vector<std::uint16_t> Done;
  S.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t E) { Done.push_back(E); };
  S.DnsLookup("localhost");
  S.DnsLookup("localhost");
  ASSERT_TRUE(RunUntil([&] { return !Done.empty(); }));
  DrainLoop();
  EXPECT_EQ(Done, std::vector<std::uint16_t>{0});
  EXPECT_EQ(S.DnsResult(), "127.0.0.1");

  // Replacing a lookup whose answer is already queued drops that answer.
  Done.clear();
  S.DnsLookup("localhost");
  ASSERT_TRUE(plat::MessageLoop::Current().WaitMessage(10000));  // queued, not dispatched
  S.DnsLookup("10.9.8.7");
  DrainLoop();
  EXPECT_EQ(Done, std::vector<std::uint16_t>{0});
  EXPECT_EQ(S.DnsResult(), "10.9.8.7");
}

TEST(WSocketDns, CancelReportsInterruptedOnlyWhenPending) {
  TWSocket S;
  std::vector<std::uint16_t> Done;
  S.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t E) { Done.push_back(E); };
  S.CancelDnsLookup();
  EXPECT_TRUE(Done.empty());
  S.DnsLookup("localhost");
  S.CancelDnsLookup();
  EXPECT_EQ(Done, std::vector<std::uint16_t>{10004});
  DrainLoop();
  EXPECT_EQ(Done, std::vector<std::uint16_t>{10004});
}

TEST(WSocketDns, EmptyNameIsAnError) {
  TWSocket S;
  std::vector<std::string> Events;
  S.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t E) {
    Events.push_back("done " + std::to_string(E));
  };
  EXPECT_EQ(ExceptionText([&] { S.DnsLookup(""); }), "DNS lookup: invalid host name.");
  EXPECT_TRUE(Events.empty());  // the exception ends the operation
  S.OnError = [&](TCustomWSocket*) { Events.push_back("error"); };
  S.DnsLookup("");
  EXPECT_EQ(Events, (std::vector<std::string>{"error", "done 10022"}));
}

TEST(WSocketDns, ReverseLookupGivesOneName) {
  TWSocket S;
  std::vector<std::uint16_t> Done;
  S.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t E) { Done.push_back(E); };
  S.ReverseDnsLookup("127.0.0.1");
  ASSERT_TRUE(RunUntil([&] { return !Done.empty(); }));
  EXPECT_EQ(Done, std::vector<std::uint16_t>{0});
  EXPECT_FALSE(S.DnsResult().empty());
  EXPECT_EQ(S.DnsResultList(), std::vector<std::string>{S.DnsResult()});
}
