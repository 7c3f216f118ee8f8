"""The serial port at start: ports that cannot be opened and their notices,
ports beyond COM6, and the line settings as the pty sees them."""
import termios

import pytest

from harness import PORT_PART, STATUS_TEXT, dismiss_line_refusal


def start_with_notice(quillmar, automation, expected):
    quillmar.start(wait=False)
    box, text = automation.wait_message_box(timeout=30)
    assert text == expected
    automation.dismiss(box)
    quillmar.wait_window()
    assert quillmar.text(STATUS_TEXT) == "Idle"


@pytest.mark.parametrize("com, notice", [
    (1, "Com2 Open Error"),
    (3, "Com4 Open Error"),
    (4, "Com5 Open Error"),
    (5, "Com6 Open Error"),
    (19, "Com20 Open Error"),
    (256, "COM Setting Error: 256"),
    (-1, "COM Setting Error: -1"),
])
def test_a_port_that_cannot_be_opened_is_named_and_the_window_comes_up(quillmar, automation, com, notice):
    quillmar.write_settings(COM=com)
    start_with_notice(quillmar, automation, notice)


# What a pty keeps of the line settings: the speed, hardware flow control
# and the XON/XOFF flags with their characters (it forces 8N1 itself). The
# two characters are set in every mode: drivers refuse two equal ones.
@pytest.mark.parametrize("flow, crtscts, xon_xoff, stop_char", [
    (0, False, False, 0x13),
    (1, True, False, 0x13),
    (2, False, False, 0x13),
    (3, False, True, 0x13),
    (4, False, True, 0x93),
])
def test_line_settings_reach_the_port(quillmar, ports, flow, crtscts, xon_xoff, stop_char):
    quillmar.write_settings(BPS=19200, FLOW=flow)
    quillmar.start()
    iflag, _, cflag, _, ispeed, ospeed, cc = termios.tcgetattr(ports.com1)
    assert (ispeed, ospeed) == (termios.B19200, termios.B19200)
    assert bool(cflag & termios.CRTSCTS) == crtscts
    assert bool(iflag & termios.IXON) == xon_xoff
    assert bool(iflag & termios.IXOFF) == xon_xoff
    assert cc[termios.VSTART] == b"\x11"
    assert cc[termios.VSTOP] == bytes([stop_char])


def test_a_line_the_port_refuses_is_said_and_the_bridge_goes_on(quillmar, automation, ports):
    quillmar.write_settings(BIT=9)
    quillmar.start(wait=False)
    dismiss_line_refusal(automation, "9600 9N1")
    quillmar.wait_window()
    assert quillmar.text(STATUS_TEXT) == "Idle"
    assert quillmar.status_part(PORT_PART) == "", "the port stays open with the line it had"


@pytest.mark.parametrize("number", [12, 256])
def test_a_port_beyond_com9_opens_by_its_device_name(quillmar, automation, ports, number):
    device = ports.pty(number)
    quillmar.write_settings(COM=number - 1, BPS=115200)
    quillmar.start()
    assert not quillmar._message_boxes()
    assert termios.tcgetattr(device)[4] == termios.B115200


def test_a_device_that_takes_no_event_mask_is_named_and_let_go(quillmar, automation, ports, tmp_path):
    # A plain file opens as a port but refuses the line events.
    plain_file = tmp_path / "not-a-port"
    plain_file.write_bytes(b"")
    ports.link(1, plain_file)
    start_with_notice(quillmar, automation, "EV_RXCHAR Error")
    assert automation.open_error("com1") == 0, "the refused port is still held"
