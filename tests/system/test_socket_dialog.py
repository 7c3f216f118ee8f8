"""The socket settings dialog on the real program: what it shows, which
fields each mode enables, the two port checks, the field-by-field storing
of OK, Cancel, the RFC 2217 box, and what SAVE then writes."""
import pytest

from harness import IDCANCEL, IDOK, LINE_KEYS, R, wait_for

SOCK = R.IDM_SOCK
CAPTION = "Quillmar： Socket"
DEST_PORT, DEST_ADDRESS, SERVER, CLIENT, LISTEN_PORT = (R.IDC_SOCK_DEST_PORT, R.IDC_SOCK_DEST_ADDRESS,
                                                        R.IDC_SOCK_SERVER, R.IDC_SOCK_CLIENT,
                                                        R.IDC_SOCK_LISTEN_PORT)
PERMITS = (R.IDC_SOCK_PERMIT1, R.IDC_SOCK_PERMIT2, R.IDC_SOCK_PERMIT3)
RFC2217 = R.IDC_SOCK_RFC2217
DEST_PORT_INVALID = "接続先ポートが不正です。1～65535を入力してください。"
LISTEN_PORT_INVALID = "待ち受けポートが不正です。1～65535を入力してください。"
WS_TABSTOP, WS_GROUP = 0x00010000, 0x00020000


def server_fields_enabled(automation, dialog):
    """(listening port and permitted addresses, destination port and address)
    enabled; None while the dialog is still switching them over."""
    server = [automation.enabled(dialog, control) for control in (LISTEN_PORT, *PERMITS)]
    client = [automation.enabled(dialog, control) for control in (DEST_PORT, DEST_ADDRESS)]
    if len(set(server)) != 1 or len(set(client)) != 1:
        return None
    return server[0], client[0]


def toggle_rfc2217(automation, dialog):
    """Clicks the RFC 2217 box and waits for it to show the other state."""
    ticked = 1 - automation.checked(dialog, RFC2217)
    automation.click(dialog, RFC2217)
    wait_for(f"the RFC 2217 box to read {ticked}", lambda: automation.checked(dialog, RFC2217) == ticked)


def press_ok(automation, dialog):
    automation.click(dialog, IDOK)


def expect_closed(automation, dialog):
    wait_for("the socket dialog to close", lambda: not automation.alive(dialog))


def expect_refused(automation, dialog, message, field, text):
    """OK was pressed: the message of the port concerned, the dialog kept
    disabled under it, then open again with the entered text in place."""
    box, shown = automation.wait_message_box()
    assert shown == message
    assert automation.alive(dialog) and not automation.enabled(dialog), "the box is modal to the dialog"
    automation.dismiss(box)
    wait_for("the dialog to take input again", lambda: automation.enabled(dialog))
    assert automation.text(dialog, field) == text


def test_shows_the_settings_and_each_mode_enables_its_fields(quillmar, automation):
    quillmar.start()
    dialog = quillmar.open_dialog(SOCK, CAPTION)
    # The defaults: client mode to 192.168.0.1:9001, no permitted address.
    assert automation.checked(dialog, CLIENT) == 1 and automation.checked(dialog, SERVER) == 0
    assert server_fields_enabled(automation, dialog) == (False, True)
    assert automation.text(dialog, DEST_PORT) == "9001"
    assert automation.text(dialog, LISTEN_PORT) == "9001"
    assert automation.ip_address(dialog, DEST_ADDRESS)[1] == "192.168.0.1"
    for control in PERMITS:
        assert automation.ip_address(dialog, control)[1] == "0.0.0.0"
    assert automation.checked(dialog, RFC2217) == 0

    automation.click(dialog, SERVER)
    wait_for("server mode's fields", lambda: server_fields_enabled(automation, dialog) == (True, False))
    assert automation.checked(dialog, CLIENT) == 0
    automation.click(dialog, CLIENT)
    wait_for("client mode's fields", lambda: server_fields_enabled(automation, dialog) == (False, True))
    assert automation.checked(dialog, SERVER) == 0
    automation.command(dialog, IDCANCEL)
    expect_closed(automation, dialog)


def test_template_texts_and_tab_order(quillmar, automation):
    quillmar.start()
    dialog = quillmar.open_dialog(SOCK, CAPTION)
    children = automation.children(dialog)
    # The IP-address controls' own edits are children too; they are not ours.
    ours = [child for child in children
            if not (child["class"] == "Edit" and child["id"] not in (DEST_PORT, LISTEN_PORT))]
    tab_order = [SERVER, CLIENT, LISTEN_PORT, *PERMITS, DEST_PORT, DEST_ADDRESS, RFC2217, IDOK, IDCANCEL]
    assert [child["id"] for child in ours if child["id"] in tab_order] == tab_order
    by_id = {child["id"]: child for child in ours}
    # Neither radio button has a group mark or a tab stop of its own; the
    # button control gives the checked one a tab stop.
    assert by_id[SERVER]["style"] & (WS_TABSTOP | WS_GROUP) == 0
    assert by_id[CLIENT]["style"] & (WS_TABSTOP | WS_GROUP) == WS_TABSTOP
    for control in (LISTEN_PORT, *PERMITS, DEST_PORT, DEST_ADDRESS, RFC2217):
        assert by_id[control]["style"] & WS_TABSTOP
    for control in (*PERMITS, DEST_ADDRESS):
        assert by_id[control]["class"] == "SysIPAddress32"
    assert by_id[SERVER]["title"] == "サーバー接続"
    assert by_id[CLIENT]["title"] == "クライアント接続"
    assert by_id[RFC2217]["title"] == "RFC 2217 リモート回線制御"
    assert by_id[IDOK]["title"] == "OK" and by_id[IDCANCEL]["title"] == "ｷｬﾝｾﾙ"
    labels = {child["title"] for child in children if child["id"] in (-1, 0xFFFF)}
    assert {"ソケット接続設定", "接続設定", "待ち受けポート：", "接続許可アドレス：", "1．", "2．", "3．",
            "接続先ポート：", "接続先アドレス："} <= labels
    automation.command(dialog, IDCANCEL)
    expect_closed(automation, dialog)


def test_port_65535_is_accepted_shown_again_and_saved(quillmar, automation):
    quillmar.start()
    dialog = quillmar.open_dialog(SOCK, CAPTION)
    automation.set_text(dialog, DEST_PORT, "65535")
    automation.set_text(dialog, LISTEN_PORT, "65535")
    toggle_rfc2217(automation, dialog)
    press_ok(automation, dialog)
    expect_closed(automation, dialog)
    dialog = quillmar.open_dialog(SOCK, CAPTION)
    assert automation.text(dialog, DEST_PORT) == "65535"
    assert automation.text(dialog, LISTEN_PORT) == "65535"
    assert automation.checked(dialog, RFC2217) == 1
    automation.command(dialog, IDCANCEL)
    expect_closed(automation, dialog)
    settings = quillmar.saved_settings()
    assert (settings["PORT"], settings["SPORT"], settings["RFC2217"]) == ("65535", "65535", "1")
    assert list(settings)[-3:] == ["DTUPTIME", "RFC2217", "EVENTLOG"], "RFC2217 is written after the older keys"


def test_stored_ports_above_32767_are_shown_and_confirmed_unchanged(quillmar, automation):
    quillmar.write_ini("[DATA]\r\n" + LINE_KEYS + "PORT=50000\r\nSPORT=40000\r\nMODE=0\r\nIP=10.0.0.9\r\nRFC2217=1\r\n")
    quillmar.start()
    dialog = quillmar.open_dialog(SOCK, CAPTION)
    assert automation.checked(dialog, SERVER) == 1
    assert automation.checked(dialog, RFC2217) == 1
    toggle_rfc2217(automation, dialog)     # OK stores it cleared
    assert server_fields_enabled(automation, dialog) == (True, False)
    assert automation.text(dialog, DEST_PORT) == "50000"
    assert automation.text(dialog, LISTEN_PORT) == "40000"
    press_ok(automation, dialog)
    expect_closed(automation, dialog)
    settings = quillmar.saved_settings()
    assert (settings["PORT"], settings["SPORT"], settings["MODE"], settings["IP"], settings["RFC2217"]) == \
        ("50000", "40000", "0", "10.0.0.9", "0")


BAD_PORTS = ["0", "65536", "-1", "-65535", "port", "80a", "4294967297", ""]


def test_bad_ports_are_refused_with_the_message_of_their_port(quillmar, automation):
    quillmar.start()
    dialog = quillmar.open_dialog(SOCK, CAPTION)
    for bad in BAD_PORTS:
        automation.set_text(dialog, DEST_PORT, bad)
        press_ok(automation, dialog)
        expect_refused(automation, dialog, DEST_PORT_INVALID, DEST_PORT, bad)
    automation.set_text(dialog, DEST_PORT, "9100")
    for bad in BAD_PORTS:
        automation.set_text(dialog, LISTEN_PORT, bad)
        press_ok(automation, dialog)
        expect_refused(automation, dialog, LISTEN_PORT_INVALID, LISTEN_PORT, bad)
    automation.set_text(dialog, LISTEN_PORT, "9200")
    press_ok(automation, dialog)
    expect_closed(automation, dialog)
    settings = quillmar.saved_settings()
    assert (settings["PORT"], settings["SPORT"]) == ("9100", "9200")


def test_an_empty_destination_port_is_refused_even_in_server_mode(quillmar, automation):
    quillmar.start()
    dialog = quillmar.open_dialog(SOCK, CAPTION)
    automation.click(dialog, SERVER)
    wait_for("server mode", lambda: automation.checked(dialog, SERVER) == 1)
    automation.set_text(dialog, DEST_PORT, "")
    automation.set_text(dialog, LISTEN_PORT, "9300")
    press_ok(automation, dialog)
    expect_refused(automation, dialog, DEST_PORT_INVALID, DEST_PORT, "")
    automation.command(dialog, IDCANCEL)
    expect_closed(automation, dialog)


def test_cancel_after_a_refused_ok_keeps_what_was_stored(quillmar, automation):
    quillmar.start()
    dialog = quillmar.open_dialog(SOCK, CAPTION)
    automation.click(dialog, SERVER)
    wait_for("server mode", lambda: automation.checked(dialog, SERVER) == 1)
    automation.set_text(dialog, DEST_PORT, "0")
    press_ok(automation, dialog)
    expect_refused(automation, dialog, DEST_PORT_INVALID, DEST_PORT, "0")
    automation.command(dialog, IDCANCEL)
    expect_closed(automation, dialog)
    settings = quillmar.saved_settings()
    assert settings["MODE"] == "0", "the new mode stays after Cancel"
    assert settings["PORT"] == "9001"

    # Only the listening port wrong: the destination port is stored already.
    dialog = quillmar.open_dialog(SOCK, CAPTION)
    automation.set_text(dialog, DEST_PORT, "7000")
    automation.set_text(dialog, LISTEN_PORT, "70000")
    press_ok(automation, dialog)
    expect_refused(automation, dialog, LISTEN_PORT_INVALID, LISTEN_PORT, "70000")
    automation.command(dialog, IDCANCEL)
    expect_closed(automation, dialog)
    settings = quillmar.saved_settings()
    assert (settings["MODE"], settings["PORT"], settings["SPORT"]) == ("0", "7000", "9001")


def test_choosing_the_other_mode_and_cancel_changes_nothing(quillmar, automation):
    quillmar.start()
    dialog = quillmar.open_dialog(SOCK, CAPTION)
    automation.click(dialog, SERVER)
    wait_for("server mode", lambda: automation.checked(dialog, SERVER) == 1)
    automation.set_text(dialog, DEST_PORT, "1234")
    toggle_rfc2217(automation, dialog)
    automation.command(dialog, IDCANCEL)
    expect_closed(automation, dialog)
    settings = quillmar.saved_settings()
    assert (settings["MODE"], settings["PORT"], settings["RFC2217"]) == ("1", "9001", "0")


def test_addresses_are_stored_and_an_empty_slot_is_zero(quillmar, automation):
    quillmar.write_ini("[DATA]\r\n" + LINE_KEYS + "MODE=1\r\nPORT=9001\r\nSPORT=9001\r\nIP=192.168.0.1\r\n"
                       "PERMISSIP1=10.9.9.9\r\nPERMISSIP2=10.8.8.8\r\nPERMISSIP3=10.7.7.7\r\n")
    quillmar.start()
    dialog = quillmar.open_dialog(SOCK, CAPTION)
    assert [automation.ip_address(dialog, c)[1] for c in PERMITS] == ["10.9.9.9", "10.8.8.8", "10.7.7.7"]
    # The permitted addresses are disabled in client mode and stored all the same.
    automation.set_ip(dialog, PERMITS[0], "10.1.2.3")
    automation.set_ip(dialog, PERMITS[1], "0.0.0.0")
    automation.set_ip(dialog, PERMITS[2], "")
    automation.set_ip(dialog, DEST_ADDRESS, "127.0.0.1")
    filled, address, text = automation.ip_address(dialog, PERMITS[2])
    assert (filled, address) == (0, "0.0.0.0"), "an emptied control has no field filled"
    press_ok(automation, dialog)
    expect_closed(automation, dialog)
    settings = quillmar.saved_settings()
    assert settings["IP"] == "127.0.0.1"
    assert [settings[f"PERMISSIP{n}"] for n in (1, 2, 3)] == ["10.1.2.3", "0.0.0.0", "0.0.0.0"]

    dialog = quillmar.open_dialog(SOCK, CAPTION)
    assert [automation.ip_address(dialog, c)[1] for c in PERMITS] == ["10.1.2.3", "0.0.0.0", "0.0.0.0"]
    assert automation.ip_address(dialog, DEST_ADDRESS)[1] == "127.0.0.1"
    automation.command(dialog, IDCANCEL)
    expect_closed(automation, dialog)


@pytest.mark.parametrize("ip, shown", [("0", "0.0.0.0"), ("not an address", "255.255.255.255")])
def test_an_odd_ip_from_the_file_is_shown_as_its_address(quillmar, automation, ip, shown):
    quillmar.write_ini(f"[DATA]\r\n{LINE_KEYS}MODE=1\r\nPORT=9001\r\nSPORT=9001\r\nIP={ip}\r\n")
    quillmar.start()
    dialog = quillmar.open_dialog(SOCK, CAPTION)
    assert automation.ip_address(dialog, DEST_ADDRESS)[1] == shown
    press_ok(automation, dialog)
    expect_closed(automation, dialog)
    assert quillmar.saved_settings()["IP"] == shown
