"""The connection on the real program: a server that serves one permitted
peer at a time, a client that connects and reconnects by itself, the clock in
the status bar, and the ways to end the program in every state."""
import random
import socket
import struct
import time

import pytest

from harness import (ACCEPT_WAITING, ARROWS_LAN_TO_SERIAL, ARROWS_SERIAL_TO_LAN, CLOSE, CONNECT, END, IDLE, LOOPBACK,
                     PEER, RATE_LAN_TO_SERIAL, RATE_SERIAL_TO_LAN, SC_CLOSE, SECOND_HOST, STATUS_TEXT, TIME_PART,
                     VK_ESCAPE, PeerServer, closed_by_other_side, connect_peer, free_tcp_port, receive,
                     reset_while_sending, send_in_background, wait_for)

QUIET = 1.0     # how long a connection that should stay open is watched


def buttons(quillmar):
    return quillmar.enabled(CONNECT), quillmar.enabled(CLOSE)


def start_server(quillmar, **settings):
    port = free_tcp_port()
    quillmar.write_settings(MODE=0, SPORT=port, **settings)
    quillmar.start()
    quillmar.automation.click(quillmar.window, CONNECT)
    quillmar.wait_text(STATUS_TEXT, ACCEPT_WAITING)
    return port


def elapsed(quillmar):
    return quillmar.status_part(TIME_PART)


class TestPeerServerMode:
    def test_a_peer_is_accepted_and_close_ends_the_server(self, quillmar):
        port = start_server(quillmar)
        assert buttons(quillmar) == (False, True)
        peer = connect_peer(port)
        quillmar.wait_text(STATUS_TEXT, PEER)
        assert buttons(quillmar) == (False, True)

        quillmar.automation.click(quillmar.window, CLOSE)
        quillmar.wait_text(STATUS_TEXT, IDLE)
        assert buttons(quillmar) == (True, False)
        assert closed_by_other_side(peer)
        with pytest.raises(ConnectionRefusedError):
            connect_peer(port).close()

    def test_a_peer_that_leaves_makes_way_for_the_next_without_a_click(self, quillmar):
        port = start_server(quillmar)
        first = connect_peer(port)
        quillmar.wait_text(STATUS_TEXT, PEER)
        first.close()
        quillmar.wait_text(STATUS_TEXT, ACCEPT_WAITING)
        assert buttons(quillmar) == (False, True)

        second = connect_peer(port)
        quillmar.wait_text(STATUS_TEXT, PEER)
        assert not closed_by_other_side(second, timeout=QUIET)

    def test_a_peer_that_resets_makes_way_for_the_next(self, quillmar):
        port = start_server(quillmar)
        first = connect_peer(port)
        quillmar.wait_text(STATUS_TEXT, PEER)
        first.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))    # reset, not close
        first.close()
        quillmar.wait_text(STATUS_TEXT, ACCEPT_WAITING)
        second = connect_peer(port)
        quillmar.wait_text(STATUS_TEXT, PEER)
        assert not closed_by_other_side(second, timeout=QUIET)

    def test_a_second_peer_is_turned_away_and_the_first_keeps_its_connection(self, quillmar):
        port = start_server(quillmar)
        first = connect_peer(port)
        quillmar.wait_text(STATUS_TEXT, PEER)
        second = connect_peer(port, source=SECOND_HOST)
        assert closed_by_other_side(second)
        assert quillmar.text(STATUS_TEXT) == PEER
        assert not closed_by_other_side(first, timeout=QUIET)

        # The turned-away peer left no trace: when the first leaves, the
        # server waits again and takes the next.
        first.close()
        quillmar.wait_text(STATUS_TEXT, ACCEPT_WAITING)
        third = connect_peer(port, source=SECOND_HOST)
        quillmar.wait_text(STATUS_TEXT, "Connection - 127.0.0.2")
        third.close()

    def test_only_permitted_addresses_are_served(self, quillmar):
        port = start_server(quillmar, PERMISSIP2="127.0.0.1")
        stranger = connect_peer(port, source=SECOND_HOST)
        assert closed_by_other_side(stranger)
        assert quillmar.text(STATUS_TEXT) == ACCEPT_WAITING

        friend = connect_peer(port)
        quillmar.wait_text(STATUS_TEXT, PEER)
        assert not closed_by_other_side(friend, timeout=QUIET)

    def test_a_port_in_use_shows_the_bind_error_until_close(self, quillmar):
        with socket.socket() as holder:
            holder.bind(("0.0.0.0", 0))
            holder.listen(1)
            quillmar.write_settings(MODE=0, SPORT=holder.getsockname()[1])
            quillmar.start()
            quillmar.automation.click(quillmar.window, CONNECT)
            quillmar.wait_text(STATUS_TEXT, "Bind Error: 10048")
            assert buttons(quillmar) == (False, True)
            quillmar.automation.click(quillmar.window, CLOSE)
            quillmar.wait_text(STATUS_TEXT, IDLE)
            assert buttons(quillmar) == (True, False)


class TestClientMode:
    def test_connects_shows_the_address_as_written_and_goes_idle_when_the_server_leaves(self, quillmar):
        server = PeerServer()
        try:
            # Leading zeros: the text is shown as stored, not as parsed.
            quillmar.write_settings(MODE=1, IP="127.000.000.001", PORT=server.port)
            quillmar.start()
            quillmar.automation.click(quillmar.window, CONNECT)
            connection = server.wait_connection()
            quillmar.wait_text(STATUS_TEXT, "Connection - 127.000.000.001")
            assert buttons(quillmar) == (False, True)
            connection.close()
            quillmar.wait_text(STATUS_TEXT, IDLE)
            assert buttons(quillmar) == (True, False)
        finally:
            server.close()

    def test_a_server_that_resets_while_the_device_sends_leaves_the_error_shown(self, quillmar, ports):
        server = PeerServer()
        try:
            quillmar.write_settings(MODE=1, IP=LOOPBACK, PORT=server.port)
            quillmar.start()
            quillmar.automation.click(quillmar.window, CONNECT)
            peer = server.wait_connection()
            quillmar.wait_text(STATUS_TEXT, "Connection - 127.0.0.1")
            writer = send_in_background(ports.com1, random.randbytes(16 << 20))
            receive(peer, 64 * 1024)
            server.connections.remove(peer)
            reset_while_sending(peer, quillmar)
            assert buttons(quillmar) == (True, False)
            writer.join(0)
        finally:
            server.close()

    def test_a_refused_connect_is_retried_until_a_server_is_there(self, quillmar):
        port = free_tcp_port()
        quillmar.write_settings(MODE=1, IP=LOOPBACK, PORT=port, CONNECT=1)
        quillmar.start()
        time.sleep(1.5)     # several refused attempts
        assert quillmar.text(STATUS_TEXT) in (IDLE, "Connection Request ・・・")
        server = PeerServer(port)
        try:
            server.wait_connection()
            quillmar.wait_text(STATUS_TEXT, "Connection - 127.0.0.1")
        finally:
            server.close()

    def test_a_connection_that_is_dropped_at_once_is_retried_every_tick(self, quillmar):
        server = PeerServer(reset_at_once=True)
        try:
            quillmar.write_settings(MODE=1, IP=LOOPBACK, PORT=server.port, CONNECT=1)
            quillmar.start()
            server.wait_connection()
            time.sleep(3)
            # A tick every 300 ms: about ten attempts, at least half of them.
            assert len(server.connections) >= 5, f"only {len(server.connections)} attempts in 3 s"
        finally:
            server.close()


# Failed starts retried: some thirty attempts in `make test`, two hundred in
# `make soak`.
WATCH_SECONDS, SOAK_WATCH_SECONDS = 10, 60


@pytest.mark.slow
@pytest.mark.parametrize("mode", ["server whose port is taken", "client refused"])
@pytest.mark.parametrize("watch", [WATCH_SECONDS, pytest.param(SOAK_WATCH_SECONDS, marks=pytest.mark.soak)])
def test_failed_starts_retried_hold_no_handles_or_memory(quillmar, mode, watch):
    with socket.socket() as holder:
        holder.bind(("0.0.0.0", 0))
        holder.listen(1)
        port = holder.getsockname()[1]
        if mode == "client refused":
            holder.close()      # nothing listens there any more
            quillmar.write_settings(MODE=1, IP=LOOPBACK, PORT=port, CONNECT=1)
        else:
            quillmar.write_settings(MODE=0, SPORT=port, CONNECT=1)
        quillmar.start()
        time.sleep(5)
        before = quillmar.usage()
        time.sleep(watch)       # an attempt every 300 ms
        after = quillmar.usage()
        assert after["handles"] - before["handles"] <= 2, (before, after)
        assert after["rss"] - before["rss"] <= 2 << 20, (before, after)


class TestClock:
    def test_counts_while_connected_and_keeps_the_last_time_after_close(self, quillmar):
        port = start_server(quillmar, RATE=2)
        peer = connect_peer(port)
        quillmar.wait_text(STATUS_TEXT, PEER)
        wait_for("the first second", lambda: elapsed(quillmar) == "00：00：01", timeout=5)
        wait_for("the second second", lambda: elapsed(quillmar) == "00：00：02", timeout=5)
        # No data has moved: the rate shows 0 and the arrows stay blank.
        wait_for("the rates", lambda: quillmar.text(RATE_LAN_TO_SERIAL) == "   0 byte/s", timeout=5)
        assert quillmar.text(RATE_SERIAL_TO_LAN) == "   0 byte/s"
        assert quillmar.text(ARROWS_LAN_TO_SERIAL) == ""
        assert quillmar.text(ARROWS_SERIAL_TO_LAN) == ""

        quillmar.automation.click(quillmar.window, CLOSE)
        quillmar.wait_text(STATUS_TEXT, IDLE)
        wait_for("the rates to go blank", lambda: quillmar.text(RATE_LAN_TO_SERIAL) == "", timeout=5)
        assert quillmar.text(RATE_SERIAL_TO_LAN) == ""
        last = elapsed(quillmar)
        assert last.startswith("00：00：0")
        time.sleep(1.5)
        assert elapsed(quillmar) == last
        peer.close()

    def test_starts_again_from_the_first_second_with_the_next_peer(self, quillmar):
        port = start_server(quillmar)
        first = connect_peer(port)
        wait_for("three seconds", lambda: elapsed(quillmar) == "00：00：03", timeout=8)
        first.close()
        quillmar.wait_text(STATUS_TEXT, ACCEPT_WAITING)
        time.sleep(1.5)
        assert elapsed(quillmar) == "00：00：03", "the clock stopped with the connection"
        second = connect_peer(port)
        wait_for("the first second of the next peer", lambda: elapsed(quillmar) == "00：00：01", timeout=5)
        second.close()


def end(quillmar, how):
    if how == "END":
        quillmar.command(END)
    elif how == "Esc":
        quillmar.automation.key(quillmar.window, VK_ESCAPE)
    else:
        quillmar.automation.syscommand(quillmar.window, SC_CLOSE)


@pytest.mark.parametrize("how", ["END", "Esc", "close box"])
@pytest.mark.parametrize("state", ["listening", "serving a peer", "client connected", "client retrying"])
def test_the_program_ends_with_exit_code_zero_in_every_state(quillmar, how, state):
    server = PeerServer()
    peer = None
    try:
        if state in ("listening", "serving a peer"):
            port = start_server(quillmar)
            if state == "serving a peer":
                peer = connect_peer(port)
                quillmar.wait_text(STATUS_TEXT, PEER)
        elif state == "client connected":
            quillmar.write_settings(MODE=1, IP=LOOPBACK, PORT=server.port)
            quillmar.start()
            quillmar.automation.click(quillmar.window, CONNECT)
            quillmar.wait_text(STATUS_TEXT, PEER)
        else:
            quillmar.write_settings(MODE=1, IP=LOOPBACK, PORT=free_tcp_port(), CONNECT=1)
            quillmar.start()
            time.sleep(1)
        end(quillmar, how)
        assert quillmar.wait_exit() == 0
    finally:
        if peer is not None:
            peer.close()
        server.close()
