#include "httpd/admission.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace tallypad {
namespace {

uint32_t Ip(const char* dotted) {
  in_addr a{};
  inet_pton(AF_INET, dotted, &a);
  return ntohl(a.s_addr);
}

TEST(AdmissionTest, LoopbackAndLocalSubnetsAreAdmitted) {
  const std::vector<LocalNetwork> networks = {
      {Ip("192.168.1.20"), Ip("255.255.255.0")},
      {Ip("10.4.0.7"), Ip("255.255.0.0")},
      {Ip("172.16.0.1"), 0},  // no netmask: admits no one
  };
  struct Case {
    const char* client;
    bool admitted;
  };
  const Case cases[] = {
      {"127.0.0.1", true},     {"127.8.9.10", true},   {"192.168.1.1", true},
      {"192.168.1.254", true}, {"192.168.2.1", false}, {"10.4.200.3", true},
      {"10.5.0.1", false},     {"172.16.0.2", false},  {"8.8.8.8", false},
      {"0.0.0.0", false},
  };
  for (const Case& c : cases) EXPECT_EQ(AdmitByNetwork(Ip(c.client), networks), c.admitted) << c.client;
  EXPECT_TRUE(AdmitByNetwork(Ip("127.0.0.1"), {}));
  EXPECT_FALSE(AdmitByNetwork(Ip("192.168.1.1"), {}));
}

TEST(AdmissionTest, TheHookAdmitsThisMachinesOwnAddresses) {
  sockaddr_in bound{};
  for (const LocalNetwork& net : LocalIpv4Networks()) {
    sockaddr_in client{};
    client.sin_family = AF_INET;
    client.sin_addr.s_addr = htonl(net.address);
    EXPECT_EQ(AdmitLocalNetworkClient(client, bound), net.netmask != 0);
  }
  sockaddr_in loopback{};
  loopback.sin_family = AF_INET;
  loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_TRUE(AdmitLocalNetworkClient(loopback, bound));
}

// Errors show the author's detail only to this machine: 127.0.0.1 and the
// addresses of its interfaces, not the rest of the loopback network (a
// client bound to 127.0.0.2 stands for another computer) nor a neighbour.
TEST(ThisMachineTest, OnlyTheMachinesOwnAddressesAreThisMachine) {
  const std::vector<uint32_t> addresses = {Ip("127.0.0.1"), Ip("192.168.1.20")};
  struct Case {
    const char* client;
    bool this_machine;
  } cases[] = {
      {"127.0.0.1", true},  {"192.168.1.20", true},  {"127.0.0.2", false},
      {"192.168.1.21", false}, {"10.0.0.1", false}, {"0.0.0.0", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(IsThisMachine(Ip(c.client), addresses), c.this_machine) << c.client;
  // 127.0.0.1 is this machine even when no interface could be listed.
  EXPECT_TRUE(IsThisMachine(Ip("127.0.0.1"), {}));
  EXPECT_FALSE(IsThisMachine(Ip("192.168.1.20"), {}));
}

TEST(ThisMachineTest, TheRoutersTestKnowsTheInterfacesAddresses) {
  for (uint32_t address : LocalIpv4Addresses()) EXPECT_TRUE(ClientIsThisMachine(address));
  EXPECT_TRUE(ClientIsThisMachine(Ip("127.0.0.1")));
  EXPECT_FALSE(ClientIsThisMachine(Ip("127.0.0.2")));
}

}  // namespace
}  // namespace tallypad
