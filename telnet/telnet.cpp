// The Telnet codec of an RFC 2217 connection, as the access server.
//
// DecodeFromPeer is a byte-at-a-time state machine whose whole state is the
// TelnetSession: a call may end anywhere, even between IAC and the byte
// after it, and the next call goes on from there. It keeps nothing but
// fixed-size fields, writes at most one data byte per byte it reads, and
// each byte moves it forward, so no input can make it grow, spin or turn a
// command into data. The session belongs to the socket receive thread of its
// connection; the builders below it touch nothing but their arguments.
//
// Both directions are binary: the bytes are a serial line's, so CR is data
// like any other byte and the NVT's CR NUL / CR LF rule is never applied,
// even when the peer refuses BINARY.
//
// Option negotiation follows RFC 1143 without its queue: an option is on or
// off for each side, and "asked" marks our own offer still unanswered. A
// request for a state already in force is not answered, nor is the answer
// to our own offer, so two sides following the rules never loop.
#include "telnet.h"

namespace {

// Where the decoder is between two bytes.
enum DecoderState : uint8_t {
    StateData,          // bytes are data
    StateIac,           // IAC seen among data
    StateVerb,          // IAC WILL/WONT/DO/DONT seen: the option follows
    StateSub,           // inside IAC SB ... : bytes are the body
    StateSubIac,        // IAC seen inside the body
    StateFaulted,       // the peer broke the protocol; nothing more is read
};

constexpr size_t NegotiationLength = 3;     // IAC verb option: the size of every answer
constexpr size_t ComHeaderLength = 4;       // IAC SB COM-PORT-OPTION code
constexpr size_t ComTrailerLength = 2;      // IAC SE
constexpr size_t BaudRateLength = 4;        // SET-BAUDRATE's value, network order
constexpr size_t SubHeaderLength = 2;       // the body's option and command bytes

const char *const SubnegotiationTooLong = "Telnet subnegotiation too long";

bool Bit(const uint8_t *set, uint8_t option)
{
    return (set[option / 8] >> (option % 8)) & 1;
}

void SetBit(uint8_t *set, uint8_t option, bool on)
{
    uint8_t mask = static_cast<uint8_t>(1u << (option % 8));
    set[option / 8] = static_cast<uint8_t>(on ? set[option / 8] | mask : set[option / 8] & ~mask);
}

// The options this side agrees to, on either side of the connection: an
// 8-bit path, no go-aheads (asked for by most clients, and a serial line has
// no turns to take), and the com port control itself, which RFC 2217 has
// the client offer with WILL and some clients also ask for with DO.
bool Supported(uint8_t option)
{
    return option == TelnetOptionBinary || option == TelnetOptionSuppressGoAhead || option == TelnetOptionComPort;
}

// Adds a byte to the subnegotiation body; false when the body is full. A
// body longer than the capacity is no request of RFC 2217's: only a peer
// that never ends it sends one.
bool KeepSubByte(TelnetSession &session, uint8_t byte)
{
    if (session.subLength == TelnetSubnegotiationCapacity)
        return false;
    session.sub[session.subLength++] = byte;
    return true;
}

// Ends this call and every later one with the fault.
size_t Faulted(TelnetSession &session, TelnetOutput &output, TelnetStep &step, size_t used)
{
    session.state = StateFaulted;
    session.fault = SubnegotiationTooLong;
    output.fault = session.fault;
    step = TelnetStep::Fault;
    return used;
}

void Answer(TelnetOutput &output, uint8_t verb, uint8_t option)
{
    output.answers[output.answerLength++] = TelnetIac;
    output.answers[output.answerLength++] = verb;
    output.answers[output.answerLength++] = option;
}

// The peer's WILL/WONT (about its side) or DO/DONT (about ours).
void Negotiate(TelnetSession &session, uint8_t verb, uint8_t option, TelnetOutput &output)
{
    bool aboutPeer = verb == TelnetWill || verb == TelnetWont;
    bool wantsOn = verb == TelnetWill || verb == TelnetDo;
    uint8_t *enabled = aboutPeer ? session.themEnabled : session.usEnabled;
    uint8_t *asked = aboutPeer ? session.themAsked : session.usAsked;
    uint8_t yes = aboutPeer ? TelnetDo : TelnetWill;
    uint8_t no = aboutPeer ? TelnetDont : TelnetWont;

    if (Bit(asked, option)) {               // the answer to our own offer
        SetBit(asked, option, false);
        SetBit(enabled, option, wantsOn);
        return;
    }
    if (Bit(enabled, option) == wantsOn)    // already so: answering would start a loop
        return;
    if (!wantsOn) {                         // an enabled option turned off: acknowledge it
        SetBit(enabled, option, false);
        Answer(output, no, option);
        return;
    }
    bool accept = Supported(option);
    SetBit(enabled, option, accept);
    Answer(output, accept ? yes : no, option);
}

// The bytes after IAC SB up to IAC SE. A COM-PORT-OPTION request the server
// can act on fills request and returns true; anything else is dropped
// without a word: an option we refused, a command this side does not know
// (a later extension, or a server's code sent back to us), or a known
// command of the wrong length. A peer that gets no reply reports the time-out
// itself, which says more to its user than a dropped connection would, and
// a value we cannot read is never acted on. Requests count whether or not
// the peer negotiated the option first: the user chose RFC 2217 for this
// connection, so its meaning is never in doubt.
bool ComRequestFrom(const uint8_t *body, size_t length, ComRequest &request)
{
    if (length < SubHeaderLength || body[0] != TelnetOptionComPort)
        return false;
    uint8_t command = body[1];
    const uint8_t *value = body + SubHeaderLength;
    size_t valueLength = length - SubHeaderLength;
    request.command = static_cast<ComCommand>(command);
    request.value = 0;
    switch (command) {
    case ComSignature:
        return valueLength == 0;        // with a text it is the peer's own signature
    case ComSetBaudRate:
        if (valueLength != BaudRateLength)
            return false;
        request.value = static_cast<uint32_t>(value[0]) << 24 | static_cast<uint32_t>(value[1]) << 16 |
                        static_cast<uint32_t>(value[2]) << 8 | value[3];
        return true;
    case ComFlowControlSuspend:
    case ComFlowControlResume:
        return valueLength == 0;
    case ComNotifyLineState:
    case ComNotifyModemState:
        // Without a value: a poll for the state (some clients send it so).
        if (valueLength > 1)
            return false;
        request.value = valueLength == 1 ? value[0] : 0;
        return true;
    case ComSetDataSize:
    case ComSetParity:
    case ComSetStopSize:
    case ComSetControl:
    case ComSetLineStateMask:
    case ComSetModemStateMask:
    case ComPurgeData:
        if (valueLength != 1)
            return false;
        request.value = value[0];
        return true;
    default:
        return false;
    }
}

// How many bytes value takes once its 255s are doubled.
size_t EscapedLength(const uint8_t *value, size_t count)
{
    size_t length = count;
    for (size_t i = 0; i < count; ++i)
        length += value[i] == TelnetIac;
    return length;
}

// IAC SB COM-PORT-OPTION code <value, 255s doubled> IAC SE, or 0 when it
// does not fit.
size_t BuildComSubnegotiation(uint8_t code, const uint8_t *value, size_t count, uint8_t *output, size_t capacity)
{
    size_t length = ComHeaderLength + EscapedLength(value, count) + ComTrailerLength;
    if (length > capacity)
        return 0;
    output[0] = TelnetIac;
    output[1] = TelnetSb;
    output[2] = TelnetOptionComPort;
    output[3] = code;
    size_t at = ComHeaderLength + EscapeForPeer(value, count, output + ComHeaderLength);
    output[at++] = TelnetIac;
    output[at++] = TelnetSe;
    return at;
}

}  // namespace

size_t StartTelnetSession(TelnetSession &session, uint8_t *greeting)
{
    session = TelnetSession{};
    SetBit(session.usAsked, TelnetOptionBinary, true);
    SetBit(session.themAsked, TelnetOptionBinary, true);
    const uint8_t offers[] = {TelnetIac, TelnetWill, TelnetOptionBinary, TelnetIac, TelnetDo, TelnetOptionBinary};
    for (size_t i = 0; i < sizeof offers; ++i)
        greeting[i] = offers[i];
    return sizeof offers;
}

size_t DecodeFromPeer(TelnetSession &session, const uint8_t *input, size_t count, TelnetOutput &output,
                      TelnetStep &step)
{
    output.dataLength = 0;
    output.answerLength = 0;
    output.request = ComRequest{};
    output.fault = nullptr;
    if (session.state == StateFaulted) {
        output.fault = session.fault;
        step = TelnetStep::Fault;
        return 0;
    }
    for (size_t used = 0; used < count;) {
        uint8_t byte = input[used++];
        switch (session.state) {
        case StateData:
            if (byte == TelnetIac)
                session.state = StateIac;
            else
                output.data[output.dataLength++] = byte;
            break;
        case StateIac:
            session.state = StateData;
            if (byte == TelnetIac) {
                output.data[output.dataLength++] = byte;
            } else if (byte >= TelnetWill) {
                session.command = byte;
                session.state = StateVerb;
            } else if (byte == TelnetSb) {
                session.subLength = 0;
                session.state = StateSub;
            }
            // NOP, DM, BRK, IP, AO, AYT, EC, EL, GA mean nothing on a serial
            // line, and a stray SE or a byte that is no command is dropped
            // with its IAC.
            break;
        case StateVerb:
            session.state = StateData;
            Negotiate(session, session.command, byte, output);
            if (TelnetAnswerCapacity - output.answerLength < NegotiationLength) {
                step = TelnetStep::Flush;
                return used;
            }
            break;
        case StateSub:
            if (byte == TelnetIac)
                session.state = StateSubIac;
            else if (!KeepSubByte(session, byte))
                return Faulted(session, output, step, used);
            break;
        case StateSubIac:
            if (byte == TelnetIac) {        // a 255 of the body
                session.state = StateSub;
                if (!KeepSubByte(session, byte))
                    return Faulted(session, output, step, used);
            } else if (byte == TelnetSe) {
                session.state = StateData;
                if (ComRequestFrom(session.sub, session.subLength, output.request)) {
                    step = TelnetStep::Request;
                    return used;
                }
                output.request = ComRequest{};
            } else {
                // Any other command inside a body breaks it off: the part
                // read is never acted on, and the command counts as if it
                // stood outside (IAC SB starts a body afresh).
                session.state = StateIac;
                --used;                     // read it again, as the byte after IAC
            }
            break;
        default:
            break;
        }
    }
    step = TelnetStep::NeedMore;
    return count;
}

size_t EscapeForPeer(const uint8_t *input, size_t count, uint8_t *output)
{
    size_t length = 0;
    for (size_t i = 0; i < count; ++i) {
        output[length++] = input[i];
        if (input[i] == TelnetIac)
            output[length++] = TelnetIac;
    }
    return length;
}

size_t DataBytesInEscaped(const uint8_t *escaped, size_t escapedLength)
{
    size_t data = 0;
    for (size_t i = 0; i < escapedLength; ++data) {
        if (escaped[i] != TelnetIac)
            ++i;
        else if (i + 1 < escapedLength)
            i += 2;
        else
            break;                      // the first half of a doubled 255
    }
    return data;
}

size_t BuildComReply(ComCommand command, uint32_t value, uint8_t *output, size_t capacity)
{
    uint8_t bytes[BaudRateLength];
    size_t count = 1;
    switch (command) {
    case ComSignature:
        return 0;                       // a text: BuildSignatureReply
    case ComSetBaudRate:
        bytes[0] = static_cast<uint8_t>(value >> 24);
        bytes[1] = static_cast<uint8_t>(value >> 16);
        bytes[2] = static_cast<uint8_t>(value >> 8);
        bytes[3] = static_cast<uint8_t>(value);
        count = BaudRateLength;
        break;
    case ComFlowControlSuspend:
    case ComFlowControlResume:
        count = 0;
        break;
    default:
        if (command > ComPurgeData)
            return 0;
        bytes[0] = static_cast<uint8_t>(value);
        break;
    }
    return BuildComSubnegotiation(static_cast<uint8_t>(command + ComServerOffset), bytes, count, output, capacity);
}

size_t BuildSignatureReply(const char *text, uint8_t *output, size_t capacity)
{
    size_t count = 0;
    while (text && text[count])
        ++count;
    return BuildComSubnegotiation(ComSignature + ComServerOffset, reinterpret_cast<const uint8_t *>(text), count,
                                  output, capacity);
}

size_t BuildComNotify(ComCommand notify, uint8_t state, uint8_t *output, size_t capacity)
{
    if (notify != ComNotifyLineState && notify != ComNotifyModemState)
        return 0;
    return BuildComSubnegotiation(static_cast<uint8_t>(notify + ComServerOffset), &state, 1, output, capacity);
}
