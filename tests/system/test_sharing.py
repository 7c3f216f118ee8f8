"""Several peers on one port (MAXPEER 2 to 8): the device's bytes to every
peer, whole; a peer that stops reading dropped, the others untouched; the
peers' records to the device whole, one speaker at a time; the places, the
permitted addresses and the replacement of a peer; the status texts."""
import random
import re
import socket
import struct
import threading
import time

import pytest

from harness import (ACCEPT_WAITING, LOOPBACK, PEER, SECOND_HOST, STATUS_TEXT, closed_by_other_side, connect_peer,
                     free_tcp_port, receive, send_in_background, wait_for)

RING_KIB = 256      # the device's bytes wait this long for the slowest peer


def serve(quillmar, **settings):
    port = free_tcp_port()
    quillmar.write_settings(**dict(dict(MODE=0, SPORT=port, CONNECT=1, MAXPEER=4), **settings))
    quillmar.start()
    quillmar.wait_text(STATUS_TEXT, ACCEPT_WAITING)
    return port


def join(quillmar, port, count, expected_text, source=LOOPBACK):
    """Peers that connect one after another, each seen by the status text."""
    peers = []
    for number in range(count):
        peers.append(connect_peer(port, source=source))
        quillmar.wait_text(STATUS_TEXT, expected_text(len(peers)) if callable(expected_text) else expected_text)
    return peers


def served_text(others):
    return PEER if others == 0 else f"{PEER} (+{others})"


def receive_all(peers, count):
    """Each peer's bytes, read at once from threads of their own."""
    results = [None] * len(peers)

    def read(index):
        try:
            results[index] = receive(peers[index], count, timeout=120)
        except AssertionError as error:
            results[index] = error

    threads = [threading.Thread(target=read, args=(i,), daemon=True) for i in range(len(peers))]
    for thread in threads:
        thread.start()
    return threads, results


def test_every_peer_gets_every_byte_of_the_device_and_the_status_counts_them(quillmar, ports):
    port = serve(quillmar)
    peers = join(quillmar, port, 3, lambda n: served_text(n - 1))
    payload = random.Random(1).randbytes(8 << 20)
    threads, results = receive_all(peers, len(payload))
    writer = send_in_background(ports.com1, payload)
    for thread in threads + [writer]:
        thread.join(180)
    assert writer.error is None
    for index, got in enumerate(results):
        assert isinstance(got, bytes) and got == payload, f"peer {index}: {got if not isinstance(got, bytes) else len(got)}"
    peers[0].close()        # the oldest leaves: the next oldest is named
    quillmar.wait_text(STATUS_TEXT, served_text(1))
    peers[1].close()
    quillmar.wait_text(STATUS_TEXT, PEER)
    # Peers never see each other's bytes.
    peers[2].sendall(b"to the device")
    assert receive(ports.com1, 13) == b"to the device"
    peers[2].setblocking(False)
    with pytest.raises(BlockingIOError):
        peers[2].recv(1)


def test_a_peer_that_stops_reading_is_dropped_and_the_others_lose_nothing(quillmar, ports):
    port = serve(quillmar, MAXPEER=2)
    healthy = connect_peer(port)
    quillmar.wait_text(STATUS_TEXT, PEER)
    stalled = socket.socket()
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    stalled.connect((LOOPBACK, port))
    stalled_name = f"127.0.0.1:{stalled.getsockname()[1]}"
    quillmar.wait_text(STATUS_TEXT, served_text(1))
    # The device streams in steps; the stalled peer must be dropped once a
    # ring's worth and what the sockets hold have gone by, not before.
    step = 32 << 10
    sent = bytearray()
    threads, results = receive_all([healthy], 4 << 20)
    dropped_after = None
    rng = random.Random(2)
    while len(sent) < (4 << 20):
        piece = rng.randbytes(step)
        send_in_background(ports.com1, piece).join(30)
        sent += piece
        if dropped_after is None and "dropped" in quillmar.text(STATUS_TEXT):
            dropped_after = len(sent)
        time.sleep(0.01)
    threads[0].join(60)
    assert results[0] == bytes(sent), "the healthy peer lost bytes"
    text = quillmar.text(STATUS_TEXT)
    assert dropped_after is not None, f"the stalled peer was not dropped; the status reads {text!r}"
    assert RING_KIB << 10 <= dropped_after <= (RING_KIB << 10) + (1 << 20), dropped_after
    assert text == f"Peer {stalled_name} dropped: it fell {RING_KIB} KiB behind"
    quillmar.wait_events(rf"Peer {re.escape(stalled_name)} dropped: it fell {RING_KIB} KiB behind",
                         rf"Connection with {re.escape(stalled_name)} ended: it fell {RING_KIB} KiB "
                                     r"behind; 0 bytes to the port, \d+ bytes to the peer, up \d+ s")
    stalled.close()


def test_records_of_two_peers_reach_the_device_whole_and_in_order(quillmar, ports):
    port = serve(quillmar, MAXPEER=2, BPS=115200)
    peers = join(quillmar, port, 2, lambda n: served_text(n - 1))
    records = {tag: [bytes([tag]) + i.to_bytes(2, "big") + bytes([tag]) * 29 for i in range(200)]
               for tag in (ord("A"), ord("B"))}

    def talk(peer, mine):
        for record in mine:
            peer.sendall(record)
            time.sleep(random.random() * 0.003)

    talkers = [threading.Thread(target=talk, args=(peer, records[tag]), daemon=True)
               for peer, tag in zip(peers, records)]
    for talker in talkers:
        talker.start()
    got = receive(ports.com1, 2 * 200 * 32, timeout=60)
    for talker in talkers:
        talker.join(10)
    seen = {tag: [] for tag in records}
    for offset in range(0, len(got), 32):
        record = got[offset:offset + 32]
        assert record[0] in seen and record[3:] == bytes([record[0]]) * 29, \
            f"record {offset // 32} is cut into: {record!r}"
        seen[record[0]].append(record)
    for tag in records:
        assert seen[tag] == records[tag], f"the records of {chr(tag)} came out of order"


@pytest.mark.parametrize("kick", [0, 1])
def test_places_permitted_addresses_and_replacement(quillmar, kick):
    port = serve(quillmar, MAXPEER=2, KICKOLD=kick, PERMISSIP1="127.0.0.1", PERMISSIP2="127.0.0.2",
                 PERMISSIP3="127.0.0.3")
    first = connect_peer(port)
    quillmar.wait_text(STATUS_TEXT, PEER)
    second = connect_peer(port, source=SECOND_HOST)
    quillmar.wait_text(STATUS_TEXT, served_text(1))
    # Not permitted: closed at once, whatever the places.
    assert closed_by_other_side(connect_peer(port, source="127.0.0.4"))
    newcomer = connect_peer(port, source=SECOND_HOST)
    if not kick:
        assert closed_by_other_side(newcomer)
        quillmar.wait_events(r"Peer 127\.0\.0\.2:\d+ refused: all 2 places are taken")
        return
    # It replaces the peer from its own address; one from a third address
    # replaces the oldest.
    assert closed_by_other_side(second)
    last = connect_peer(port, source="127.0.0.3")
    assert closed_by_other_side(first) and not closed_by_other_side(newcomer, timeout=0.5)
    quillmar.wait_events(r"Connection with 127\.0\.0\.2:\d+ ended: replaced by a newcomer; .*",
                         r"Connection with 127\.0\.0\.1:\d+ ended: replaced by a newcomer; .*")
    quillmar.wait_text(STATUS_TEXT, "Connection - 127.0.0.2 (+1)")
    last.close()
    quillmar.wait_text(STATUS_TEXT, "Connection - 127.0.0.2")


# Peers that connect and reset beside three that stay: some in `make test`,
# 500 in `make soak`.
CYCLES, SOAK_CYCLES = 50, 500


@pytest.mark.slow
@pytest.mark.parametrize("cycles", [CYCLES, pytest.param(SOAK_CYCLES, marks=pytest.mark.soak)])
def test_peers_that_come_and_reset_beside_three_hold_no_handles_or_memory(quillmar, ports, cycles):
    port = serve(quillmar)
    staying = join(quillmar, port, 3, lambda n: served_text(n - 1))

    def come_and_reset(count):
        for _ in range(count):
            peer = connect_peer(port)
            quillmar.wait_text(STATUS_TEXT, served_text(3))
            peer.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            peer.close()
            quillmar.wait_text(STATUS_TEXT, served_text(2))

    come_and_reset(10)
    before = quillmar.usage()
    come_and_reset(cycles)
    after = quillmar.usage()
    assert after["handles"] - before["handles"] <= 2, (before, after)
    assert after["rss"] - before["rss"] <= 2 << 20, (before, after)
    staying[0].sendall(b"still served")
    assert receive(ports.com1, 12) == b"still served"
