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

// Several peers: MAXPEER counts only from 2 to 8; a newcomer replaces the
// peer from its own address, else the oldest; the status text names the
// oldest and counts the others, and fits the longest address.
TEST(SharedPeers, LimitReplacementAndStatusText)
{
    EXPECT_EQ(PeerLimit(0), 1);
    EXPECT_EQ(PeerLimit(2), 2);
    EXPECT_EQ(PeerLimit(8), 8);
    EXPECT_EQ(PeerLimit(9), 1) << "junk serves one peer, as before";
    EXPECT_EQ(PeerLimit(-3), 1);
    const uint32_t served[] = {Address("10.0.0.1"), Address("10.0.0.2"), Address("10.0.0.3")};
    EXPECT_EQ(PeerToReplace(served, 3, Address("10.0.0.2")), 1u);
    EXPECT_EQ(PeerToReplace(served, 3, Address("10.0.0.9")), 0u);
    char text[PeerTextCapacity];
    FormatServedText(Address("10.0.0.1"), 0, text, sizeof text);
    EXPECT_STREQ(text, "Connection - 10.0.0.1");
    FormatServedText(Address("255.255.255.255"), 7, text, sizeof text);
    EXPECT_STREQ(text, "Connection - 255.255.255.255 (+7)");
}

}  // namespace
