"""The main window as it comes up, its menu, and the ways to end the program."""
import pytest

from harness import CAPTION, IDCANCEL, SC_CLOSE, VK_ESCAPE, R

CONNECT, CLOSE, STATUS_TEXT = R.IDC_CONNECT, R.IDC_CLOSE, R.IDC_STATUS_TEXT
ARROWS_LAN_TO_SERIAL, ARROWS_SERIAL_TO_LAN = R.IDC_ARROWS_LAN_TO_SERIAL, R.IDC_ARROWS_SERIAL_TO_LAN
RATE_LAN_TO_SERIAL, RATE_SERIAL_TO_LAN = R.IDC_RATE_LAN_TO_SERIAL, R.IDC_RATE_SERIAL_TO_LAN
STATUS_BAR = R.IDC_STATUS_BAR
END = R.IDM_END

MENU = [
    (0, -1, "p", "MENU(&A)"),
    (1, R.IDM_SAVE, "", "SAVE(&O)"),
    (1, R.IDM_LOG_LAN_TO_SERIAL, "", "LOG - LAN->RS232C(&P)"),
    (1, R.IDM_LOG_SERIAL_TO_LAN, "", "LOG - RS232C->LAN(&Q)"),
    (1, R.IDM_SERIAL, "", "SERIAL(&R)"),
    (1, R.IDM_SOCK, "", "SOCK(&S)"),
    (1, 0, "s", ""),
    (1, R.IDM_END, "", "END(&X)"),
    (0, -1, "p", "OPTION(&B)"),
    (1, R.IDM_OPTION, "", "OPTION(&O)"),
    (0, -1, "p", "ABOUT(&C)"),
    (1, R.IDM_ABOUT, "", "ABOUT(&O)"),
    (1, R.IDM_HELP, "", "HELP(&P)"),
]


def test_window_comes_up_idle(quillmar, automation):
    quillmar.start()
    assert quillmar.text() == CAPTION
    assert quillmar.text(STATUS_TEXT) == "Idle"
    assert quillmar.enabled(CONNECT)
    assert not quillmar.enabled(CLOSE)
    assert quillmar.text(CONNECT) == "Connect"
    assert quillmar.text(CLOSE) == "Close"
    for blank in (ARROWS_LAN_TO_SERIAL, ARROWS_SERIAL_TO_LAN, RATE_LAN_TO_SERIAL, RATE_SERIAL_TO_LAN):
        assert quillmar.text(blank) == ""


def test_status_bar_has_two_parts_and_both_are_empty(quillmar, automation):
    quillmar.start()
    assert automation.status_parts(quillmar.window) == [300, 550]
    assert automation.status(quillmar.window, 0) == ""
    assert automation.status(quillmar.window, 1) == ""
    status_bar = automation.info(quillmar.window, STATUS_BAR)
    assert status_bar["class"] == "msctls_statusbar32"
    assert status_bar["visible"]


def test_menu_has_every_item_and_id(quillmar, automation):
    quillmar.start()
    assert automation.menu(quillmar.window) == MENU


def test_window_has_its_controls(quillmar, automation):
    quillmar.start()
    children = automation.children(quillmar.window)
    by_id = {child["id"]: child for child in children}
    for control in (CONNECT, CLOSE):
        assert by_id[control]["class"] == "Button"
    for control in (STATUS_TEXT, ARROWS_LAN_TO_SERIAL, ARROWS_SERIAL_TO_LAN, RATE_LAN_TO_SERIAL,
                    RATE_SERIAL_TO_LAN):
        assert by_id[control]["class"] == "Static"
    labels = [child["title"] for child in children if child["id"] in (-1, 0xFFFF)]
    assert "\n\nL\nA\nN" in labels, "LAN written downwards at the left"
    assert "\nR\nS\n2\n3\n2\nC" in labels, "RS232C written downwards at the right"
    assert by_id[CONNECT]["rect"][0] < by_id[CLOSE]["rect"][0]


@pytest.mark.parametrize("how", ["END menu command", "Esc key", "close box"])
def test_program_ends_with_exit_code_zero(quillmar, automation, how):
    quillmar.start()
    if how == "END menu command":
        quillmar.command(END)
    elif how == "Esc key":
        automation.key(quillmar.window, VK_ESCAPE)
    else:
        automation.syscommand(quillmar.window, SC_CLOSE)
    assert quillmar.wait_exit() == 0
    assert not automation.find(CAPTION)


def test_cancel_command_ends_the_program(quillmar, automation):
    quillmar.start()
    quillmar.command(IDCANCEL)
    assert quillmar.wait_exit() == 0
