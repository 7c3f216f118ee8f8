// The permitted-address rule, and the status text that names a peer.
#include "net/net.h"

#include <gtest/gtest.h>

namespace {

uint32_t Address(const char *text)
{
    return inet_addr(text);
}

TEST(PermittedAddresses, EmptyListPermitsEveryone)
{
    EXPECT_TRUE(PeerPermitted(Address("192.168.0.20"), 0, 0, 0));
    EXPECT_TRUE(PeerPermitted(Address("127.0.0.1"), 0, 0, 0));
}

TEST(PermittedAddresses, AnySlotMatches)
{
    uint32_t a = Address("192.168.0.5"), b = Address("10.0.0.7"), c = Address("172.16.1.1");
    EXPECT_TRUE(PeerPermitted(a, a, b, c));
    EXPECT_TRUE(PeerPermitted(b, a, b, c));
    EXPECT_TRUE(PeerPermitted(c, a, b, c));
    EXPECT_FALSE(PeerPermitted(Address("192.168.0.6"), a, b, c));
}

TEST(PermittedAddresses, OneSlotSetRefusesTheRest)
{
    uint32_t permitted = Address("192.168.0.5");
    EXPECT_TRUE(PeerPermitted(permitted, 0, permitted, 0));
    EXPECT_FALSE(PeerPermitted(Address("192.168.0.6"), 0, permitted, 0));
}

// An empty slot beside a set one must not let in a peer whose address reads
// as 0 (0.0.0.0).
TEST(PermittedAddresses, AnEmptySlotNeverMatches)
{
    EXPECT_FALSE(PeerPermitted(0, Address("192.168.0.5"), 0, 0));
}

// The address is compared in network order, as accept gives it: a rule
// that swapped bytes would let in 5.0.168.192 for 192.168.0.5.
TEST(PermittedAddresses, ByteOrderMatters)
{
    EXPECT_FALSE(PeerPermitted(Address("5.0.168.192"), Address("192.168.0.5"), 0, 0));
}

TEST(PeerText, FirstOctetFirstWithoutLeadingZeros)
{
    char text[PeerTextCapacity];
    FormatPeerText(Address("192.168.0.20"), text, sizeof text);
    EXPECT_STREQ(text, "Connection - 192.168.0.20");
    FormatPeerText(Address("10.0.0.7"), text, sizeof text);
    EXPECT_STREQ(text, "Connection - 10.0.0.7");
}

TEST(PeerText, TheLongestAddressFits)
{
    char text[PeerTextCapacity];
    FormatPeerText(Address("255.255.255.254"), text, sizeof text);
    EXPECT_STREQ(text, "Connection - 255.255.255.254");
}

}  // namespace
