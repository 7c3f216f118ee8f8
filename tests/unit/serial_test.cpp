// The port state record for every flow mode, the flow lines each mode moves,
// and the names the port and its events go by.
#include "app/app.h"
#include "config/config.h"
#include "bridge/bridge.h"
#include "serial/serial.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>

namespace {

DCB StateFor(int32_t flow, const DCB &base = DCB{})
{
    return BuildPortState(base, {9600, 8, NOPARITY, ONESTOPBIT, flow});
}

TEST(PortState, DefaultsGiveEightNoneOneWithoutFlowControl)
{
    DCB state = StateFor(FlowNone);
    EXPECT_EQ(state.DCBlength, sizeof(DCB));
    EXPECT_EQ(state.BaudRate, 9600u);
    EXPECT_EQ(state.ByteSize, 8);
    EXPECT_EQ(state.Parity, NOPARITY);
    EXPECT_EQ(state.StopBits, ONESTOPBIT);
    EXPECT_EQ(state.fBinary, 1u);
    EXPECT_EQ(state.fParity, 1u) << "parity checking is on even with no parity";
    EXPECT_EQ(state.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(state.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(state.fOutxCtsFlow | state.fOutxDsrFlow | state.fOutX | state.fInX, 0u);
    EXPECT_EQ(state.XonLim, 0);
    EXPECT_EQ(state.XoffLim, 0);
    EXPECT_EQ(state.EvtChar, 0);
}

// The record starts from what the driver reports; whatever another program
// left there, every field this program has a word on gets its value, and
// in every mode the two flow characters differ (drivers refuse two equal).
TEST(PortState, TheDriversLeftoversNeverReachTheLine)
{
    DCB leftovers;
    memset(&leftovers, 0xFF, sizeof leftovers);
    for (int32_t flow : {int32_t{FlowNone}, int32_t{FlowRtsCts}, int32_t{FlowDtrDsr}, int32_t{FlowXonXoff}, 5}) {
        DCB state = StateFor(flow, leftovers);
        EXPECT_EQ(state.DCBlength, sizeof(DCB));
        EXPECT_EQ(state.fDsrSensitivity | state.fErrorChar | state.fNull | state.fAbortOnError, 0u) << flow;
        EXPECT_EQ(state.fTXContinueOnXoff, 1u) << "an XOFF we send must not stop our output";
        EXPECT_EQ(state.ErrorChar | state.EofChar, 0) << flow;
        EXPECT_EQ(state.XonChar, 0x11) << flow;
        EXPECT_EQ(state.XoffChar, 0x13) << flow;
        EXPECT_EQ(state.ByteSize, 8);
        EXPECT_EQ(state.StopBits, ONESTOPBIT);
    }
}

TEST(PortState, HardwareModesWatchTheirInputLine)
{
    DCB rts = StateFor(FlowRtsCts);
    EXPECT_EQ(rts.fOutxCtsFlow, 1u);
    EXPECT_EQ(rts.fOutxDsrFlow, 0u);
    DCB dtr = StateFor(FlowDtrDsr);
    EXPECT_EQ(dtr.fOutxCtsFlow, 0u);
    EXPECT_EQ(dtr.fOutxDsrFlow, 1u);
    for (const DCB &state : {rts, dtr}) {
        // The program moves RTS or DTR itself; the driver never does.
        EXPECT_EQ(state.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
        EXPECT_EQ(state.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
        EXPECT_EQ(state.fOutX, 0u);
        EXPECT_EQ(state.XonLim, 0);
    }
}

TEST(PortState, XonXoffModesDifferOnlyInTheXoffCharacter)
{
    DCB low = StateFor(FlowXonXoff);
    DCB high = StateFor(FlowXonXoffHigh);
    for (const DCB &state : {low, high}) {
        EXPECT_EQ(state.fOutX, 1u);
        EXPECT_EQ(state.fInX, 1u);
        EXPECT_EQ(state.XonLim, 2048);
        EXPECT_EQ(state.XoffLim, 2048);
        EXPECT_EQ(state.XonChar, 0x11);
        EXPECT_EQ(state.fOutxCtsFlow, 0u);
        EXPECT_EQ(state.fOutxDsrFlow, 0u);
    }
    EXPECT_EQ(static_cast<unsigned char>(low.XoffChar), 0x13);
    EXPECT_EQ(static_cast<unsigned char>(low.EvtChar), 0x13);
    EXPECT_EQ(static_cast<unsigned char>(high.XoffChar), 0x93);
    EXPECT_EQ(static_cast<unsigned char>(high.EvtChar), 0x93);
}

TEST(PortState, LineSettingsPassUnchanged)
{
    DCB state = BuildPortState(DCB{}, {460800, 7, EVENPARITY, TWOSTOPBITS, FlowNone});
    EXPECT_EQ(state.BaudRate, 460800u);
    EXPECT_EQ(state.ByteSize, 7);
    EXPECT_EQ(state.Parity, EVENPARITY);
    EXPECT_EQ(state.StopBits, TWOSTOPBITS);
}

// A read ends after 3.5 character times of quiet (at least the driver's
// 1 ms), or with 2 ms of line time in hand (at least a byte).
TEST(LinePace, QuietTimeAndChunkFollowTheCharacterTime)
{
    struct Case {
        PortLine line;
        DWORD quietMs;
        DWORD gatherBytes;
    } cases[] = {
        {{9600, 8, NOPARITY, ONESTOPBIT, FlowNone}, 4, 1},          // 10 bits: 1.04 ms a character
        {{460800, 8, NOPARITY, ONESTOPBIT, FlowNone}, 1, 92},
        {{115200, 8, EVENPARITY, TWOSTOPBITS, FlowNone}, 1, 19},     // 12 bits
        {{1200, 7, EVENPARITY, ONESTOPBIT, FlowNone}, 30, 1},        // 10 bits: 8.3 ms a character
        {{50, 5, NOPARITY, ONE5STOPBITS, FlowNone}, 525, 1},         // 7.5 bits
        {{0, 8, NOPARITY, ONESTOPBIT, FlowNone}, 35000, 1},          // no speed: slow, never a division by 0
    };
    for (const Case &c : cases) {
        LinePace pace = PaceOfLine(c.line);
        EXPECT_EQ(pace.quietMs, c.quietMs) << c.line.bps;
        EXPECT_EQ(pace.gatherBytes, c.gatherBytes) << c.line.bps;
        COMMTIMEOUTS timeouts = PortTimeouts(pace);
        EXPECT_EQ(timeouts.ReadIntervalTimeout, c.quietMs);
        EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier | timeouts.ReadTotalTimeoutConstant |
                      timeouts.WriteTotalTimeoutMultiplier | timeouts.WriteTotalTimeoutConstant, 0u)
            << "no total time-out ends a read early or a write at all";
    }
    EXPECT_EQ(PaceOfLine({INT32_MAX, 5, NOPARITY, ONESTOPBIT, FlowNone}).gatherBytes, InputQueueSize);
}

TEST(FlowLines, OnlyTheHardwareModesMoveALine)
{
    EXPECT_EQ(FlowLineFunction(FlowRtsCts, true), static_cast<DWORD>(SETRTS));
    EXPECT_EQ(FlowLineFunction(FlowRtsCts, false), static_cast<DWORD>(CLRRTS));
    EXPECT_EQ(FlowLineFunction(FlowDtrDsr, true), static_cast<DWORD>(SETDTR));
    EXPECT_EQ(FlowLineFunction(FlowDtrDsr, false), static_cast<DWORD>(CLRDTR));
    for (int32_t flow : {int32_t{FlowNone}, int32_t{FlowXonXoff}, int32_t{FlowXonXoffHigh}, -1, 5}) {
        EXPECT_EQ(FlowLineFunction(flow, true), 0u) << flow;
        EXPECT_EQ(FlowLineFunction(flow, false), 0u) << flow;
    }
}

TEST(PortNames, TheTableServesComOneToSixAndTheDeviceNamespaceTheRest)
{
    char name[PortNameCapacity];
    ASSERT_TRUE(PortDeviceName(0, name, sizeof name));
    EXPECT_STREQ(name, "com1");
    ASSERT_TRUE(PortDeviceName(5, name, sizeof name));
    EXPECT_STREQ(name, "com6");
    ASSERT_TRUE(PortDeviceName(6, name, sizeof name));
    EXPECT_STREQ(name, "\\\\.\\COM7");
    ASSERT_TRUE(PortDeviceName(255, name, sizeof name));
    EXPECT_STREQ(name, "\\\\.\\COM256");
}

TEST(PortNames, ValuesThatNameNoPortAreRefused)
{
    char name[PortNameCapacity] = "untouched";
    for (int com : {-1, 256, 100000, INT32_MIN, INT32_MAX})
        EXPECT_FALSE(PortDeviceName(com, name, sizeof name)) << com;
}

// A port is given up for lost only when the device is gone, never for a
// request that is under way, was cancelled by us or timed out; a request
// the driver aborted of its own accord is a port letting go.
TEST(PortErrors, OnlyAGoneDeviceMeansLost)
{
    const DWORD notLost[] = {ERROR_IO_PENDING, ERROR_IO_INCOMPLETE, ERROR_TIMEOUT, ERROR_SEM_TIMEOUT, ERROR_SUCCESS};
    for (DWORD error : notLost)
        EXPECT_FALSE(PortErrorMeansLost(error)) << error;
    EXPECT_FALSE(PortErrorMeansLost(ERROR_OPERATION_ABORTED, true));
    EXPECT_TRUE(PortErrorMeansLost(ERROR_OPERATION_ABORTED, false));
    // A pty whose other end closed (under Wine), a removed USB adapter.
    const DWORD lost[] = {ERROR_BROKEN_PIPE, ERROR_NOT_READY, ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND,
                          ERROR_DEVICE_NOT_CONNECTED, ERROR_GEN_FAILURE, ERROR_INVALID_HANDLE};
    for (DWORD error : lost)
        EXPECT_TRUE(PortErrorMeansLost(error)) << error;
}

}  // namespace

namespace {

TEST(FlowHysteresis, DropsAboveSixtyPercentAndRisesAtTenPercent)
{
    EXPECT_EQ(NextFlowStep(false, 4915), FlowHold);
    EXPECT_EQ(NextFlowStep(false, 4916), FlowDrop);
    EXPECT_EQ(NextFlowStep(false, 8192), FlowDrop);
    EXPECT_EQ(NextFlowStep(true, 4916), FlowHold) << "dropped once, not again";
    EXPECT_EQ(NextFlowStep(true, 819), FlowHold);
    EXPECT_EQ(NextFlowStep(true, 818), FlowRaise);
    EXPECT_EQ(NextFlowStep(true, 0), FlowRaise);
    EXPECT_EQ(NextFlowStep(false, 0), FlowHold) << "raised once, not again";
}

TEST(TimeTag, IsTwentyTwoBytesWithBareLineFeeds)
{
    struct tm time = {};
    time.tm_year = 2006 - 1900;
    time.tm_mon = 2;
    time.tm_mday = 15;
    time.tm_hour = 14;
    time.tm_min = 5;
    time.tm_sec = 9;
    char tag[TimeTagCapacity];
    ASSERT_EQ(FormatTimeTag(time, tag, sizeof tag), TimeTagLength);
    EXPECT_EQ(std::string(tag, TimeTagLength), std::string("\n\n2006/03/15 14:05:09\n"));
    time.tm_year = 12026 - 1900;
    EXPECT_EQ(FormatTimeTag(time, tag, sizeof tag), TimeTagLength + 1) << "five-digit years take their place";
}

// A log counts the data bytes of what passed, a tag's bytes not, however
// the chunk was cut.
TEST(TimeTag, DataBytesOfAPieceLeaveOutTheTag)
{
    EXPECT_EQ(DataBytesIn(0, 32, TimeTagLength), 10);
    EXPECT_EQ(DataBytesIn(0, 20, TimeTagLength), 0);
    EXPECT_EQ(DataBytesIn(20, 5, TimeTagLength), 3);
    EXPECT_EQ(DataBytesIn(22, 10, TimeTagLength), 10);
    EXPECT_EQ(DataBytesIn(0, 10, 0), 10);
}

TEST(TimeTag, IsDueOnlyWithBothSwitchesAfterTheQuietTime)
{
    EXPECT_TRUE(TimeTagDue(1, 1, 0));
    EXPECT_FALSE(TimeTagDue(0, 1, 0));
    EXPECT_FALSE(TimeTagDue(1, 0, 0));
    EXPECT_FALSE(TimeTagDue(1, 1, 3));
}

}  // namespace

namespace {

TEST(PeerLine, RequestsChangeTheLineOnlyWithValuesAPortTakes)
{
    const PortLine user = {9600, 8, NOPARITY, ONESTOPBIT, FlowNone};
    struct Case {
        uint8_t command;
        uint32_t value;
        bool changes;
        PortLine after;
        uint32_t reply;
    } cases[] = {
        {1, 115200, true, {115200, 8, NOPARITY, ONESTOPBIT, FlowNone}, 115200},
        {1, 0, false, user, 9600},                          // a query
        {1, 4294967295u, false, user, 9600},
        {2, 7, true, {9600, 7, NOPARITY, ONESTOPBIT, FlowNone}, 7},
        {2, 9, false, user, 8},
        {3, 3, true, {9600, 8, EVENPARITY, ONESTOPBIT, FlowNone}, 3},
        {3, 6, false, user, 1},
        {4, 2, true, {9600, 8, NOPARITY, TWOSTOPBITS, FlowNone}, 2},
        {4, 3, true, {9600, 8, NOPARITY, ONE5STOPBITS, FlowNone}, 3},
        {5, 2, true, {9600, 8, NOPARITY, ONESTOPBIT, FlowXonXoff}, 2},
        {5, 3, true, {9600, 8, NOPARITY, ONESTOPBIT, FlowRtsCts}, 3},
        {5, 16, true, {9600, 8, NOPARITY, ONESTOPBIT, FlowRtsCts}, 16},     // inbound asked, inbound told
        {5, 0, false, user, 1},
        {5, 17, false, user, 1},                            // DCD flow: no such mode here
    };
    for (const Case &c : cases) {
        PortLine line = user;
        EXPECT_EQ(LineWithRequest(line, c.command, c.value), c.changes) << int(c.command) << " " << c.value;
        EXPECT_EQ(line.bps, c.after.bps);
        EXPECT_EQ(line.bits, c.after.bits);
        EXPECT_EQ(line.parity, c.after.parity);
        EXPECT_EQ(line.stopBits, c.after.stopBits);
        EXPECT_EQ(line.flow, c.after.flow);
        EXPECT_EQ(LineReplyValue(line, c.command, c.value), c.reply) << int(c.command) << " " << c.value;
    }
}

TEST(PeerLine, TextNamesSpeedBitsParityAndStopBits)
{
    char text[32];
    FormatPortLine({115200, 8, NOPARITY, ONESTOPBIT, FlowNone}, text, sizeof text);
    EXPECT_STREQ(text, "115200 8N1");
    FormatPortLine({57600, 7, EVENPARITY, TWOSTOPBITS, FlowRtsCts}, text, sizeof text);
    EXPECT_STREQ(text, "57600 7E2");
    FormatPortLine({300, 5, SPACEPARITY, ONE5STOPBITS, FlowNone}, text, sizeof text);
    EXPECT_STREQ(text, "300 5S1.5");
    FormatPortLineAndFlow({57600, 7, EVENPARITY, TWOSTOPBITS, FlowRtsCts}, text, sizeof text);
    EXPECT_STREQ(text, "57600 7E2, flow hardware(RTS)");
}

}  // namespace
