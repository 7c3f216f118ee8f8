"""The event history on the real program: what happened and when, one line
per event beside the settings file, read back with the order and times of
the lines; the file turning at its limit; a history that cannot be written;
a burst of refused peers told in few lines while the data flows."""
import os
import random
import re
import socket
import struct
from datetime import datetime, timedelta

from harness import (ACCEPT_WAITING, END, HISTORY, LOOPBACK, OLDER_HISTORY, PEER, PORT_PART, SECOND_HOST,
                     STATUS_TEXT, PeerServer, closed_by_other_side, connect_peer, free_tcp_port, read_history,
                     receive, send_in_background, wait_for)

STARTED, ENDED = r"Quillmar \d+\.\d+ started", r"Quillmar \d+\.\d+ ended"
PORT_OPENED = r"Port COM1 opened: 9600 8N1, flow none"
CLOCKS_DIFFER = timedelta(seconds=1)     # the program's millisecond stamps beside the test's clock


def assert_in_order_and_now(events, since):
    """The lines' times run forward, from the moment the test began to now."""
    times = [at for at, _ in events]
    assert times == sorted(times), f"the times go back: {events}"
    assert since - CLOCKS_DIFFER <= times[0] and times[-1] <= datetime.now() + CLOCKS_DIFFER, \
        f"stamped {times[0]} .. {times[-1]}, the test ran from {since}"


def peer_and_name(port):
    peer = connect_peer(port)
    return peer, rf"127\.0\.0\.1:{peer.getsockname()[1]}"


def test_a_server_tells_its_peers_their_refusals_and_how_each_connection_ended(quillmar, ports):
    since = datetime.now()
    port = free_tcp_port()
    quillmar.write_settings(MODE=0, SPORT=port, CONNECT=1, PERMISSIP1="127.0.0.1")
    quillmar.start()
    quillmar.wait_text(STATUS_TEXT, ACCEPT_WAITING)
    stranger = connect_peer(port, source=SECOND_HOST)
    assert closed_by_other_side(stranger)
    first, first_name = peer_and_name(port)
    quillmar.wait_text(STATUS_TEXT, PEER)
    first.sendall(b"hello")
    assert receive(ports.com1, 5) == b"hello"
    os.write(ports.com1, b"abc")
    assert receive(first, 3) == b"abc"
    first.close()
    quillmar.wait_text(STATUS_TEXT, ACCEPT_WAITING)
    second, second_name = peer_and_name(port)
    quillmar.wait_text(STATUS_TEXT, PEER)
    third, third_name = peer_and_name(port)
    assert closed_by_other_side(third)
    second.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))    # reset, not close
    second.close()
    quillmar.wait_text(STATUS_TEXT, ACCEPT_WAITING)
    last, last_name = peer_and_name(port)
    quillmar.wait_text(STATUS_TEXT, PEER)
    quillmar.command(END)
    assert quillmar.wait_exit() == 0

    nothing = r"0 bytes to the port, 0 bytes to the peer, up \d+ s"
    expected = (STARTED, PORT_OPENED, rf"Listening on TCP port {port}", r"Peer 127\.0\.0\.2:\d+ refused: not permitted",
                rf"Peer {first_name} connected",
                rf"Connection with {first_name} ended: the peer closed it; 5 bytes to the port, 3 bytes to the peer, "
                r"up \d+ s",
                rf"Peer {second_name} connected", rf"Peer {third_name} refused: a peer is already served",
                # The rig's sockets tell a reset as a close; Windows as a reset.
                rf"Connection with {second_name} ended: the peer (reset|closed) it; {nothing}",
                rf"Peer {last_name} connected", rf"Connection with {last_name} ended: END; {nothing}", ENDED)
    events, _ = quillmar.wait_events(*expected)
    assert len(events) == len(expected), "\n".join(text for _, text in events)
    assert_in_order_and_now(events, since)
    for each in (stranger, third, last):
        each.close()


def test_a_client_tells_its_refused_attempts_then_its_connection(quillmar):
    port = free_tcp_port()
    quillmar.write_settings(MODE=1, IP=LOOPBACK, PORT=port, CONNECT=1)
    quillmar.start()
    peer = rf"127\.0\.0\.1:{port}"
    quillmar.wait_events(rf"Connecting to {peer} failed: error 10061")
    server = PeerServer(port)
    try:
        server.wait_connection()
        events, found = quillmar.wait_events(rf"Connecting to {peer} failed: error 10061", rf"Connected to {peer}")
    finally:
        server.close()
    # Attempts beyond the first few are counted, and told before the connection.
    texts = [text for _, text in events[found[0]:found[1]]]
    assert len(texts) <= 4 and all(re.fullmatch(rf"Connecting to {peer} failed(: error 10061| \d+ more times in \d+ s)",
                                                text) for text in texts), texts


def test_a_port_lost_and_back_is_told_with_how_long_it_was_gone_and_saved_settings_too(quillmar, ports):
    quillmar.write_settings()
    quillmar.start()
    quillmar.wait_events(PORT_OPENED)
    ports.unplug(1)
    wait_for("the loss in the status bar", lambda: quillmar.status_part(PORT_PART) == "Com1 lost, reopening")
    ports.pty(1)
    wait_for("the port back", lambda: quillmar.status_part(PORT_PART) == "")
    quillmar.saved_settings()
    events, found = quillmar.wait_events(r"Port COM1 lost: error \d+",
                                         r"Port COM1 back after \d+\.\d s: 9600 8N1, flow none",
                                         r"Settings saved to .+\\Quillmar\.ini")
    (lost_at, _), (back_at, back) = events[found[0]], events[found[1]]
    gone = float(back.split(" after ")[1].split(" s:")[0])
    assert abs(gone - (back_at - lost_at).total_seconds()) < 0.2, (events[found[0]], events[found[1]])


def write_history(path, texts):
    path.write_bytes(b"\xef\xbb\xbf" + "".join(f"2026/01/02 03:04:05.678 {text}\r\n" for text in texts).encode())


def test_at_its_limit_the_history_becomes_the_older_one_and_a_new_one_starts(quillmar):
    line_size, room_left = len("2026/01/02 03:04:05.678 \r\n"), 10     # too little for the first new line
    kept = [f"event {n:04} " + "x" * 90 for n in range(((1 << 20) - 3 - room_left) // (line_size + 101))]
    kept.append("x" * ((1 << 20) - 3 - room_left - sum(len(text) + line_size for text in kept) - line_size))
    write_history(quillmar.folder / HISTORY, kept)
    assert (quillmar.folder / HISTORY).stat().st_size == (1 << 20) - room_left
    write_history(quillmar.folder / OLDER_HISTORY, ["the oldest history, replaced"])
    quillmar.write_settings()
    quillmar.start()
    events, _ = quillmar.wait_events(STARTED, PORT_OPENED)
    assert events[0][1].startswith("Quillmar"), "the new history begins with the program's start"
    assert [text for _, text in read_history(quillmar.folder / OLDER_HISTORY)] == kept


def test_a_history_that_cannot_be_written_is_said_and_the_bridge_goes_on(bridge, quillmar, ports):
    (quillmar.folder / HISTORY).mkdir()     # stands for a folder the program may not write in
    peer, device = bridge()
    wait_for("the word in the status bar", lambda: quillmar.status_part(PORT_PART) == "Event history not written")
    data = random.randbytes(4096)
    peer.sendall(data)
    assert receive(device, len(data)) == data
    os.write(device, data)
    assert receive(peer, len(data)) == data
    assert not quillmar._message_boxes()


REFUSED_PEERS = 1000


def test_a_thousand_refused_peers_take_a_few_lines_and_hold_up_no_data(bridge, quillmar, ports):
    peer, device = bridge()
    port = peer.getpeername()[1]
    data = random.randbytes(4 << 20)
    writer = send_in_background(peer, data)
    for _ in range(REFUSED_PEERS):
        connect_peer(port, source=SECOND_HOST).close()
    assert receive(device, len(data), timeout=60) == data
    writer.join(10)

    def all_told():
        refusals = [text for _, text in read_history(quillmar.folder / HISTORY) if "refused" in text]
        alone = sum(text.startswith("Peer ") for text in refusals)
        counted = sum(int(text.split()[0]) for text in refusals if not text.startswith("Peer "))
        return refusals if alone + counted == REFUSED_PEERS else None

    refusals = wait_for("every refusal told or counted", all_told)
    assert len(refusals) <= 6, refusals
