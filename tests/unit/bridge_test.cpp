// The bridge's data path against a fake port and a fake peer: bytes both
// ways, a block held while the port is gone, a peer that closes meanwhile, a
// connection that ends while a send waits, Telnet requests in order with the
// data; several peers sharing the port, with the ring and the turns they
// share it by; and the port's hand-over between its owner and the writer.
#include "bridge/bridge.h"
#include "config/config.h"
#include "fakes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>

namespace {

using fake::WaitUntil;

constexpr DWORD LetGoMs = 1000;
const PortLine UserLineOf9600 = {9600, 8, NOPARITY, ONESTOPBIT, FlowNone};

class DataPath : public testing::Test {
protected:
    void SetUp() override
    {
        Settings.DT = 0;    // no time tags in the bytes
        ASSERT_TRUE(bridge.Start());
        port = GiveFakePort();
    }

    void TearDown() override
    {
        bridge.Detach();
        EXPECT_TRUE(bridge.TakePort(LetGoMs));
        EXPECT_TRUE(bridge.Stop(LetGoMs));
    }

    std::shared_ptr<fake::PortScript> GiveFakePort()
    {
        auto script = std::make_shared<fake::PortScript>();
        bridge.GivePort(std::make_unique<fake::Port>(script), UserLineOf9600);
        return script;
    }

    LONG AttachFakePeer(bool telnet = false)
    {
        peer = std::make_shared<fake::PeerScript>();
        return bridge.Attach(std::make_unique<fake::Peer>(peer), telnet);
    }

    // The port goes away, as an unplugged adapter does; the bridge lets go
    // of it once its reader has found out.
    void LosePort()
    {
        port->Remove();
        ASSERT_TRUE(bridge.TakePort(LetGoMs));
    }

    Bridge bridge;
    std::shared_ptr<fake::PortScript> port;
    std::shared_ptr<fake::PeerScript> peer;
};

TEST_F(DataPath, BytesPassBothWaysInOrder)
{
    AttachFakePeer();
    port->Send("from the device ");
    port->Send("in two pieces");
    ASSERT_TRUE(WaitUntil([&] { return peer->Sent() == "from the device in two pieces"; })) << peer->Sent();
    peer->Send(std::string("to the port\0with a NUL", 22));
    ASSERT_TRUE(WaitUntil([&] { return port->Written().size() == 22; })) << port->Written();
    EXPECT_EQ(port->Written(), std::string("to the port\0with a NUL", 22));
    // The counters follow the write they count.
    EXPECT_TRUE(WaitUntil([&] { return bridge.Moved(SerialToLan) == 29 && bridge.Moved(LanToSerial) == 22; }))
        << bridge.Moved(SerialToLan) << " and " << bridge.Moved(LanToSerial) << " bytes counted";
}

TEST_F(DataPath, BytesWithoutAPeerWaitForTheNext)
{
    port->Send("early");
    Sleep(20);
    AttachFakePeer();
    EXPECT_TRUE(WaitUntil([&] { return peer->Sent() == "early"; })) << peer->Sent();
}

// What the peer sends while the port is gone is held, nothing more is
// received meanwhile, and it goes to the next port first, once.
TEST_F(DataPath, ABlockHeldForAGonePortIsWrittenWhenAPortReturns)
{
    AttachFakePeer();
    LosePort();
    peer->Send("held ");
    Sleep(20);
    peer->Send("then the rest");
    auto next = GiveFakePort();
    ASSERT_TRUE(WaitUntil([&] { return next->Written() == "held then the rest"; })) << next->Written();
    EXPECT_EQ(port->Written(), "");
}

TEST_F(DataPath, APeerThatClosesWhileItsBytesWaitForAGonePortEndsItsConnection)
{
    LONG connection = AttachFakePeer();
    LosePort();
    bridge.SetPortRetrying(true);
    peer->Send("nowhere to go");
    peer->Close();
    ASSERT_TRUE(WaitUntil([&] { return bridge.EndOf(connection).reason == EndReason::PortGone; }));
}

// A port that only changes hands takes the rest, and the peer's close is
// told after it.
TEST_F(DataPath, APeerThatClosesWhileThePortChangesHandsIsEndedAfterTheRest)
{
    LONG connection = AttachFakePeer();
    LosePort();
    peer->Send("the rest");
    peer->Close();
    Sleep(20);
    EXPECT_EQ(bridge.EndOf(connection).reason, EndReason::None);
    auto next = GiveFakePort();
    ASSERT_TRUE(WaitUntil([&] { return bridge.EndOf(connection).reason == EndReason::PeerClosed; }));
    EXPECT_EQ(next->Written(), "the rest");
}

// A chunk no peer took waits for the next; a chunk of which a peer took
// some belongs to it, and its rest goes with the connection.
TEST_F(DataPath, AConnectionThatEndsWhileASendWaits)
{
    AttachFakePeer();
    peer->full = true;
    port->Send("for whoever comes");
    Sleep(20);
    bridge.Detach();
    auto first = peer;
    AttachFakePeer();
    ASSERT_TRUE(WaitUntil([&] { return peer->Sent() == "for whoever comes"; })) << peer->Sent();
    EXPECT_EQ(first->Sent(), "");
}

TEST_F(DataPath, ASendThatFailsEndsTheConnectionWithItsError)
{
    LONG connection = AttachFakePeer();
    peer->sendError = WSAECONNABORTED;
    port->Send("x");
    ASSERT_TRUE(WaitUntil([&] { return bridge.EndOf(connection).reason == EndReason::SendFailed; }));
    EXPECT_EQ(bridge.EndOf(connection).error, WSAECONNABORTED);
}

// The data before a line request goes out at the old line, the data after
// it at the new one; the peer hears the value in force.
TEST_F(DataPath, TelnetRequestsApplyInOrderWithTheData)
{
    AttachFakePeer(true);
    const uint8_t baud115200[] = {TelnetIac, TelnetSb, TelnetOptionComPort, ComSetBaudRate, 0, 1, 0xC2, 0,
                                  TelnetIac, TelnetSe};
    peer->Send("before" + std::string(reinterpret_cast<const char *>(baud115200), sizeof baud115200) + "after");
    ASSERT_TRUE(WaitUntil([&] { return port->Written() == "beforeafter"; })) << port->Written();
    std::lock_guard<std::mutex> guard(port->lock);
    EXPECT_EQ(port->log, (std::vector<std::string>{"w:before", "line:115200", "w:after"}));
    const uint8_t reply[] = {TelnetIac, TelnetSb, TelnetOptionComPort, ComSetBaudRate + ComServerOffset, 0, 1, 0xC2,
                             0, TelnetIac, TelnetSe};
    EXPECT_NE(peer->Sent().find(std::string(reinterpret_cast<const char *>(reply), sizeof reply)), std::string::npos);
}

// Several peers: the device's bytes to each, a peer whose socket stays full
// dropped once it falls the whole ring behind while the other gets all; of
// two peers in RFC 2217 mode the older sets the line, the other hears it.
TEST_F(DataPath, SharedPeersGetAllOrAreDroppedAndTheOldestOwnsTheLine)
{
    bridge.SetSharing(true);
    LONG slow = AttachFakePeer(true);
    std::shared_ptr<fake::PeerScript> stalled = peer;
    AttachFakePeer(true);
    stalled->full = true;
    std::string chunk(SerialReadSize, 'x');
    size_t sent = 0;
    while (sent <= FanOutCapacity + SerialReadSize) {
        port->Send(chunk);
        sent += chunk.size();
        ASSERT_TRUE(WaitUntil([&] { return peer->Sent().size() >= sent; })) << peer->Sent().size() << " of " << sent;
    }
    ASSERT_TRUE(WaitUntil([&] { return bridge.EndOf(slow).reason == EndReason::FellBehind; }));
    const uint8_t offers[] = {TelnetIac, TelnetWill, TelnetOptionBinary, TelnetIac, TelnetDo, TelnetOptionBinary};
    EXPECT_EQ(peer->Sent().find('x'), sizeof offers) << "our offers come before the device's bytes";
    EXPECT_EQ(peer->Sent().size() - peer->Sent().find('x'), sent) << "the healthy peer lost bytes";

    bridge.Detach(slow);
    // Now the newer peer is the oldest in RFC 2217 mode: its line applies.
    const uint8_t baud115200[] = {TelnetIac, TelnetSb, TelnetOptionComPort, ComSetBaudRate, 0, 1, 0xC2, 0,
                                  TelnetIac, TelnetSe};
    const std::string request(reinterpret_cast<const char *>(baud115200), sizeof baud115200);
    std::shared_ptr<fake::PeerScript> owner = peer;
    AttachFakePeer(true);
    peer->Send(request);
    const uint8_t kept[] = {TelnetIac, TelnetSb, TelnetOptionComPort, ComSetBaudRate + ComServerOffset, 0, 0, 0x25,
                            0x80, TelnetIac, TelnetSe};
    ASSERT_TRUE(WaitUntil([&] { return peer->Sent().find(std::string(reinterpret_cast<const char *>(kept),
                                                                       sizeof kept)) != std::string::npos; }))
        << "the newer peer hears the 9600 in force";
    owner->Send(request);
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> guard(port->lock);
        return !port->log.empty() && port->log.back() == "line:115200";
    }));
    std::lock_guard<std::mutex> guard(port->lock);
    EXPECT_EQ(std::count(port->log.begin(), port->log.end(), "line:115200"), 1) << "only the owner's request applied";
}

// The ring: each peer takes from its own place; a peer is overrun only by
// more than the ring holds past it; room is what the fastest peer leaves.
TEST(FanOutRing, PeersTakeFromTheirPlacesAndTheFastestSetsTheRoom)
{
    FanOut fan(8);
    fan.Append("abcdef", 6);
    char out[8] = {};
    ASSERT_EQ(fan.Copy(2, out, 3), 3u);
    EXPECT_EQ(std::string(out, 3), "cde");
    EXPECT_EQ(fan.Copy(fan.Head(), out, 8), 0u) << "a new peer starts at the head with nothing";
    EXPECT_EQ(fan.Room(6), 8u);
    EXPECT_EQ(fan.Room(1), 3u) << "a peer still at 1 holds back what may be added";
    EXPECT_FALSE(fan.Overruns(0, 2));
    EXPECT_TRUE(fan.Overruns(0, 3));
    fan.Append("ghij", 4);      // wraps; the peer at 0 has lost 'a' and 'b'
    ASSERT_EQ(fan.Copy(4, out, 8), 6u);
    EXPECT_EQ(std::string(out, 6), "efghij");
    EXPECT_EQ(fan.Copy(0, out, 8), 0u) << "bytes the ring no longer has are never handed out";
}

// Turns: the first with bytes speaks, the others wait in the order they
// came; a speaker keeps the line for its gap, then the longest waiting one
// speaks, and a speaker that wants the line again queues behind them.
TEST(TurnRules, PeersSpeakInTheOrderTheyStartedWaiting)
{
    TurnRule turns;
    turns.Wants(3);
    turns.Wants(1);
    turns.Wants(2);
    turns.Wants(1);
    EXPECT_EQ(turns.Speaker(), 3);
    turns.Heard(1000, 4);
    EXPECT_TRUE(turns.Holding(4999));
    EXPECT_EQ(turns.WaitLimitMs(3000), 2u);
    EXPECT_FALSE(turns.Holding(5000));
    turns.Pass();
    turns.Wants(3);
    EXPECT_EQ(turns.Speaker(), 1);
    turns.Forget(2);
    turns.Pass();
    EXPECT_EQ(turns.Speaker(), 3);
    turns.Forget(3);
    EXPECT_EQ(turns.Speaker(), 0);
    EXPECT_EQ(TurnGapMs(PaceOfLine({9600, 8, NOPARITY, ONESTOPBIT, FlowNone})), 4u) << "3.5 characters of 10 bits";
    EXPECT_EQ(TurnGapMs(PaceOfLine({115200, 8, NOPARITY, ONESTOPBIT, FlowNone})), TurnGapLeastMs);
    EXPECT_EQ(TurnGapMs(PaceOfLine({300, 8, EVENPARITY, TWOSTOPBITS, FlowNone})), TurnGapMostMs);
}

// The hand-over: the owner takes the port while the writer holds nothing,
// waits for a writer that does, and gives way when it does not let go.
TEST(PortLeases, TheOwnerTakesThePortOnlyFromAWriterThatLetsGo)
{
    PortLease lease;
    EXPECT_TRUE(lease.Take(0, nullptr));
    EXPECT_TRUE(lease.Taking());
    EXPECT_FALSE(lease.Acquire()) << "no request starts while the port is taken";
    lease.Give();
    ASSERT_TRUE(lease.Acquire());
    EXPECT_FALSE(lease.Take(20, nullptr)) << "the writer holds it past the limit";
    EXPECT_FALSE(lease.Taking()) << "a take that failed gives the lease back";
    std::thread writer([&] {
        Sleep(20);
        lease.Release();
    });
    EXPECT_TRUE(lease.Take(LetGoMs, nullptr)) << "the writer let go within the limit";
    writer.join();
    lease.Give();
}

}  // namespace
