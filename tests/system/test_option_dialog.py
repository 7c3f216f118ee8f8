"""The option dialog on the real program: what it shows, the time-tag fields
following their check box, the two number checks with the fields stored
before a refused number, and what SAVE then writes."""
import pytest

from harness import HISTORY, IDCANCEL, IDOK, LINE_KEYS, LOOPBACK, STATUS_TEXT, VK_RETURN, PeerServer, R, wait_for

OPTION = R.IDM_OPTION
CAPTION = "Quillmar： Option"
RATE, TAG_TIMEOUT, STARTUP, AUTO_CONNECT, TIME_TAGS, TAG_SERIAL_TO_LAN, TAG_LAN_TO_SERIAL = \
    R.IDC_OPTION_RATE, R.IDC_OPTION_TAG_TIMEOUT, R.IDC_OPTION_STARTUP, R.IDC_OPTION_AUTO_CONNECT, \
    R.IDC_OPTION_TIME_TAGS, R.IDC_OPTION_TAG_SERIAL_TO_LAN, R.IDC_OPTION_TAG_LAN_TO_SERIAL
EVENT_LOG = R.IDC_OPTION_EVENT_LOG
TAG_FIELDS = (TAG_SERIAL_TO_LAN, TAG_LAN_TO_SERIAL, TAG_TIMEOUT)
RATE_INVALID = "転送Rateが不正です。1～60を入力してください。"
TIMEOUT_INVALID = "通信付加までのタイムアウトが不正です。1～3600を入力してください。"
BS_DEFPUSHBUTTON = 1


def tag_fields_enabled(automation, dialog):
    states = {automation.enabled(dialog, control) for control in TAG_FIELDS}
    assert len(states) == 1, "the three time-tag fields are enabled together"
    return states.pop()


def tick(automation, dialog, control, ticked):
    """Clicks a check box until it shows the wanted tick, as a user would."""
    if automation.checked(dialog, control) != ticked:
        automation.click(dialog, control)
        wait_for(f"check box {control} to be {ticked}", lambda: automation.checked(dialog, control) == ticked)


def expect_closed(automation, dialog):
    wait_for("the option dialog to close", lambda: not automation.alive(dialog))


def expect_refused(automation, dialog, message, field, text):
    box, shown = automation.wait_message_box()
    assert shown == message
    assert not automation.enabled(dialog), "the box is modal to the dialog"
    automation.dismiss(box)
    wait_for("the dialog to take input again", lambda: automation.enabled(dialog))
    assert automation.text(dialog, field) == text


def test_shows_the_settings_and_the_template(quillmar, automation):
    quillmar.write_ini("[DATA]\r\n" + LINE_KEYS +
                       "CONNECT=1\r\nRATE=7\r\nDT=1\r\nDTRSLAN=1\r\nDTLANRS=0\r\nDTUPTIME=120\r\n")
    quillmar.start()
    dialog = quillmar.open_dialog(OPTION, CAPTION)
    assert automation.checked(dialog, AUTO_CONNECT) == 1
    assert automation.text(dialog, RATE) == "7"
    assert automation.checked(dialog, TIME_TAGS) == 1
    assert tag_fields_enabled(automation, dialog)
    assert automation.checked(dialog, TAG_SERIAL_TO_LAN) == 1
    assert automation.checked(dialog, TAG_LAN_TO_SERIAL) == 0
    assert automation.text(dialog, TAG_TIMEOUT) == "120"
    assert automation.checked(dialog, EVENT_LOG) == 1, "a file without the key keeps a history"

    children = automation.children(dialog)
    labels = {child["title"] for child in children}
    assert {"オプション", "登録", "スタートアップに登録する。", "接続モード",
            "起動時 or Idle時に通信相手との接続を自動で実施する。", "転送Ｒａｔｅ", "転送Ｒａｔｅ更新時間（秒）",
            "転送時間", "転送データに時間を付加する。", "時間を付加する転送方向。", "LAN -> RS232C",
            "LAN <- RS232C", "時間を付加するまでのタイムアウト（秒）", "イベント履歴を残す", "OK", "ｷｬﾝｾﾙ"} <= labels
    by_id = {child["id"]: child for child in children}
    assert by_id[STARTUP]["title"] == "登録"
    assert by_id[IDOK]["style"] & BS_DEFPUSHBUTTON, "OK is the Enter key's button"
    automation.command(dialog, IDCANCEL)
    expect_closed(automation, dialog)


def test_the_time_tag_fields_follow_their_check_box(quillmar, automation):
    quillmar.start()
    dialog = quillmar.open_dialog(OPTION, CAPTION)
    assert automation.checked(dialog, TIME_TAGS) == 0
    assert not tag_fields_enabled(automation, dialog)
    tick(automation, dialog, TIME_TAGS, 1)
    wait_for("the time-tag fields enabled", lambda: tag_fields_enabled(automation, dialog))
    tick(automation, dialog, TAG_LAN_TO_SERIAL, 1)
    automation.set_text(dialog, TAG_TIMEOUT, "42")
    tick(automation, dialog, TIME_TAGS, 0)
    wait_for("the time-tag fields disabled", lambda: not tag_fields_enabled(automation, dialog))
    assert automation.checked(dialog, TAG_LAN_TO_SERIAL) == 1, "a disabled field keeps its tick"
    assert automation.text(dialog, TAG_TIMEOUT) == "42", "and its text"
    automation.click(dialog, IDOK)
    expect_closed(automation, dialog)
    settings = quillmar.saved_settings()
    assert (settings["DT"], settings["DTLANRS"], settings["DTRSLAN"], settings["DTUPTIME"]) == \
        ("0", "1", "0", "42"), "a disabled field is stored with what it shows"


@pytest.mark.parametrize("rate", ["1", "60"])
def test_rates_from_1_to_60_are_accepted(quillmar, automation, rate):
    quillmar.start()
    dialog = quillmar.open_dialog(OPTION, CAPTION)
    automation.set_text(dialog, RATE, rate)
    automation.click(dialog, IDOK)
    expect_closed(automation, dialog)
    assert quillmar.saved_settings()["RATE"] == rate


def test_bad_rates_are_refused_after_the_automatic_connection_was_stored(quillmar, automation):
    quillmar.start()
    dialog = quillmar.open_dialog(OPTION, CAPTION)
    tick(automation, dialog, AUTO_CONNECT, 1)
    tick(automation, dialog, TIME_TAGS, 1)
    for bad in ["0", "61", "-5", "", "abc", "6 0"]:
        automation.set_text(dialog, RATE, bad)
        automation.click(dialog, IDOK)
        expect_refused(automation, dialog, RATE_INVALID, RATE, bad)
    automation.command(dialog, IDCANCEL)
    expect_closed(automation, dialog)
    settings = quillmar.saved_settings()
    assert settings["CONNECT"] == "1", "stored before the rate was refused; Cancel keeps it"
    assert (settings["RATE"], settings["DT"]) == ("5", "0"), "nothing after the rate"


def test_bad_timeouts_are_refused_after_the_earlier_fields_were_stored(quillmar, automation):
    quillmar.start()
    dialog = quillmar.open_dialog(OPTION, CAPTION)
    tick(automation, dialog, AUTO_CONNECT, 1)
    automation.set_text(dialog, RATE, "9")
    tick(automation, dialog, TIME_TAGS, 1)
    tick(automation, dialog, TAG_LAN_TO_SERIAL, 1)
    for bad in ["0", "3601", "", "-1"]:
        automation.set_text(dialog, TAG_TIMEOUT, bad)
        automation.click(dialog, IDOK)
        expect_refused(automation, dialog, TIMEOUT_INVALID, TAG_TIMEOUT, bad)
    automation.command(dialog, IDCANCEL)
    expect_closed(automation, dialog)
    settings = quillmar.saved_settings()
    assert (settings["CONNECT"], settings["RATE"], settings["DT"], settings["DTLANRS"], settings["DTRSLAN"]) == \
        ("1", "9", "1", "1", "0")
    assert settings["DTUPTIME"] == "5", "the refused timeout is not stored"

    dialog = quillmar.open_dialog(OPTION, CAPTION)
    automation.set_text(dialog, TAG_TIMEOUT, "3600")
    tick(automation, dialog, TAG_LAN_TO_SERIAL, 0)
    tick(automation, dialog, TAG_SERIAL_TO_LAN, 1)
    automation.click(dialog, IDOK)
    expect_closed(automation, dialog)
    settings = quillmar.saved_settings()
    assert (settings["DTUPTIME"], settings["DTLANRS"], settings["DTRSLAN"]) == ("3600", "0", "1")


def test_enter_in_a_field_is_ok(quillmar, automation):
    quillmar.start()
    dialog = quillmar.open_dialog(OPTION, CAPTION)
    automation.set_text(dialog, RATE, "12")
    automation.key(dialog, VK_RETURN)
    expect_closed(automation, dialog)
    assert quillmar.saved_settings()["RATE"] == "12"


def test_automatic_connection_takes_effect_at_once(quillmar, automation):
    server = PeerServer()
    try:
        quillmar.write_settings(IP=LOOPBACK, PORT=server.port, MODE=1)
        quillmar.start()
        dialog = quillmar.open_dialog(OPTION, CAPTION)
        tick(automation, dialog, AUTO_CONNECT, 1)
        automation.click(dialog, IDOK)
        expect_closed(automation, dialog)
        server.wait_connection()
        wait_for("the client to be connected", lambda: quillmar.text(STATUS_TEXT) == "Connection - " + LOOPBACK)
    finally:
        server.close()


def test_a_history_turned_off_is_not_written_until_it_is_turned_on(quillmar, automation):
    quillmar.write_settings(EVENTLOG=0)
    quillmar.start()
    dialog = quillmar.open_dialog(OPTION, CAPTION)
    assert automation.checked(dialog, EVENT_LOG) == 0
    assert not (quillmar.folder / HISTORY).exists()
    tick(automation, dialog, EVENT_LOG, 1)
    automation.click(dialog, IDOK)
    expect_closed(automation, dialog)
    events, _ = quillmar.wait_events("Event history turned on")
    assert [text for _, text in events] == ["Event history turned on"]
    assert quillmar.saved_settings()["EVENTLOG"] == "1"
