"""RFC 2217 mode (RFC2217=1 in [DATA]): each connection speaks the Telnet
COM Port Control Option, Quillmar being the side that owns the port. The
peer is pyserial's own RFC 2217 client, never one of ours; where it cannot
play the part (a listener for client mode, hostile bytes) the test sends a
few Telnet bytes by hand. Without the mode, raw means raw: the same client's
negotiation reaches the port as data."""
import hashlib
import os
import random
import socket
import struct
import termios
import threading
import time

import pytest
import serial

from harness import (ACCEPT_WAITING, DEFAULT_TIMEOUT, IDOK, LOOPBACK, PEER, PORT_PART, SERIAL, SERIAL_CAPTION,
                     STATUS_TEXT, PeerServer,
                     connect_peer, free_tcp_port, receive, receive_quiet, send_in_background, wait_for)

IAC, SB, SE, WILL, WONT, DO, DONT = 255, 250, 240, 251, 252, 253, 254
BINARY, COM_PORT_OPTION = 0, 44
SET_BAUDRATE, SERVER_OFFSET = 1, 100
MIB = 1 << 20

# pyserial's client calls threading's old setters.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning:serial.rfc2217")

# The user's line in Quillmar.ini: what the port returns to when a peer leaves.
USER_LINE = dict(BPS=19200, BIT=8, PARI=0, STOP=0, FLOW=0)
SPEEDS = {getattr(termios, f"B{rate}"): rate for rate in (9600, 19200, 57600, 115200)}

# Every byte value, runs of 0xFF, and data that would be commands if a side
# forgot to double or undouble an IAC (IAC SB 44 1 ... IAC SE, IAC DONT).
EVERY_VALUE = (bytes(range(256)) + b"\xff" * 300 + bytes(range(255, -1, -1)) +
               bytes([IAC, SB, COM_PORT_OPTION, SET_BAUDRATE, 0, 0, 0x4b, 0, IAC, SE, IAC, DONT, BINARY, IAC]))


def pty_line(device):
    """What the pty holds of the line set on it. A Linux pty keeps the speed,
    CSTOPB, CRTSCTS and the XON/XOFF flags, but forces 8 data bits and no
    parity: those two cannot be read back here."""
    iflag, _, cflag, _, ispeed, ospeed, _ = termios.tcgetattr(device)
    flags = [name for name, set_ in (("ixon", iflag & termios.IXON), ("ixoff", iflag & termios.IXOFF),
                                     ("crtscts", cflag & termios.CRTSCTS)) if set_]
    return {"speed": (SPEEDS.get(ispeed, ispeed), SPEEDS.get(ospeed, ospeed)),
            "stop bits": 2 if cflag & termios.CSTOPB else 1, "flow": "+".join(flags) or "none"}


def wait_line(device, speed, stop_bits=1, flow="none"):
    expected = {"speed": (speed, speed), "stop bits": stop_bits, "flow": flow}
    try:
        wait_for(f"the pty at {expected}", lambda: pty_line(device) == expected, timeout=5)
    except AssertionError as error:
        raise AssertionError(f"{error}; the pty holds {pty_line(device)}") from None


def wait_port_part(quillmar, check, what):
    try:
        wait_for(what, lambda: check(quillmar.status_part(PORT_PART)), timeout=5)
    except AssertionError as error:
        raise AssertionError(f"{error}; part 0 reads {quillmar.status_part(PORT_PART)!r}") from None


def open_client(port, network_timeout=3, **settings):
    """pyserial's RFC 2217 client, connected and negotiated (open raises
    when the server does not take part or refuses a setting)."""
    return serial.serial_for_url(f"rfc2217://{LOOPBACK}:{port}?timeout={network_timeout}",
                                 timeout=DEFAULT_TIMEOUT, **settings)


def read_client(client, count, timeout=DEFAULT_TIMEOUT):
    client.timeout = timeout
    data = client.read(count)
    assert len(data) == count, f"expected {count} bytes at the client, got {len(data)} in {timeout} s; " \
                               f"last bytes: {data[-32:]!r}"
    return data


def assert_same(got, sent, where):
    if got != sent:
        first = next((i for i, (a, b) in enumerate(zip(got, sent)) if a != b), min(len(got), len(sent)))
        raise AssertionError(f"{where}: {len(got)} bytes for {len(sent)} sent, first difference at {first}: "
                             f"got {got[first:first + 16]!r}, sent {sent[first:first + 16]!r}")


def write_in_background(client, data, chunk_size=65536):
    def write():
        try:
            for offset in range(0, len(data), chunk_size):
                client.write(data[offset:offset + chunk_size])
        except serial.SerialException as error:
            thread.error = error

    thread = threading.Thread(target=write, daemon=True)
    thread.error = None
    thread.start()
    return thread


def read_until(peer, marker, timeout=DEFAULT_TIMEOUT):
    """What a raw peer gets up to and including marker."""
    data = bytearray()
    deadline = time.monotonic() + timeout
    while marker not in data:
        left = deadline - time.monotonic()
        assert left > 0, f"no {marker!r} within {timeout} s; got {bytes(data[-80:])!r}"
        peer.settimeout(left)
        try:
            chunk = peer.recv(65536)
        except socket.timeout:
            continue
        assert chunk, f"closed before {marker!r} came; got {bytes(data[-80:])!r}"
        data += chunk
    return bytes(data[:data.index(marker) + len(marker)])


def baud_rate_request(rate, reply=False):
    code = SET_BAUDRATE + (SERVER_OFFSET if reply else 0)
    return bytes([IAC, SB, COM_PORT_OPTION, code]) + struct.pack(">I", rate) + bytes([IAC, SE])


@pytest.fixture
def server(quillmar):
    """Starts the program as a server in RFC 2217 mode (unless told
    otherwise) on the user's line; gives its TCP port."""
    def start(**settings):
        port = free_tcp_port()
        quillmar.write_settings(**dict(USER_LINE, MODE=0, SPORT=port, CONNECT=1, RFC2217=1) | settings)
        quillmar.start()
        quillmar.wait_text(STATUS_TEXT, ACCEPT_WAITING)
        return port
    return start


class TestWithPyserial:
    def test_the_peer_sets_the_line_and_the_users_line_returns_when_it_leaves(self, server, quillmar, ports):
        port = server()
        with open_client(port, baudrate=115200) as client:
            quillmar.wait_text(STATUS_TEXT, PEER)
            wait_line(ports.com1, 115200)
            wait_port_part(quillmar, lambda text: text == "115200 8N1", "part 0 to show 115200 8N1")
            client.baudrate = 57600
            client.stopbits = serial.STOPBITS_TWO
            wait_line(ports.com1, 57600, 2)
            wait_port_part(quillmar, lambda text: text == "57600 8N2", "part 0 to show 57600 8N2")
            client.xonxoff = True
            wait_line(ports.com1, 57600, 2, "ixon+ixoff")
            client.xonxoff = False
            client.rtscts = True
            wait_line(ports.com1, 57600, 2, "crtscts")
            wait_port_part(quillmar, lambda text: text.startswith("57600 8N2"), "part 0 to show 57600 8N2")
            # SERIAL(&R) OK puts the user's line back over the peer's.
            quillmar.automation.command(quillmar.open_dialog(SERIAL, SERIAL_CAPTION), IDOK)
            wait_line(ports.com1, USER_LINE["BPS"])
            wait_port_part(quillmar, lambda text: text == "", "part 0 empty once the user's line is back")
        quillmar.wait_text(STATUS_TEXT, ACCEPT_WAITING)
        wait_line(ports.com1, USER_LINE["BPS"])
        wait_port_part(quillmar, lambda text: text == "", "part 0 empty again")
        quillmar.wait_events(r"The peer set the line: 115200 8N1, flow none",
                             r"The peer set the line: 57600 8N2, flow none",
                             r"The peer set the line: 57600 8N2, flow Xon/Xoff\(x13\)",
                             r"The peer set the line: 57600 8N2, flow hardware\(RTS\)",
                             r"The port's line follows the settings: 19200 8N1, flow none",
                             r"Connection with .+ ended: .+")

    def test_of_two_peers_the_older_owns_the_line_and_then_the_other(self, server, quillmar, ports):
        port = server(MAXPEER=3)
        with open_client(port, baudrate=115200):
            wait_line(ports.com1, 115200)
            # The newer peer hears the line in force, so pyserial reports
            # the speed it asked for as refused instead of silently winning.
            with pytest.raises(ValueError, match="rejected value"):
                open_client(port, baudrate=57600)
            other = open_client(port, baudrate=115200)
            quillmar.wait_text(STATUS_TEXT, f"{PEER} (+1)")
        # The owner left: the line stays for the other, which owns it now.
        quillmar.wait_text(STATUS_TEXT, PEER)
        wait_line(ports.com1, 115200)
        other.baudrate = 57600
        wait_line(ports.com1, 57600)
        other.close()
        wait_line(ports.com1, USER_LINE["BPS"])

    def test_every_byte_value_then_a_mebibyte_each_way_at_once(self, server, ports):
        device = ports.com1
        with open_client(server(), baudrate=USER_LINE["BPS"]) as client:
            client.write(EVERY_VALUE)
            assert_same(receive(device, len(EVERY_VALUE)), EVERY_VALUE, "at the port")
            os.write(device, EVERY_VALUE)
            assert_same(read_client(client, len(EVERY_VALUE)), EVERY_VALUE, "at the client")

            to_port, to_peer = random.randbytes(MIB), random.randbytes(MIB)
            writers = [write_in_background(client, to_port), send_in_background(device, to_peer)]
            at_port = receive(device, MIB, timeout=120)
            at_peer = read_client(client, MIB, timeout=120)
            for writer in writers:
                writer.join(10)
                assert writer.error is None, writer.error
            if hashlib.sha256(at_port).digest() != hashlib.sha256(to_port).digest():
                assert_same(at_port, to_port, "at the port")
            if hashlib.sha256(at_peer).digest() != hashlib.sha256(to_peer).digest():
                assert_same(at_peer, to_peer, "at the client")


def test_without_the_mode_the_clients_negotiation_reaches_the_port_as_data(server, ports):
    port = server(RFC2217=0)
    with pytest.raises(serial.SerialException, match="RFC2217"):
        open_client(port, network_timeout=1)
    at_port = receive_quiet(ports.com1)
    assert at_port.startswith(bytes([IAC])) and bytes([IAC, WILL, COM_PORT_OPTION]) in at_port, \
        f"the port got {at_port!r}"


def test_as_a_client_it_answers_a_peer_that_sets_the_speed(quillmar, ports):
    listener = PeerServer()
    try:
        quillmar.write_settings(**dict(USER_LINE, MODE=1, IP=LOOPBACK, PORT=listener.port, CONNECT=1, RFC2217=1))
        quillmar.start()
        peer = listener.wait_connection()
        peer.settimeout(DEFAULT_TIMEOUT)
        peer.sendall(bytes([IAC, WILL, BINARY, IAC, DO, BINARY, IAC, WILL, COM_PORT_OPTION]))
        read_until(peer, bytes([IAC, DO, COM_PORT_OPTION]))
        peer.sendall(baud_rate_request(115200))
        read_until(peer, baud_rate_request(115200, reply=True))
        wait_line(ports.com1, 115200)
        peer.sendall(b"\xff\xff to the port")
        assert receive(ports.com1, 13) == b"\xff to the port"
        os.write(ports.com1, b"\xff to the peer")
        read_until(peer, b"\xff\xff to the peer")
    finally:
        listener.close()


class Drain:
    """Reads a peer's socket in the background, so that the program's
    answers never fill it, and notes when the program drops the connection."""

    def __init__(self, peer):
        self.peer, self.data, self.closed = peer, bytearray(), False
        self.running = True
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        self.peer.settimeout(0.2)
        while self.running:
            try:
                chunk = self.peer.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                chunk = b""
            if not chunk:
                self.closed = True
                return
            self.data += chunk

    def stop(self):
        self.running = False
        self.thread.join(5)


def test_hostile_peers_get_nothing_to_the_port_and_the_program_serves_on(server, quillmar, ports):
    device = ports.com1
    port = server()
    unknown = range(100, 200)
    flood = (b"".join(bytes([IAC, verb, option]) for _ in range(100) for verb in (WILL, DO, WONT, DONT)
                      for option in unknown) +
             b"".join(bytes([IAC, SB, option, 1, 2, 3, IAC, SE]) for option in unknown))
    cases = [
        ("a subnegotiation without end",
         [baud_rate_request(115200)[:4] + b"A" * 200_000, bytes([IAC, SE]) + b"after"], b"after"),
        ("a flood of unknown options", [flood, b"after"], b"after"),
        # Each piece a chunk of its own: IAC, a command or a subnegotiation cut at a chunk's end.
        ("commands cut at chunk ends",
         [b"one\xff", b"\xfftwo\xff", bytes([WILL, 150]) + b"three\xff",
          bytes([SB, COM_PORT_OPTION, SET_BAUDRATE, 0]), bytes([1, 0xc2, 0, IAC]), bytes([SE]) + b"four"],
         b"one\xfftwothreefour"),
    ]
    for name, pieces, expected in cases:
        peer = connect_peer(port)
        peer.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        quillmar.wait_text(STATUS_TEXT, PEER)
        drain = Drain(peer)
        try:
            for piece in pieces:
                peer.sendall(piece)
                time.sleep(0.1)
        except ConnectionError:
            pass        # dropped in mid-send
        got = bytearray()

        def settled():
            got.extend(receive_quiet(device, quiet=0.1, timeout=1))
            return len(got) >= len(expected) or drain.closed
        try:
            wait_for("the data after the commands at the port, or the connection dropped", settled)
        except AssertionError as error:
            raise AssertionError(f"{name}: {error}; the port got {bytes(got[:80])!r}") from None
        got.extend(receive_quiet(device, quiet=0.3))
        drain.stop()
        peer.close()
        if drain.closed:
            assert bytes(got) == expected[:len(got)], f"{name}: dropped, and the port got {bytes(got[:80])!r}"
            # The reason stays shown until the next peer.
            wait_for(f"{name}: the reason for the drop shown",
                     lambda: quillmar.text(STATUS_TEXT) not in (PEER, ACCEPT_WAITING, ""))
        else:
            assert bytes(got) == expected, f"{name}: the port got {bytes(got[:80])!r} ({len(got)} bytes)"
            if name == "commands cut at chunk ends":
                assert baud_rate_request(115200, reply=True) in drain.data, f"{name}: the peer got {drain.data!r}"
            quillmar.wait_text(STATUS_TEXT, ACCEPT_WAITING)
        assert quillmar.process.poll() is None, f"{name}: the program ended"

    with connect_peer(port) as peer:
        quillmar.wait_text(STATUS_TEXT, PEER)
        peer.sendall(b"\xff\xffstill serving")
        assert receive(device, 14) == b"\xffstill serving"
        os.write(device, b"\xffyes")
        read_until(peer, b"\xff\xffyes")
