"""The serial settings dialog on the real program: what it shows, and what
OK does to the port, the receive thread and the settings. Its port list is
com1..com6, then the ports the system lists as present (the rig lists the
ports the test maps) and the stored one."""
import os
import re
import termios
import time

import pytest

from harness import (ACCEPT_WAITING, IDCANCEL, IDOK, PEER, SAVE, STATUS_TEXT, R, assert_flows, connect_peer,
                     dismiss_line_refusal, free_tcp_port, receive, wait_for)

SERIAL = R.IDM_SERIAL
CAPTION = "Quillmar：  Serial"
PORT, BPS, BITS, PARITY, STOP, FLOW = (R.IDC_SERIAL_PORT, R.IDC_SERIAL_BPS, R.IDC_SERIAL_BITS, R.IDC_SERIAL_PARITY,
                                       R.IDC_SERIAL_STOP, R.IDC_SERIAL_FLOW)
FIXED_PORTS = [f"com{n}" for n in range(1, 7)]
LINE_REFUSED = ("データビットとストップビットの組み合わせが不正です。"
                "5ビットには1または1.5、6～8ビットには1または2のストップビットを選んでください。")
# What a system's list may hold besides port names: a second name for a
# port, names of no port, and data too long for a port name.
NOT_PORTS = {r"\Device\VCP0": "COM9", r"\Device\Zero": "COM0", r"\Device\Far": "COM999",
             r"\Device\Letter": "COMx", r"\Device\Printer": "LPT1", r"\Device\Long": "COM17" + " " * 40}


def open_dialog(quillmar):
    quillmar.command(SERIAL)
    return wait_for("the serial dialog", lambda: quillmar.automation.dialog(CAPTION))


def shown(automation, dialog):
    return {control: automation.text(dialog, control) for control in (PORT, BPS, BITS, PARITY, STOP, FLOW)}


def press(automation, dialog, button):
    automation.command(dialog, button)
    wait_for("the serial dialog to close", lambda: not automation.alive(dialog))


def saved(quillmar):
    quillmar.command(SAVE)
    box, _ = quillmar.automation.wait_message_box()
    quillmar.automation.dismiss(box)
    return dict(re.findall(r"^(\w+)=(.*?)\r?$", quillmar.ini.read_text(), re.M))


@pytest.fixture
def connected(bridge):
    """The program as a server with a peer; gives the peer."""
    return lambda **settings: bridge(**settings)[0]


class TestWhatItShows:
    def test_the_defaults(self, quillmar, automation):
        quillmar.start()
        dialog = open_dialog(quillmar)
        assert shown(automation, dialog) == {PORT: "com1", BPS: "9600", BITS: "8", PARITY: "none", STOP: "1",
                                             FLOW: "none"}
        assert automation.items(dialog, PORT) == FIXED_PORTS
        press(automation, dialog, IDCANCEL)

    def test_each_list_shows_its_field(self, quillmar, automation):
        quillmar.write_settings(BPS=460800, BIT=8, PARI=2, STOP=1, FLOW=3)
        quillmar.start()
        dialog = open_dialog(quillmar)
        assert shown(automation, dialog) == {PORT: "com1", BPS: "460800", BITS: "8", PARITY: "even",
                                             STOP: "1.5", FLOW: "Xon/Xoff(x13)"}
        press(automation, dialog, IDCANCEL)

    def test_values_outside_the_lists_select_nothing_and_ok_keeps_them(self, quillmar, automation):
        quillmar.write_settings(BPS=12345, BIT=9, PARI=7, STOP=5, FLOW=9)
        # The port refuses such a line at start-up, and again at OK; each time it is said.
        quillmar.start(wait=False)
        dismiss_line_refusal(automation, "12345 9?1")
        quillmar.wait_window()
        dialog = open_dialog(quillmar)
        for control in (BPS, BITS, PARITY, STOP, FLOW):
            assert automation.selection(dialog, control) == -1
        automation.command(dialog, IDOK)
        dismiss_line_refusal(automation, "12345 9?1")
        wait_for("the serial dialog to close", lambda: not automation.alive(dialog))
        settings = saved(quillmar)
        assert (settings["BPS"], settings["BIT"], settings["PARI"], settings["STOP"], settings["FLOW"]) == \
            ("12345", "9", "7", "5", "9")


class TestPortsBeyondCom6:
    """USB adapters come as COM7 and beyond."""

    def test_the_present_ports_follow_com6_and_the_chosen_one_is_opened(self, connected, quillmar, automation,
                                                                        ports):
        ports.pty(2)
        ports.pty(9)
        com17 = ports.pty(17)
        automation.set_serial_port_list(dict(NOT_PORTS, **ports.serial_port_list()))
        peer = connected()
        dialog = open_dialog(quillmar)
        assert automation.items(dialog, PORT) == FIXED_PORTS + ["com9", "com17"]
        automation.select(dialog, PORT, 7)
        press(automation, dialog, IDOK)
        assert_flows(peer, com17, other_device=ports.com1)
        assert saved(quillmar)["COM"] == "16"

    def test_a_stored_port_beyond_com6_is_opened_and_selected(self, bridge, quillmar, automation, ports):
        com17 = ports.pty(17)
        peer, com1 = bridge(COM=16)
        assert_flows(peer, com17, other_device=com1)
        dialog = open_dialog(quillmar)
        assert automation.items(dialog, PORT) == FIXED_PORTS + ["com17"]
        assert automation.text(dialog, PORT) == "com17"
        press(automation, dialog, IDCANCEL)

    @pytest.mark.parametrize("com, item, notice", [(16, "com17", "Com17 Open Error"),
                                                   (256, None, "COM Setting Error: 256")])
    def test_a_stored_port_not_present_is_offered_and_ok_keeps_it(self, quillmar, automation, ports, com, item,
                                                                  notice):
        """A port not there is selected (it may be plugged in later); a value
        that names no port selects nothing. OK tries the port again."""
        ports.pty(9)
        quillmar.write_settings(COM=com)
        quillmar.start(wait=False)
        box, text = automation.wait_message_box(timeout=30)
        assert text == notice
        automation.dismiss(box)
        quillmar.wait_window()
        dialog = open_dialog(quillmar)
        items = automation.items(dialog, PORT)
        assert items == FIXED_PORTS + ["com9"] + ([item] if item else [])
        assert automation.selection(dialog, PORT) == (items.index(item) if item else -1)
        automation.command(dialog, IDOK)
        box, text = automation.wait_message_box()
        assert text == notice
        automation.dismiss(box)
        wait_for("the serial dialog to close", lambda: not automation.alive(dialog))
        assert saved(quillmar)["COM"] == str(com)


class TestOk:
    def test_without_changes_the_port_stays_open_and_bytes_flow(self, connected, quillmar, automation, ports):
        peer = connected()
        dialog = open_dialog(quillmar)
        press(automation, dialog, IDOK)
        assert_flows(peer, ports.com1)

    def test_bytes_waiting_in_the_port_survive_ok(self, quillmar, automation, ports):
        port = free_tcp_port()
        quillmar.write_settings(MODE=0, SPORT=port, CONNECT=1)
        quillmar.start()
        quillmar.wait_text(STATUS_TEXT, ACCEPT_WAITING)
        os.write(ports.com1, b"waiting for a peer")
        time.sleep(0.5)     # in the driver's queue: nobody reads without a peer
        press(automation, open_dialog(quillmar), IDOK)
        with connect_peer(port) as peer:
            assert receive(peer, 18) == b"waiting for a peer"

    def test_line_settings_reach_the_open_port(self, connected, quillmar, automation, ports):
        peer = connected()
        dialog = open_dialog(quillmar)
        automation.select(dialog, BPS, 18)      # 115200
        automation.select(dialog, FLOW, 4)      # Xon/Xoff(x93)
        press(automation, dialog, IDOK)
        attributes = termios.tcgetattr(ports.com1)
        assert attributes[4] == termios.B115200
        assert attributes[6][termios.VSTOP] == b"\x93"
        assert_flows(peer, ports.com1)

    def test_another_port_is_opened_and_the_reader_follows_it(self, connected, quillmar, automation, ports):
        com2 = ports.pty(2)
        peer = connected()
        dialog = open_dialog(quillmar)
        automation.select(dialog, PORT, 1)
        automation.select(dialog, BPS, 15)      # 19200
        press(automation, dialog, IDOK)
        assert termios.tcgetattr(com2)[4] == termios.B19200
        assert_flows(peer, com2, other_device=ports.com1)
        # Back and forth: one reader at a time, each on the port of the day.
        for device, other, position in ((ports.com1, com2, 0), (com2, ports.com1, 1), (ports.com1, com2, 0)):
            dialog = open_dialog(quillmar)
            automation.select(dialog, PORT, position)
            press(automation, dialog, IDOK)
            assert_flows(peer, device, other_device=other)
        assert saved(quillmar)["COM"] == "0"

    def test_a_port_that_cannot_be_opened_is_named_and_the_line_settings_stay(self, connected, quillmar,
                                                                             automation, ports):
        connected()
        dialog = open_dialog(quillmar)
        automation.select(dialog, PORT, 2)      # com3: nothing there
        automation.select(dialog, BPS, 18)
        automation.select(dialog, FLOW, 1)
        automation.command(dialog, IDOK)
        box, text = automation.wait_message_box()
        assert text == "Com3 Open Error"
        automation.dismiss(box)
        wait_for("the serial dialog to close", lambda: not automation.alive(dialog))
        settings = saved(quillmar)
        assert (settings["COM"], settings["BPS"], settings["FLOW"]) == ("2", "9600", "0")

    def test_a_port_not_open_at_start_is_opened_by_ok_on_the_same_port(self, quillmar, automation, ports,
                                                                      portless_server):
        port = portless_server()
        device = ports.pty(1)
        dialog = open_dialog(quillmar)
        press(automation, dialog, IDOK)
        peer = connect_peer(port)
        try:
            quillmar.wait_text(STATUS_TEXT, PEER)
            assert_flows(peer, device)
        finally:
            peer.close()


def test_a_line_the_driver_refuses_is_refused_before_anything_is_stored(quillmar, automation, ports):
    quillmar.start()
    dialog = open_dialog(quillmar)
    for control, position in ((BPS, 18), (BITS, 0), (STOP, 2)):     # 115200, 5 data bits, 2 stop bits
        automation.select(dialog, control, position)
    automation.command(dialog, IDOK)
    box, text = automation.wait_message_box()
    assert text == LINE_REFUSED
    assert not automation.enabled(dialog), "the box is owned by the dialog"
    automation.dismiss(box)
    wait_for("the dialog to take input again", lambda: automation.enabled(dialog))
    press(automation, dialog, IDCANCEL)
    settings = saved(quillmar)
    assert [settings[key] for key in ("BPS", "BIT", "STOP")] == ["9600", "8", "0"]
    assert termios.tcgetattr(ports.com1)[4] == termios.B9600, "the port was not configured"


def test_cancel_changes_nothing(quillmar, automation, ports):
    ports.pty(2)        # a port that OK would open
    quillmar.start()
    dialog = open_dialog(quillmar)
    for control, position in ((PORT, 1), (BPS, 0), (BITS, 0), (PARITY, 1), (STOP, 2), (FLOW, 2)):
        automation.select(dialog, control, position)
    press(automation, dialog, IDCANCEL)
    settings = saved(quillmar)
    assert [settings[key] for key in ("COM", "BPS", "BIT", "PARI", "STOP", "FLOW")] == \
        ["0", "9600", "8", "0", "0", "0"]
    assert termios.tcgetattr(ports.com1)[4] == termios.B9600, "the open port was not configured again"
