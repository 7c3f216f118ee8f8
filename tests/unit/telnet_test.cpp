// The Telnet codec: a pyserial client's opening exchange, data through the
// escaping both ways, a stream cut anywhere, hostile input, and the bytes
// of the server's replies.
#include "telnet/telnet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <random>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Requests = std::vector<std::pair<int, uint32_t>>;

constexpr uint8_t Iac = TelnetIac, Sb = TelnetSb, Se = TelnetSe;

// What a session made of a stream, over as many calls as it took.
struct Transcript {
    Bytes data, answers;
    Requests requests;
    const char *fault = nullptr;
    size_t flushes = 0;
};

// Feeds bytes as the receive thread would, in pieces of the given lengths
// (the rest in one), calling again after each Request and Flush.
Transcript Feed(TelnetSession &session, const Bytes &bytes, const std::vector<size_t> &pieces = {})
{
    Transcript seen;
    size_t at = 0;
    for (size_t piece = 0; at < bytes.size() && !seen.fault; ++piece) {
        size_t end = piece < pieces.size() ? std::min(bytes.size(), at + pieces[piece]) : bytes.size();
        while (at < end && !seen.fault) {
            Bytes data(end - at);
            TelnetOutput output{data.data()};
            TelnetStep step;
            size_t used = DecodeFromPeer(session, bytes.data() + at, end - at, output, step);
            EXPECT_LE(output.dataLength, used);
            EXPECT_LE(output.answerLength, TelnetAnswerCapacity);
            EXPECT_TRUE(used > 0 || step == TelnetStep::Fault) << "no progress at byte " << at;
            at += used;
            seen.data.insert(seen.data.end(), data.begin(), data.begin() + output.dataLength);
            seen.answers.insert(seen.answers.end(), output.answers, output.answers + output.answerLength);
            if (step == TelnetStep::Request)
                seen.requests.emplace_back(output.request.command, output.request.value);
            seen.flushes += step == TelnetStep::Flush;
            if (step == TelnetStep::Fault)
                seen.fault = output.fault ? output.fault : "(no reason)";
        }
    }
    return seen;
}

TelnetSession Started()
{
    TelnetSession session;
    uint8_t greeting[TelnetAnswerCapacity];
    EXPECT_EQ(StartTelnetSession(session, greeting), 6u);
    EXPECT_EQ(Bytes(greeting, greeting + 6), (Bytes{Iac, TelnetWill, 0, Iac, TelnetDo, 0}));
    return session;
}

Bytes ComRequestBytes(uint8_t command, Bytes value)
{
    Bytes bytes{Iac, Sb, TelnetOptionComPort, command};
    bytes.insert(bytes.end(), value.begin(), value.end());
    bytes.insert(bytes.end(), {Iac, Se});
    return bytes;
}

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// pyserial 3.5 (serial/rfc2217.py, Serial.open): its REQUESTED options in
// list order, its replies to our greeting, then _reconfigure_port at 9600
// 8N1 without flow control, DTR and RTS on, and both purges. It waits for
// DO COM-PORT-OPTION and for each reply to echo the value it sent.
TEST(TelnetPyserial, OpeningExchangeGetsTheAnswersItWaitsFor)
{
    TelnetSession session = Started();
    Bytes negotiation = {Iac, TelnetDo, 1, Iac, TelnetWill, 3, Iac, TelnetDo, 3, Iac, TelnetDo, 44, Iac, TelnetWill, 44,
                         Iac, TelnetDo, 0, Iac, TelnetWill, 0};
    Transcript seen = Feed(session, negotiation);
    EXPECT_EQ(seen.answers, (Bytes{Iac, TelnetWont, 1, Iac, TelnetDo, 3, Iac, TelnetWill, 3, Iac, TelnetWill, 44,
                                   Iac, TelnetDo, 44}))
        << "ECHO refused, SGA and COM-PORT-OPTION accepted both ways, the BINARY replies not answered";

    std::vector<Bytes> sent = {ComRequestBytes(ComSetBaudRate, {0, 0, 0x25, 0x80}), ComRequestBytes(ComSetDataSize, {8}),
                               ComRequestBytes(ComSetParity, {1}), ComRequestBytes(ComSetStopSize, {1}),
                               ComRequestBytes(ComSetControl, {1}), ComRequestBytes(ComSetControl, {8}),
                               ComRequestBytes(ComSetControl, {11}), ComRequestBytes(ComPurgeData, {1}),
                               ComRequestBytes(ComPurgeData, {2})};
    Bytes all;
    for (const Bytes &request : sent)
        all.insert(all.end(), request.begin(), request.end());
    seen = Feed(session, all);
    EXPECT_TRUE(seen.data.empty());
    EXPECT_TRUE(seen.answers.empty());
    EXPECT_EQ(seen.requests,
              (Requests{{1, 9600}, {2, 8}, {3, 1}, {4, 1}, {5, 1}, {5, 8}, {5, 11}, {12, 1}, {12, 2}}));
    for (size_t i = 0; i < sent.size() && i < seen.requests.size(); ++i) {
        Bytes expected = sent[i];
        expected[3] += ComServerOffset;
        uint8_t reply[16];
        size_t length = BuildComReply(static_cast<ComCommand>(seen.requests[i].first), seen.requests[i].second,
                                      reply, sizeof reply);
        EXPECT_EQ(Bytes(reply, reply + length), expected) << "reply " << i;
    }
}

TEST(TelnetData, EveryByteValueSurvivesTheEscapingBothWays)
{
    Bytes all(256), escaped(512);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<uint8_t>(i);
    escaped.resize(EscapeForPeer(all.data(), all.size(), escaped.data()));
    ASSERT_EQ(escaped.size(), 257u);
    EXPECT_EQ(escaped[255], Iac);
    EXPECT_EQ(escaped[256], Iac);
    TelnetSession session = Started();
    Transcript seen = Feed(session, escaped);
    EXPECT_EQ(seen.data, all) << "CR, NUL and LF included: both directions are binary";
    EXPECT_TRUE(seen.answers.empty());
    for (size_t length = 0; length <= escaped.size(); ++length)
        EXPECT_EQ(DataBytesInEscaped(escaped.data(), length), length < 256 ? length : length == 256 ? 255 : 256);
}

TEST(TelnetData, AStreamCutAnywhereDecodesAsWhole)
{
    Bytes stream = Join({{'a', '\r', 0, '\r', '\n', Iac, Iac, 'b'},
                         {Iac, 241, Iac, 242, Iac, 243, Iac, 244, Iac, 245, Iac, 246, Iac, 247, Iac, 248, Iac, 249},
                         {Iac, TelnetDo, 0, Iac, TelnetWill, 24, 'c', Iac, TelnetDo, 3, Iac, TelnetDont, 3},
                         ComRequestBytes(ComSetBaudRate, {0, 1, 0xC2, 0}), {'d', Iac, Iac},
                         {Iac, Sb, 24, 1, Iac, Iac, Iac, Se}, ComRequestBytes(ComSignature, {}),
                         ComRequestBytes(ComSetParity, {Iac, Iac}), {'e'}});
    TelnetSession whole = Started();
    Transcript expected = Feed(whole, stream);
    EXPECT_EQ(expected.data, (Bytes{'a', '\r', 0, '\r', '\n', Iac, 'b', 'c', 'd', Iac, 'e'}));
    EXPECT_EQ(expected.answers, (Bytes{Iac, TelnetDont, 24, Iac, TelnetWill, 3, Iac, TelnetWont, 3}));
    EXPECT_EQ(expected.requests, (Requests{{1, 115200}, {0, 0}, {3, 255}}));

    std::mt19937 random(2217);
    for (int round = 0; round < 50; ++round) {
        std::vector<size_t> pieces(stream.size(), 1);
        if (round > 0)
            for (size_t &piece : pieces)
                piece = std::uniform_int_distribution<size_t>(1, 9)(random);
        TelnetSession session = Started();
        Transcript seen = Feed(session, stream, pieces);
        EXPECT_EQ(seen.data, expected.data) << "round " << round;
        EXPECT_EQ(seen.answers, expected.answers) << "round " << round;
        EXPECT_EQ(seen.requests, expected.requests) << "round " << round;
    }
}

TEST(TelnetNegotiation, AnswersOnlyChangesAndNeverItsOwnOffers)
{
    TelnetSession session = Started();
    Transcript seen = Feed(session, {Iac, TelnetDont, 0, Iac, TelnetWont, 0, Iac, TelnetDont, 5, Iac, TelnetWont, 44});
    EXPECT_TRUE(seen.answers.empty()) << "refusals of our offers, and options already off, get no answer";
    seen = Feed(session, {Iac, TelnetDo, 0, Iac, TelnetDo, 0, Iac, TelnetDont, 0, Iac, TelnetDont, 0,
                          Iac, TelnetWill, 44, Iac, TelnetWill, 44, Iac, TelnetWont, 44, Iac, TelnetDo, 9});
    EXPECT_EQ(seen.answers, (Bytes{Iac, TelnetWill, 0, Iac, TelnetWont, 0, Iac, TelnetDo, 44, Iac, TelnetDont, 44,
                                   Iac, TelnetWont, 9}));
}

TEST(TelnetHostile, FloodsAndOverlongBodiesStayBounded)
{
    TelnetSession session = Started();
    Bytes flood;
    for (int i = 0; i < 100; ++i)
        flood.insert(flood.end(), {Iac, TelnetDo, 77, Iac, TelnetWill, 78});
    Transcript seen = Feed(session, flood);
    EXPECT_EQ(seen.answers.size(), 600u) << "every request refused";
    EXPECT_EQ(seen.flushes, 600 / (TelnetAnswerCapacity / 3 * 3));
    EXPECT_EQ(Bytes(seen.answers.begin(), seen.answers.begin() + 6), (Bytes{Iac, TelnetWont, 77, Iac, TelnetDont, 78}));

    Bytes restarts;
    for (int i = 0; i < 1000; ++i)
        restarts.insert(restarts.end(), {Iac, Sb});
    seen = Feed(session, restarts);
    EXPECT_TRUE(seen.data.empty() && seen.answers.empty() && !seen.fault);

    // A body of exactly the capacity is read (a text signature: dropped);
    // one byte more is a fault, fed whole or in pieces.
    Bytes longest = ComRequestBytes(ComSignature, Bytes(TelnetSubnegotiationCapacity - 2, 'x'));
    seen = Feed(session, Join({longest, {'z'}}));
    EXPECT_EQ(seen.data, Bytes{'z'});
    EXPECT_TRUE(seen.requests.empty() && !seen.fault);
    for (std::vector<size_t> pieces : {std::vector<size_t>{}, std::vector<size_t>(200, 7)}) {
        TelnetSession endless = Started();
        seen = Feed(endless, Join({{'y', Iac, Sb, 5}, Bytes(150, 'x')}), pieces);
        EXPECT_EQ(seen.data, Bytes{'y'});
        ASSERT_TRUE(seen.fault);
        EXPECT_STREQ(seen.fault, "Telnet subnegotiation too long");
        uint8_t more = 'x';
        TelnetOutput output{&more};
        TelnetStep step;
        EXPECT_EQ(DecodeFromPeer(endless, &more, 1, output, step), 0u);
        EXPECT_EQ(step, TelnetStep::Fault) << "a session that faulted stays so";
    }
}

TEST(TelnetHostile, RequestsAreDecodedAsSentOrIgnored)
{
    TelnetSession session = Started();
    Transcript seen = Feed(session, Join({ComRequestBytes(ComSetBaudRate, {0, 0, 0, 0}),
                                          ComRequestBytes(ComSetBaudRate, {Iac, Iac, Iac, Iac, Iac, Iac, Iac, Iac}),
                                          ComRequestBytes(ComNotifyModemState, {}),
                                          ComRequestBytes(ComFlowControlSuspend, {})}));
    EXPECT_EQ(seen.requests, (Requests{{1, 0}, {1, 4294967295u}, {7, 0}, {8, 0}})) << "validation is the caller's";

    seen = Feed(session, Join({ComRequestBytes(ComSetBaudRate, {0, 0, 0x25}), ComRequestBytes(ComSetParity, {}),
                               ComRequestBytes(ComSetParity, {1, 2}), ComRequestBytes(ComFlowControlResume, {0}),
                               ComRequestBytes(13, {1}), ComRequestBytes(101, {0, 0, 0x25, 0x80}),
                               {Iac, Sb, TelnetOptionComPort, Iac, Se, Iac, Sb, 24, 3, 1, Iac, Se},
                               {Iac, Sb, TelnetOptionComPort, 3, Iac, TelnetDo, 5, 'q'}}));
    EXPECT_TRUE(seen.requests.empty()) << "wrong lengths, unknown and server codes, other options";
    EXPECT_EQ(seen.answers, (Bytes{Iac, TelnetWont, 5})) << "a command inside a body breaks it off";
    EXPECT_EQ(seen.data, Bytes{'q'});
    EXPECT_FALSE(seen.fault);
}

TEST(TelnetReplies, BuildTheServerCodesWithValuesEscaped)
{
    uint8_t out[32];
    auto built = [&](size_t length) { return Bytes(out, out + length); };
    EXPECT_EQ(built(BuildComReply(ComSetBaudRate, 115200, out, sizeof out)),
              (Bytes{Iac, Sb, 44, 101, 0x00, 0x01, 0xC2, 0x00, Iac, Se}));
    EXPECT_EQ(built(BuildComReply(ComSetBaudRate, 0xFF0000FF, out, sizeof out)),
              (Bytes{Iac, Sb, 44, 101, Iac, Iac, 0, 0, Iac, Iac, Iac, Se}));
    EXPECT_EQ(built(BuildComReply(ComSetControl, 255, out, sizeof out)), (Bytes{Iac, Sb, 44, 105, Iac, Iac, Iac, Se}));
    EXPECT_EQ(built(BuildComReply(ComFlowControlSuspend, 7, out, sizeof out)), (Bytes{Iac, Sb, 44, 108, Iac, Se}));
    EXPECT_EQ(built(BuildComNotify(ComNotifyModemState, 0xFF, out, sizeof out)),
              (Bytes{Iac, Sb, 44, 107, Iac, Iac, Iac, Se}));
    EXPECT_EQ(built(BuildSignatureReply("Q\xff", out, sizeof out)), (Bytes{Iac, Sb, 44, 100, 'Q', Iac, Iac, Iac, Se}));
    EXPECT_EQ(BuildComReply(ComSetBaudRate, 0xFF0000FF, out, 11), 0u) << "one byte short";
    EXPECT_EQ(BuildComReply(ComSetBaudRate, 0xFF0000FF, out, 12), 12u);
    EXPECT_EQ(BuildComNotify(ComSetParity, 1, out, sizeof out), 0u);
    EXPECT_EQ(BuildComReply(static_cast<ComCommand>(13), 1, out, sizeof out), 0u);
}

}  // namespace
