"""The socket dialog's values in use: the next server listens on the new
listening port and admits the new permitted addresses, the next client
connects to the new address and port, and a connection that is up when the
dialog changes them goes on untouched. TCP on loopback only, free ports."""
import pytest

from harness import (CLOSE, CONNECT, IDOK, LOOPBACK, SECOND_HOST, STATUS_TEXT, PeerServer, R, closed_by_other_side,
                     connect_peer, free_tcp_port, wait_for)

SOCK = R.IDM_SOCK
CAPTION = "Quillmar： Socket"
DEST_PORT, DEST_ADDRESS, SERVER, CLIENT, LISTEN_PORT = (R.IDC_SOCK_DEST_PORT, R.IDC_SOCK_DEST_ADDRESS,
                                                        R.IDC_SOCK_SERVER, R.IDC_SOCK_CLIENT,
                                                        R.IDC_SOCK_LISTEN_PORT)
PERMIT1 = R.IDC_SOCK_PERMIT1
LISTENING = "Accept Waiting ・・・"
CONNECTED = "Connection - "
# How long a connection that should stay open is watched.
STAYS_OPEN_SECONDS = 1.0


@pytest.fixture
def peer_servers():
    """TCP servers of the test's on free loopback ports, closed after."""
    servers = []

    def make():
        servers.append(PeerServer())
        return servers[-1]
    yield make
    for server in servers:
        server.close()


def set_socket_settings(quillmar, automation, server, port=None, listen_port=None, address=None, permit=None):
    dialog = quillmar.open_dialog(SOCK, CAPTION)
    automation.click(dialog, SERVER if server else CLIENT)
    wait_for("the mode chosen", lambda: automation.checked(dialog, SERVER if server else CLIENT) == 1)
    if port is not None:
        automation.set_text(dialog, DEST_PORT, str(port))
    if listen_port is not None:
        automation.set_text(dialog, LISTEN_PORT, str(listen_port))
    if address is not None:
        automation.set_ip(dialog, DEST_ADDRESS, address)
    if permit is not None:
        automation.set_ip(dialog, PERMIT1, permit)
    automation.click(dialog, IDOK)
    wait_for("the socket dialog to close", lambda: not automation.alive(dialog))


def status(quillmar):
    return quillmar.text(STATUS_TEXT)


def test_the_next_server_listens_on_the_new_listening_port(quillmar, automation, ports):
    port = free_tcp_port()
    quillmar.start()
    set_socket_settings(quillmar, automation, server=True, listen_port=port)
    automation.click(quillmar.window, CONNECT)
    wait_for("the server to listen", lambda: status(quillmar) == LISTENING)
    with connect_peer(port):
        wait_for("the peer to be served", lambda: status(quillmar).startswith(CONNECTED))
        automation.click(quillmar.window, CLOSE)


def test_the_next_server_admits_the_new_permitted_address_only(quillmar, automation, ports):
    port = free_tcp_port()
    quillmar.start()
    set_socket_settings(quillmar, automation, server=True, listen_port=port, permit=SECOND_HOST)
    automation.click(quillmar.window, CONNECT)
    wait_for("the server to listen", lambda: status(quillmar) == LISTENING)
    with connect_peer(port, source=LOOPBACK) as stranger:
        assert closed_by_other_side(stranger), "a peer that is not permitted is let go again"
    with connect_peer(port, source=SECOND_HOST):
        wait_for("the permitted peer to be served", lambda: status(quillmar).startswith(CONNECTED))
        automation.click(quillmar.window, CLOSE)


def test_the_next_client_connects_to_the_new_address_and_port(quillmar, automation, ports, peer_servers):
    server = peer_servers()
    quillmar.start()
    set_socket_settings(quillmar, automation, server=False, port=server.port, address=LOOPBACK)
    automation.click(quillmar.window, CONNECT)
    server.wait_connection()
    wait_for("the client to be connected", lambda: status(quillmar) == CONNECTED + LOOPBACK)
    automation.click(quillmar.window, CLOSE)


def test_a_connection_that_is_up_is_not_touched(quillmar, automation, ports, peer_servers):
    first, second = peer_servers(), peer_servers()
    quillmar.start()
    set_socket_settings(quillmar, automation, server=False, port=first.port, address=LOOPBACK)
    automation.click(quillmar.window, CONNECT)
    peer = first.wait_connection()
    wait_for("the client to be connected", lambda: status(quillmar) == CONNECTED + LOOPBACK)
    set_socket_settings(quillmar, automation, server=False, port=second.port)
    assert status(quillmar) == CONNECTED + LOOPBACK
    assert not closed_by_other_side(peer, timeout=STAYS_OPEN_SECONDS), "the connection goes on"
    assert not second.connections
    automation.click(quillmar.window, CLOSE)
    assert closed_by_other_side(peer), "Close ends the first connection"
    automation.click(quillmar.window, CONNECT)
    second.wait_connection()
    wait_for("the new connection", lambda: status(quillmar) == CONNECTED + LOOPBACK)
    automation.click(quillmar.window, CLOSE)


def test_a_connection_keeps_the_mode_it_started_in(quillmar, automation, ports, peer_servers):
    server = peer_servers()
    quillmar.write_settings(MODE=1, IP=LOOPBACK, PORT=server.port)
    quillmar.start()
    automation.click(quillmar.window, CONNECT)
    peer = server.wait_connection()
    wait_for("the client to be connected", lambda: status(quillmar) == CONNECTED + LOOPBACK)
    listen_port = free_tcp_port()
    set_socket_settings(quillmar, automation, server=True, listen_port=listen_port)
    peer.close()
    # The client's connection ends as a client's does: idle, Connect ready.
    wait_for("the client to go idle", lambda: status(quillmar) == "Idle")
    assert automation.enabled(quillmar.window, CONNECT) and not automation.enabled(quillmar.window, CLOSE)
    automation.click(quillmar.window, CONNECT)
    wait_for("the server to listen", lambda: status(quillmar) == LISTENING)
    with connect_peer(listen_port):
        wait_for("the peer to be served", lambda: status(quillmar).startswith(CONNECTED))
        automation.click(quillmar.window, CLOSE)
