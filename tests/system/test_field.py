"""Faults of the field on the real program: peers that vanish without a word
(a network namespace whose link is cut), a port that is unplugged and plugged
back, a line held by flow control, and peers that reset while the next one
connects."""
import os
import random
import select
import socket
import struct
import threading
import time

import pytest

from harness import (ACCEPT_WAITING, CLOSE, END, IDLE, IDOK, PEER, PORT_PART, SERIAL, SERIAL_CAPTION, STATUS_TEXT, R,
                     LinkChurn, VanishingHost, assert_flows, connect_peer, free_tcp_port, receive, receive_quiet,
                     send_in_background, wait_for)

# A peer that vanished is given up within this, on a quiet line.
VANISHED_PEER_LIMIT = 30
# SERIAL OK, Close and END answer within a second whatever the line does;
# the rest is the automation's own round trips.
ANSWER_LIMIT = 2.0
# Peers that reset while the next connects: a few rounds in `make test`,
# many in `make soak`.
RESET_CYCLES, SOAK_RESET_CYCLES = 20, 200
ATTEMPTS, ATTEMPT_SECONDS = 20, 5
# END while links change: a few rounds in `make test`, many in `make soak`.
END_CYCLES, SOAK_END_CYCLES = 10, 300
XOFF, XON = b"\x13", b"\x11"
SERIAL_PORT_LIST = R.IDC_SERIAL_PORT
KIB = 1024


@pytest.mark.slow
@pytest.mark.alone
class TestVanishedPeers:
    def test_a_server_drops_a_peer_that_vanished_and_serves_the_next(self, quillmar, ports, vanishing_host):
        port = free_tcp_port()
        quillmar.write_settings(MODE=0, SPORT=port, CONNECT=1)
        quillmar.start()
        quillmar.wait_text(STATUS_TEXT, ACCEPT_WAITING)
        gone = vanishing_host.socket()
        gone.connect((vanishing_host.LOCAL_ADDRESS, port))
        quillmar.wait_text(STATUS_TEXT, "Connection - " + vanishing_host.ADDRESS)
        assert_flows(gone, ports.com1)

        vanishing_host.cut()
        quillmar.wait_text(STATUS_TEXT, ACCEPT_WAITING, timeout=VANISHED_PEER_LIMIT)
        with connect_peer(port) as next_peer:
            quillmar.wait_text(STATUS_TEXT, PEER)
            assert_flows(next_peer, ports.com1)
        gone.close()

    def test_a_client_drops_a_server_that_vanished_and_connects_again(self, quillmar, ports, vanishing_host):
        server = vanishing_host.socket()
        server.bind((vanishing_host.ADDRESS, 0))
        server.listen(4)
        quillmar.write_settings(MODE=1, IP=vanishing_host.ADDRESS, PORT=server.getsockname()[1], CONNECT=1)
        quillmar.start()
        first, _ = server.accept()
        connected = "Connection - " + vanishing_host.ADDRESS
        quillmar.wait_text(STATUS_TEXT, connected)
        assert_flows(first, ports.com1)

        vanishing_host.cut()
        wait_for("the client to give the server up", lambda: quillmar.text(STATUS_TEXT) != connected,
                 timeout=VANISHED_PEER_LIMIT)
        vanishing_host.restore()
        second, _ = server.accept()
        quillmar.wait_text(STATUS_TEXT, connected)
        assert_flows(second, ports.com1)
        for each in (first, second, server):
            each.close()


FIRST_FEW = 100


def test_a_port_that_goes_away_is_reopened_and_nothing_is_lost(bridge, quillmar, automation, ports):
    peer, device = bridge()
    assert_flows(peer, device)
    ports.unplug(1)
    wait_for("the loss in the status bar", lambda: quillmar.status_part(PORT_PART) == "Com1 lost, reopening")

    # A few bytes find the port gone; the rest come while they wait for it.
    meanwhile = random.randbytes(40 * KIB)
    peer.sendall(meanwhile[:FIRST_FEW])
    box, text = automation.wait_message_box()
    assert text == "RS232C Write Error"
    writer = send_in_background(peer, meanwhile[FIRST_FEW:])
    automation.dismiss(box)
    time.sleep(1.5)     # retries find nothing, and say nothing
    assert not quillmar._message_boxes(), "a second box for the same loss"
    assert quillmar.status_part(PORT_PART) == "Com1 lost, reopening"
    # SERIAL OK opens the lost port anew, and says when it cannot.
    dialog = quillmar.open_dialog(SERIAL, SERIAL_CAPTION)
    automation.command(dialog, IDOK)
    box, text = automation.wait_message_box()
    assert text == "Com1 Open Error"
    automation.dismiss(box)
    wait_for("the serial dialog to close", lambda: not automation.alive(dialog))
    assert quillmar.status_part(PORT_PART) == "Com1 lost, reopening"

    device = ports.pty(1)
    assert receive(device, len(meanwhile), timeout=30) == meanwhile
    wait_for("the loss to leave the status bar", lambda: quillmar.status_part(PORT_PART) == "")
    writer.join(10)
    assert quillmar.text(STATUS_TEXT) == PEER, "the connection stayed up"
    assert_flows(peer, device)
    assert not quillmar._message_boxes()


DEVICE_ARRIVAL, DEVICE_REMOVED = 0x8000, 0x8004


def test_the_system_word_that_the_port_was_unplugged_or_plugged_in_is_taken(bridge, quillmar, automation, ports):
    peer, device = bridge()
    # The pty stays open, so only the system's word can tell the program
    # that the adapter is gone; the name then leads nowhere.
    ports.absent_port(1)
    automation.device_change(quillmar.window, DEVICE_REMOVED, "COM2")
    time.sleep(0.5)
    assert quillmar.status_part(PORT_PART) == "", "another port's removal was taken for this one's"
    automation.device_change(quillmar.window, DEVICE_REMOVED, "COM1")
    wait_for("the loss in the status bar", lambda: quillmar.status_part(PORT_PART) == "Com1 lost, reopening")

    device = ports.pty(1)
    automation.device_change(quillmar.window, DEVICE_ARRIVAL, "COM1")
    wait_for("the loss to leave the status bar", lambda: quillmar.status_part(PORT_PART) == "")
    assert_flows(peer, device)
    assert not quillmar._message_boxes()


@pytest.mark.parametrize("action", ["SERIAL OK to another port", "Close", "END"])
def test_a_write_held_by_the_line_gives_way(bridge, quillmar, automation, ports, action):
    com2 = ports.pty(2)
    peer, device = bridge(FLOW=3)
    os.write(device, XOFF)
    data = random.randbytes(64 * KIB)
    writer = send_in_background(peer, data)
    time.sleep(1)       # the port took what its buffer holds; the write waits
    if action == "SERIAL OK to another port":
        dialog = quillmar.open_dialog(SERIAL, SERIAL_CAPTION)
        automation.select(dialog, SERIAL_PORT_LIST, 1)
        started = time.monotonic()
        automation.command(dialog, IDOK)
        wait_for("the serial dialog to close", lambda: not automation.alive(dialog))
    elif action == "Close":
        started = time.monotonic()
        automation.click(quillmar.window, CLOSE)
        quillmar.wait_text(STATUS_TEXT, IDLE)
    else:
        started = time.monotonic()
        quillmar.command(END)
        assert quillmar.wait_exit() == 0
    answered = time.monotonic() - started
    assert answered < ANSWER_LIMIT, f"{action} took {answered:.2f} s"
    if action == "SERIAL OK to another port":
        # What the held port took comes out when it resumes; the rest went
        # to the new port: together, every byte once, in order.
        os.write(device, XON)
        held = receive_quiet(device, quiet=1)
        assert held + receive(com2, len(data) - len(held), timeout=30) == data
    writer.join(10)


@pytest.mark.alone
@pytest.mark.parametrize("cycles", [END_CYCLES, pytest.param(SOAK_END_CYCLES, marks=pytest.mark.soak)])
def test_end_ends_with_status_0_while_links_change(quillmar, ports, cycles):
    """Each round a peer from a host of its own, whose link is cut or
    removed around END, while other links come and go."""
    if os.geteuid() != 0:
        pytest.skip("network namespaces need root")
    with LinkChurn() as churn:
        for cycle in range(cycles):
            host = VanishingHost()
            try:
                port = free_tcp_port()
                quillmar.write_settings(MODE=0, SPORT=port, CONNECT=1)
                quillmar.start()
                quillmar.wait_text(STATUS_TEXT, ACCEPT_WAITING)
                with host.socket() as peer:
                    peer.connect((host.LOCAL_ADDRESS, port))
                    quillmar.wait_text(STATUS_TEXT, "Connection - " + host.ADDRESS)
                    peer.sendall(b"x" * KIB)
                    os.write(ports.com1, b"y" * KIB)
                    (host.cut if cycle % 2 else host.close)()
                    quillmar.command(END)
                    code = quillmar.wait_exit()
                assert code == 0, f"round {cycle}: END ended with status {code}: " + \
                    (quillmar.folder / "quillmar.stderr").read_text(errors="replace")[-2000:]
            finally:
                host.close()
    assert churn.passes > 0, "the links did not change"


@pytest.mark.parametrize("cycles", [RESET_CYCLES, pytest.param(SOAK_RESET_CYCLES, marks=pytest.mark.soak)])
def test_peers_that_reset_while_the_next_connects_get_their_own_bytes(bridge, ports, cycles):
    peer, device = bridge()
    port = peer.getpeername()[1]
    # The device talks all the while: every peer is sent to while it resets.
    streaming = threading.Event()
    talker = threading.Thread(target=talk, args=(device, streaming), daemon=True)
    talker.start()
    try:
        for cycle in range(cycles):
            label = b"%d" % cycle
            # The peer leaves with a reset while its last words are under way
            # and bytes for it are in flight, and the next one connects at once.
            peer.sendall(b"last words " + label)
            peer.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            peer.close()
            peer = serve_next_peer(port, device, label)
            assert receive(peer, 1, timeout=10), f"cycle {label}: the device's bytes did not reach the new peer"
    finally:
        streaming.set()
        talker.join(5)
    peer.close()


def talk(device, stop):
    """Writes to the port's device side until stopped, whether or not
    anyone reads."""
    while not stop.is_set():
        ready = select.select([], [device], [], 0.1)[1]
        if ready:
            os.write(device, b"device talks " * 8)
            time.sleep(0.001)


def serve_next_peer(port, device, label):
    """Connects until the server takes the peer (one that comes before the
    reset is seen is turned away); the device gets at most the last words of
    the peer before, then the new peer's first words whole, and nothing of a
    peer turned away."""
    seen = b""
    for attempt in range(ATTEMPTS):
        hello = b"hello %s.%d" % (label, attempt)
        peer = connect_peer(port)
        peer.sendall(hello)
        deadline = time.monotonic() + ATTEMPT_SECONDS
        while not seen.endswith(hello) and not turned_away(peer) and time.monotonic() < deadline:
            seen += receive_quiet(device, quiet=0.02, timeout=0.1)
        if seen.endswith(hello):
            last_words = seen[:-len(hello)]
            assert (b"last words " + label).startswith(last_words), f"cycle {label}: the device got {seen!r}"
            return peer
        assert turned_away(peer), f"cycle {label}: {hello!r} neither delivered nor turned away"
        peer.close()
    raise AssertionError(f"cycle {label}: no peer was served after the reset; the device got {seen!r}")


def turned_away(peer):
    """True once the other side has closed the connection."""
    readable, _, _ = select.select([peer], [], [], 0)
    if not readable:
        return False
    try:
        return peer.recv(1, socket.MSG_PEEK) == b""
    except ConnectionResetError:
        return True
