// Which PCs the server lets in, from "ALLOWED_IP".

#include "bridged/settings.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

in_addr Address(const char* text) {
  in_addr address{};
  inet_pton(AF_INET, text, &address);
  return address;
}

bool Allows(const char* allowed_ip, const char* peer) {
  return PeerAllowed(ParsePeerFilter(allowed_ip), Address(peer));
}

TEST(SettingsTest, TheDefaultAndTheAnyAddressLetEveryPeerIn) {
  for (const char* any : {"255.255.255.255", "0.0.0.0", ""}) {
    EXPECT_TRUE(Allows(any, "192.168.0.7")) << any;
    EXPECT_TRUE(Allows(any, "127.0.0.1")) << any;
  }
}

TEST(SettingsTest, ASpecificAddressLetsOnlyItselfIn) {
  EXPECT_TRUE(Allows("192.168.0.7", "192.168.0.7"));
  EXPECT_FALSE(Allows("192.168.0.7", "192.168.0.8"));
  EXPECT_FALSE(Allows("192.168.0.7", "7.0.168.192")) << "byte order";
}

TEST(SettingsTest, TextThatIsNoAddressLetsNobodyIn) {
  for (const char* bad : {"192.168.0", "any", "192.168.0.7 ", "300.1.1.1"}) {
    EXPECT_FALSE(Allows(bad, "192.168.0.7")) << bad;
  }
}

}  // namespace
