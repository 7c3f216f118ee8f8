// The Telnet side of a connection in RFC 2217 mode, as the access server
// (the side that owns the port): the bytes the peer sends are parted into
// data for the port, answers to its option negotiation and COM-PORT-OPTION
// requests; the bytes for the peer are escaped, and the server's replies
// and notifications are built here.
//
// Pure byte work: no I/O, no windows, no globals; nothing here includes a
// header of the program's. A TelnetSession belongs to one connection and is
// used by one thread at a time (the socket receive thread); the builders
// are free functions any thread may call.
#pragma once

#include <cstddef>
#include <cstdint>

// Telnet (RFC 854, 855) and the options this side knows.
constexpr uint8_t TelnetIac = 255;
constexpr uint8_t TelnetDont = 254;
constexpr uint8_t TelnetDo = 253;
constexpr uint8_t TelnetWont = 252;
constexpr uint8_t TelnetWill = 251;
constexpr uint8_t TelnetSb = 250;
constexpr uint8_t TelnetSe = 240;
constexpr uint8_t TelnetOptionBinary = 0;           // RFC 856
constexpr uint8_t TelnetOptionSuppressGoAhead = 3;  // RFC 858
constexpr uint8_t TelnetOptionComPort = 44;         // RFC 2217

// COM-PORT-OPTION commands, client to server; the server's reply to each is
// the same code plus ComServerOffset.
enum ComCommand : uint8_t {
    ComSignature = 0,
    ComSetBaudRate = 1,
    ComSetDataSize = 2,
    ComSetParity = 3,
    ComSetStopSize = 4,
    ComSetControl = 5,
    ComNotifyLineState = 6,
    ComNotifyModemState = 7,
    ComFlowControlSuspend = 8,
    ComFlowControlResume = 9,
    ComSetLineStateMask = 10,
    ComSetModemStateMask = 11,
    ComPurgeData = 12,
};
constexpr uint8_t ComServerOffset = 100;

// One complete COM-PORT-OPTION request from the peer. value: the baud rate
// for SET-BAUDRATE (sent as 4 bytes, network order), the one value byte for
// the others, 0 when the request carried none (SIGNATURE asks for ours with
// no text; a text the peer sends as its own signature is dropped;
// NOTIFY-LINESTATE or NOTIFY-MODEMSTATE without a value polls for the state).
struct ComRequest {
    ComCommand command;
    uint32_t value;
};

// Why a decoding call returned.
enum class TelnetStep {
    NeedMore,   // the input is used up
    Request,    // a COM-PORT-OPTION request is complete: apply it, reply, go on
    Flush,      // the answers to send fill the output: send them, go on
    Fault,      // the peer broke the protocol: drop the connection
};

// Longest subnegotiation body kept; a longer one is a fault (no peer needs
// more than a signature of this length).
constexpr size_t TelnetSubnegotiationCapacity = 64;
// Room for the answers one decoding call may produce.
constexpr size_t TelnetAnswerCapacity = 64;

struct TelnetSession {
    // Parser and option state; the decoder's own.
    uint8_t state;
    uint8_t command;            // the negotiation verb (WILL..DONT) being read
    uint8_t sub[TelnetSubnegotiationCapacity];
    size_t subLength;
    const char *fault;          // once the peer broke the protocol: why (every later call ends so)
    uint8_t usEnabled[256 / 8];     // options this side has enabled (WILL agreed)
    uint8_t themEnabled[256 / 8];   // options the peer has enabled (DO agreed)
    uint8_t usAsked[256 / 8];       // our WILL sent and not yet answered
    uint8_t themAsked[256 / 8];     // our DO sent and not yet answered
};

// What one decoding call produced. data is the caller's, with room for as
// many bytes as the call is given; answers are the decoder's.
struct TelnetOutput {
    uint8_t *data;
    size_t dataLength;
    uint8_t answers[TelnetAnswerCapacity];
    size_t answerLength;
    ComRequest request;         // set with TelnetStep::Request
    const char *fault;          // set with TelnetStep::Fault: the status text's reason
};

// A fresh session for a new connection. Writes to greeting the server's
// opening offers (WILL and DO BINARY) and returns their length; greeting
// has room for TelnetAnswerCapacity bytes.
size_t StartTelnetSession(TelnetSession &session, uint8_t *greeting);

// Decodes bytes from the peer, from where the last call left off. Returns
// how many of the count bytes it used, and why it stopped; output.data gets
// the data bytes (a doubled IAC as one 255), output.answers the answers to
// send before anything else goes to the peer. Call again with the rest.
size_t DecodeFromPeer(TelnetSession &session, const uint8_t *input, size_t count, TelnetOutput &output,
                      TelnetStep &step);

// Escapes data for the peer: every 255 doubled. output has room for
// 2 * count bytes; returns the length written.
size_t EscapeForPeer(const uint8_t *input, size_t count, uint8_t *output);
// How many bytes of data the first escapedLength bytes of EscapeForPeer's
// output stand for (a lone half of a doubled 255 counts for none).
size_t DataBytesInEscaped(const uint8_t *escaped, size_t escapedLength);

// The server's reply to a request, carrying the value in force: 4 bytes for
// SET-BAUDRATE, none for FLOWCONTROL-SUSPEND/RESUME, 1 for the others.
// Returns the length, 0 when capacity is too small (and for SIGNATURE, whose
// reply BuildSignatureReply builds, or a command past PURGE-DATA).
size_t BuildComReply(ComCommand command, uint32_t value, uint8_t *output, size_t capacity);
// The reply to SIGNATURE: the text, its 255s doubled.
size_t BuildSignatureReply(const char *text, uint8_t *output, size_t capacity);
// NOTIFY-LINESTATE or NOTIFY-MODEMSTATE (server codes 106, 107) with state.
size_t BuildComNotify(ComCommand notify, uint8_t state, uint8_t *output, size_t capacity);
