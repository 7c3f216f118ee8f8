"""The socket settings dialog on the real program: what it shows, which
fields each mode enables, the checks of the two ports and the peer count,
the field-by-field storing of OK, Cancel, the replacing and RFC 2217 boxes,
and what SAVE then writes."""
import pytest

from harness import IDCANCEL, IDOK, LINE_KEYS, R, wait_for

SOCK = R.IDM_SOCK
CAPTION = "Quillmar： Socket"
DEST_PORT, DEST_ADDRESS, SERVER, CLIENT, LISTEN_PORT = (R.IDC_SOCK_DEST_PORT, R.IDC_SOCK_DEST_ADDRESS,
                                                        R.IDC_SOCK_SERVER, R.IDC_SOCK_CLIENT,
                                                        R.IDC_SOCK_LISTEN_PORT)
PERMITS = (R.IDC_SOCK_PERMIT1, R.IDC_SOCK_PERMIT2, R.IDC_SOCK_PERMIT3)
RFC2217 = R.IDC_SOCK_RFC2217
MAX_PEERS, KICK_OLD = R.IDC_SOCK_MAX_PEERS, R.IDC_SOCK_KICK_OLD
DEST_PORT_INVALID = "接続先ポートが不正です。1～65535を入力してください。"
LISTEN_PORT_INVALID = "待ち受けポートが不正です。1～65535を入力してください。"
MAX_PEERS_INVALID = "同時接続数が不正です。0～8を入力してください。"
WS_TABSTOP, WS_GROUP = 0x00010000, 0x00020000


def server_fields_enabled(automation, dialog):
    """(listening port, permitted addresses and peer sharing, destination
    port and address) enabled; None while the dialog is still switching them
    over."""
    server = [automation.enabled(dialog, control) for control in (LISTEN_PORT, *PERMITS, MAX_PEERS, KICK_OLD)]
    client = [automation.enabled(dialog, control) for control in (DEST_PORT, DEST_ADDRESS)]
    if len(set(server)) != 1 or len(set(client)) != 1:
        return None
    return server[0], client[0]


def toggle(automation, dialog, box=RFC2217):
    """Clicks a check box and waits for it to show the other state."""
    ticked = 1 - automation.checked(dialog, box)
    automation.click(dialog, box)
    wait_for(f"box {box} to read {ticked}", lambda: automation.checked(dialog, box) == ticked)


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
    assert automation.text(dialog, MAX_PEERS) == "0" and automation.checked(dialog, KICK_OLD) == 0

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
            if not (child["class"] == "Edit" and child["id"] not in (DEST_PORT, LISTEN_PORT, MAX_PEERS))]
    tab_order = [SERVER, CLIENT, LISTEN_PORT, *PERMITS, MAX_PEERS, KICK_OLD, DEST_PORT, DEST_ADDRESS, RFC2217,
                 IDOK, IDCANCEL]
    assert [child["id"] for child in ours if child["id"] in tab_order] == tab_order
    by_id = {child["id"]: child for child in ours}
    # Neither radio button has a group mark or a tab stop of its own; the
    # button control gives the checked one a tab stop.
    assert by_id[SERVER]["style"] & (WS_TABSTOP | WS_GROUP) == 0
    assert by_id[CLIENT]["style"] & (WS_TABSTOP | WS_GROUP) == WS_TABSTOP
    for control in (LISTEN_PORT, *PERMITS, MAX_PEERS, KICK_OLD, DEST_PORT, DEST_ADDRESS, RFC2217):
        assert by_id[control]["style"] & WS_TABSTOP
    for control in (*PERMITS, DEST_ADDRESS):
        assert by_id[control]["class"] == "SysIPAddress32"
    assert by_id[SERVER]["title"] == "サーバー接続"
    assert by_id[CLIENT]["title"] == "クライアント接続"
    assert by_id[RFC2217]["title"] == "RFC 2217 リモート回線制御"
    assert by_id[KICK_OLD]["title"] == "満杯時は古い\n接続を切る"
    assert by_id[IDOK]["title"] == "OK" and by_id[IDCANCEL]["title"] == "ｷｬﾝｾﾙ"
    labels = {child["title"] for child in children if child["id"] in (-1, 0xFFFF)}
    assert {"ソケット接続設定", "接続設定", "待ち受けポート：", "接続許可アドレス：", "1．", "2．", "3．",
            "接続先ポート：", "接続先アドレス：", "同時接続数："} <= labels
    automation.command(dialog, IDCANCEL)
    expect_closed(automation, dialog)


def test_port_65535_is_accepted_shown_again_and_saved(quillmar, automation):
    quillmar.start()
    dialog = quillmar.open_dialog(SOCK, CAPTION)
    automation.set_text(dialog, DEST_PORT, "65535")
    automation.set_text(dialog, LISTEN_PORT, "65535")
    toggle(automation, dialog)
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
    assert list(settings)[-5:] == ["DTUPTIME", "RFC2217", "EVENTLOG", "MAXPEER", "KICKOLD"], \
        "the newer keys are written after the older ones, in the order they came"


def test_stored_ports_above_32767_are_shown_and_confirmed_unchanged(quillmar, automation):
    quillmar.write_ini("[DATA]\r\n" + LINE_KEYS + "PORT=50000\r\nSPORT=40000\r\nMODE=0\r\nIP=10.0.0.9\r\nRFC2217=1\r\n")
    quillmar.start()
    dialog = quillmar.open_dialog(SOCK, CAPTION)
    assert automation.checked(dialog, SERVER) == 1
    assert automation.checked(dialog, RFC2217) == 1
    toggle(automation, dialog)     # OK stores it cleared
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


def test_the_peer_count_and_the_replacing_box_are_shown_stored_and_saved(quillmar, automation):
    quillmar.write_settings(MODE=0, MAXPEER=4, KICKOLD=1)
    quillmar.start()
    dialog = quillmar.open_dialog(SOCK, CAPTION)
    assert server_fields_enabled(automation, dialog) == (True, False)
    assert automation.text(dialog, MAX_PEERS) == "4" and automation.checked(dialog, KICK_OLD) == 1
    automation.set_text(dialog, MAX_PEERS, "8")
    toggle(automation, dialog, KICK_OLD)
    press_ok(automation, dialog)
    expect_closed(automation, dialog)
    settings = quillmar.saved_settings()
    assert (settings["MAXPEER"], settings["KICKOLD"]) == ("8", "0")

    # Disabled in client mode, and stored all the same.
    dialog = quillmar.open_dialog(SOCK, CAPTION)
    assert automation.text(dialog, MAX_PEERS) == "8" and automation.checked(dialog, KICK_OLD) == 0
    automation.click(dialog, CLIENT)
    wait_for("client mode's fields", lambda: server_fields_enabled(automation, dialog) == (False, True))
    automation.set_text(dialog, MAX_PEERS, " 1 ")
    toggle(automation, dialog, KICK_OLD)
    press_ok(automation, dialog)
    expect_closed(automation, dialog)
    settings = quillmar.saved_settings()
    assert (settings["MODE"], settings["MAXPEER"], settings["KICKOLD"]) == ("1", "1", "1")


def test_a_bad_peer_count_is_refused_and_stops_ok_after_the_ports(quillmar, automation):
    # A count outside 0..8 from the file is shown as it stands, and OK refuses it.
    quillmar.write_settings(MODE=0, MAXPEER=-3)
    quillmar.start()
    dialog = quillmar.open_dialog(SOCK, CAPTION)
    assert automation.text(dialog, MAX_PEERS) == "-3"
    automation.set_text(dialog, LISTEN_PORT, "9400")
    toggle(automation, dialog, KICK_OLD)
    for bad in ["-3", "junk", "9", "-1", "", "4294967297", "2x"]:
        automation.set_text(dialog, MAX_PEERS, bad)
        press_ok(automation, dialog)
        expect_refused(automation, dialog, MAX_PEERS_INVALID, MAX_PEERS, bad)
    automation.command(dialog, IDCANCEL)
    expect_closed(automation, dialog)
    settings = quillmar.saved_settings()
    assert settings["SPORT"] == "9400", "the ports before it are stored"
    assert (settings["MAXPEER"], settings["KICKOLD"]) == ("-3", "0"), "what comes after it is not"


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
    toggle(automation, dialog)
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
