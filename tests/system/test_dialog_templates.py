"""Every dialog template of the built Quillmar.exe, read back out of its
resources and compared with the table below: the dialog's style, size, menu,
caption and font, and per control, in template order (the tab order), its
id, class, style, extended style, rectangle and text. What windres makes of
res/quillmar.rc is checked here, not what the .rc says. Needs no Wine."""
from types import SimpleNamespace

import pytest

from harness import QUILLMAR_EXE
from resources import Control, Dialog, dialogs, read_defines

# The ids of res/resource.h, and the two of windows.h the templates use.
R = SimpleNamespace(**read_defines(), IDOK=1, IDCANCEL=2)

WS_POPUP, WS_CHILD, WS_VISIBLE = 0x80000000, 0x40000000, 0x10000000
WS_CAPTION, WS_BORDER, WS_VSCROLL, WS_SYSMENU = 0x00C00000, 0x00800000, 0x00200000, 0x00080000
WS_GROUP = WS_MINIMIZEBOX = 0x00020000
WS_TABSTOP = 0x00010000
WS_EX_CLIENTEDGE = 0x00000200
DS_SETFONT, DS_MODALFRAME = 0x40, 0x80
BS_PUSHBUTTON, BS_DEFPUSHBUTTON, BS_AUTOCHECKBOX, BS_GROUPBOX, BS_AUTORADIOBUTTON = 0, 1, 3, 7, 9
BS_MULTILINE = 0x2000
ES_RIGHT = 0x2
SS_LEFT, SS_CENTER, SS_ICON, SS_ETCHEDHORZ, SS_NOTIFY, SS_CENTERIMAGE, SS_SUNKEN = 0, 1, 3, 0x10, 0x100, 0x200, 0x1000
CBS_DROPDOWNLIST, CBS_DISABLENOSCROLL = 0x3, 0x800

CHILD = WS_CHILD | WS_VISIBLE           # every control has both
SETTINGS_DIALOG = DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU
FONT = (9, 400, 0, 0x80, "ＭＳ Ｐゴシック")   # points, weight, italic, Shift-JIS character set, face

# Control rows: (id, class, style, (x, y, width, height), text); an icon's text is its resource id.
LOG_CONTROLS = [
    (R.IDC_LOG_DIRECTION, "Static", CHILD | WS_GROUP | SS_LEFT, ""),
    (R.IDC_LOG_FILE, "Static", CHILD | WS_GROUP | SS_LEFT, "File"),
    (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, "Recv Byte："),
    (R.IDC_LOG_COUNT, "Static", CHILD | WS_GROUP | SS_CENTER, ""),
    (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, "Byte"),
    (R.IDC_LOG_CLOSE, "Button", CHILD | WS_TABSTOP | BS_DEFPUSHBUTTON, "Close"),
]


def log_window(*rects):
    """The two log windows differ only in their rectangles."""
    return dict(style=DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, size=(187, 71),
                caption="Quillmar： Log", controls=[(id_, cls, style, rect, text)
                                                   for (id_, cls, style, text), rect in zip(LOG_CONTROLS, rects)])


TEMPLATES = {
    "IDD_DIALOG_MAIN": dict(
        style=DS_SETFONT | DS_MODALFRAME | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, exstyle=WS_EX_CLIENTEDGE,
        size=(231, 142), menu="RS232C", caption="", controls=[
            (R.IDC_CONNECT, "Button", CHILD | WS_TABSTOP | BS_DEFPUSHBUTTON, (137, 105, 42, 18), "Connect"),
            (R.IDC_CLOSE, "Button", CHILD | WS_TABSTOP | BS_DEFPUSHBUTTON, (182, 105, 42, 18), "Close"),
            (R.IDC_STATIC, "Static", CHILD | WS_BORDER | SS_SUNKEN | SS_CENTER, (22, 21, 12, 63), "\n\nL\nA\nN"),
            (R.IDC_STATUS_TEXT, "Static", CHILD | SS_SUNKEN | SS_CENTERIMAGE | SS_CENTER, (6, 106, 125, 17), ""),
            (R.IDC_STATIC, "Static", CHILD | WS_BORDER | SS_SUNKEN | SS_CENTER, (194, 21, 12, 63),
             "\nR\nS\n2\n3\n2\nC"),
            (R.IDC_ARROWS_LAN_TO_SERIAL, "Static", CHILD | SS_CENTERIMAGE | SS_CENTER, (39, 25, 152, 16), ""),
            (R.IDC_ARROWS_SERIAL_TO_LAN, "Static", CHILD | SS_CENTERIMAGE | SS_CENTER, (39, 64, 152, 16), ""),
            (R.IDC_STATIC, "Button", CHILD | BS_GROUPBOX, (12, 7, 204, 88), ""),
            (R.IDC_RATE_LAN_TO_SERIAL, "Static", CHILD | SS_CENTER, (90, 43, 51, 10), ""),
            (R.IDC_RATE_SERIAL_TO_LAN, "Static", CHILD | SS_CENTER, (90, 82, 51, 10), ""),
        ]),
    "IDD_DIALOG_SERIAL": dict(style=SETTINGS_DIALOG, size=(130, 181), caption="Quillmar：  Serial", controls=[
        (R.IDC_STATIC, "Static", CHILD | SS_ICON, (7, 7, 20, 20), R.IDI_SERIAL),
        (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (32, 17, 58, 8), "シリアルポート"),
        (R.IDC_STATIC, "Button", CHILD | BS_GROUPBOX, (7, 32, 116, 123), ""),
        (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (19, 46, 23, 9), "COM："),
        (R.IDC_SERIAL_PORT, "ComboBox", CHILD | WS_VSCROLL | WS_TABSTOP | CBS_DISABLENOSCROLL | CBS_DROPDOWNLIST,
         (48, 44, 62, 49), ""),
        (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (19, 64, 23, 9), "BPS："),
        (R.IDC_SERIAL_BPS, "ComboBox", CHILD | WS_VSCROLL | WS_TABSTOP | CBS_DISABLENOSCROLL | CBS_DROPDOWNLIST,
         (48, 62, 62, 50), ""),
        (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (19, 82, 23, 9), "BITS："),
        (R.IDC_SERIAL_BITS, "ComboBox", CHILD | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST, (48, 80, 62, 49), ""),
        (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (19, 100, 23, 9), "PARI："),
        (R.IDC_SERIAL_PARITY, "ComboBox", CHILD | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST, (48, 98, 62, 49), ""),
        (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (19, 119, 25, 9), "STOP："),
        (R.IDC_SERIAL_STOP, "ComboBox", CHILD | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST, (48, 116, 62, 45), ""),
        (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (19, 137, 25, 9), "FLOW："),
        (R.IDC_SERIAL_FLOW, "ComboBox", CHILD | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST, (48, 134, 62, 45), ""),
        (R.IDOK, "Button", CHILD | WS_TABSTOP | BS_DEFPUSHBUTTON, (18, 161, 50, 13), "OK"),
        (R.IDCANCEL, "Button", CHILD | WS_TABSTOP | BS_DEFPUSHBUTTON, (73, 161, 50, 13), "ｷｬﾝｾﾙ"),
    ]),
    "IDD_DIALOG_LOG1": log_window((10, 10, 68, 8), (29, 25, 97, 8), (29, 37, 35, 8), (71, 37, 44, 8),
                                  (121, 37, 51, 8), (68, 51, 50, 14)),
    "IDD_DIALOG_LOG2": log_window((10, 9, 67, 8), (30, 23, 78, 8), (30, 35, 35, 8), (72, 35, 42, 8),
                                  (121, 35, 35, 8), (68, 50, 50, 14)),
    # The radio buttons have neither a tab stop nor a group mark.
    "IDD_DIALOG_SOCK": dict(style=SETTINGS_DIALOG, size=(197, 232), caption="Quillmar： Socket", controls=[
        (R.IDC_SOCK_SERVER, "Button", CHILD | BS_AUTORADIOBUTTON, (19, 51, 52, 8), "サーバー接続"),
        (R.IDC_SOCK_CLIENT, "Button", CHILD | BS_AUTORADIOBUTTON, (19, 145, 59, 8), "クライアント接続"),
        (R.IDC_SOCK_LISTEN_PORT, "Edit", CHILD | WS_BORDER | WS_TABSTOP | ES_RIGHT, (104, 62, 38, 12), ""),
        (R.IDC_SOCK_PERMIT1, "SysIPAddress32", CHILD | WS_TABSTOP, (104, 94, 76, 11), ""),
        (R.IDC_SOCK_PERMIT2, "SysIPAddress32", CHILD | WS_TABSTOP, (104, 108, 76, 11), ""),
        (R.IDC_SOCK_PERMIT3, "SysIPAddress32", CHILD | WS_TABSTOP, (104, 122, 76, 11), ""),
        (R.IDC_SOCK_MAX_PEERS, "Edit", CHILD | WS_BORDER | WS_TABSTOP | ES_RIGHT, (60, 94, 20, 12), ""),
        (R.IDC_SOCK_KICK_OLD, "Button", CHILD | WS_TABSTOP | BS_AUTOCHECKBOX | BS_MULTILINE, (19, 110, 66, 18),
         "満杯時は古い\n接続を切る"),
        (R.IDC_SOCK_DEST_PORT, "Edit", CHILD | WS_BORDER | WS_TABSTOP | ES_RIGHT, (105, 156, 38, 12), ""),
        (R.IDC_SOCK_DEST_ADDRESS, "SysIPAddress32", CHILD | WS_TABSTOP, (105, 171, 76, 11), ""),
        (R.IDC_SOCK_RFC2217, "Button", CHILD | WS_TABSTOP | BS_AUTOCHECKBOX, (19, 215, 150, 10),
         "RFC 2217 リモート回線制御"),
        (R.IDOK, "Button", CHILD | WS_TABSTOP | BS_PUSHBUTTON, (84, 197, 50, 14), "OK"),
        (R.IDCANCEL, "Button", CHILD | WS_TABSTOP | BS_PUSHBUTTON, (138, 197, 50, 14), "ｷｬﾝｾﾙ"),
        (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (33, 18, 58, 8), "ソケット接続設定"),
        (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (55, 64, 47, 8), "待ち受けポート："),
        (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (55, 80, 55, 8), "接続許可アドレス："),
        (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (90, 95, 8, 9), "1．"),
        (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (90, 110, 8, 9), "2．"),
        (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (90, 124, 8, 9), "3．"),
        (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (19, 96, 40, 8), "同時接続数："),
        (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (55, 158, 42, 8), "接続先ポート："),
        (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (55, 173, 47, 8), "接続先アドレス："),
        (R.IDC_STATIC, "Static", CHILD | SS_ICON, (8, 8, 20, 20), R.IDI_SOCKET),
        (R.IDC_STATIC, "Button", CHILD | BS_GROUPBOX, (9, 35, 179, 156), "接続設定"),
        (R.IDC_STATIC, "Static", CHILD | SS_ETCHEDHORZ, (18, 137, 164, 1), ""),
    ]),
    # OK is the one default button.
    "IDD_DIALOG_OPTION": dict(style=SETTINGS_DIALOG, size=(210, 245), caption="Quillmar： Option", controls=[
        (R.IDC_STATIC, "Static", CHILD | SS_ICON, (7, 7, 20, 20), R.IDI_OPTION),
        (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (30, 17, 87, 9), "オプション"),
        (R.IDC_STATIC, "Button", CHILD | BS_GROUPBOX, (7, 37, 196, 28), "登録"),
        (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (19, 49, 87, 8), "スタートアップに登録する。"),
        (R.IDC_OPTION_STARTUP, "Button", CHILD | WS_TABSTOP | BS_PUSHBUTTON, (157, 45, 38, 16), "登録"),
        (R.IDC_STATIC, "Button", CHILD | BS_GROUPBOX, (7, 71, 196, 29), "接続モード"),
        (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (19, 84, 164, 10),
         "起動時 or Idle時に通信相手との接続を自動で実施する。"),
        (R.IDC_OPTION_AUTO_CONNECT, "Button", CHILD | WS_TABSTOP | BS_AUTOCHECKBOX, (188, 84, 8, 8), ""),
        (R.IDC_STATIC, "Button", CHILD | BS_GROUPBOX, (7, 107, 196, 29), "転送Ｒａｔｅ"),
        (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (19, 120, 105, 9), "転送Ｒａｔｅ更新時間（秒）"),
        (R.IDC_OPTION_RATE, "Edit", CHILD | WS_BORDER | WS_TABSTOP | ES_RIGHT, (153, 118, 43, 12), ""),
        (R.IDC_STATIC, "Button", CHILD | BS_GROUPBOX, (7, 144, 196, 74), "転送時間"),
        (R.IDC_OPTION_TIME_TAGS, "Button", CHILD | WS_TABSTOP | BS_AUTOCHECKBOX, (20, 157, 8, 8), ""),
        (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (32, 157, 90, 8), "転送データに時間を付加する。"),
        (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (33, 172, 79, 8), "時間を付加する転送方向。"),
        (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (129, 172, 53, 8), "LAN -> RS232C"),
        (R.IDC_OPTION_TAG_LAN_TO_SERIAL, "Button", CHILD | WS_TABSTOP | BS_AUTOCHECKBOX, (188, 172, 8, 8), ""),
        (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (129, 184, 53, 8), "LAN <- RS232C"),
        (R.IDC_OPTION_TAG_SERIAL_TO_LAN, "Button", CHILD | WS_TABSTOP | BS_AUTOCHECKBOX, (188, 184, 8, 8), ""),
        (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (33, 201, 114, 8),
         "時間を付加するまでのタイムアウト（秒）"),
        (R.IDC_OPTION_TAG_TIMEOUT, "Edit", CHILD | WS_BORDER | WS_TABSTOP | ES_RIGHT, (153, 199, 43, 12), ""),
        (R.IDC_OPTION_EVENT_LOG, "Button", CHILD | WS_TABSTOP | BS_AUTOCHECKBOX, (9, 226, 86, 10),
         "イベント履歴を残す"),
        (R.IDOK, "Button", CHILD | WS_TABSTOP | BS_DEFPUSHBUTTON, (98, 223, 50, 14), "OK"),
        (R.IDCANCEL, "Button", CHILD | WS_TABSTOP | BS_PUSHBUTTON, (153, 223, 50, 14), "ｷｬﾝｾﾙ"),
    ]),
    # No system menu; OK comes first, so it has the focus.
    "IDD_DIALOG_ABOUT": dict(
        style=DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION, size=(237, 129), caption="Quillmar： About",
        controls=[
            (R.IDOK, "Button", CHILD | WS_TABSTOP | BS_DEFPUSHBUTTON, (170, 96, 50, 14), "OK"),
            (R.IDC_STATIC, "Button", CHILD | BS_GROUPBOX, (7, 4, 222, 116), ""),
            (R.IDC_STATIC, "Static", CHILD | SS_ICON, (15, 16, 20, 21), R.IDI_QUILLMAR),
            (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (39, 26, 88, 8), "Quillmar Ver 1.10"),
            (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (46, 80, 20, 8), "Mail："),
            (R.IDC_ABOUT_MAIL, "Static", CHILD | SS_NOTIFY | SS_LEFT, (74, 80, 76, 8), "support@quillmar.example"),
            (R.IDC_STATIC, "Static", CHILD | WS_GROUP | SS_LEFT, (46, 92, 20, 8), "Home："),
            (R.IDC_ABOUT_WEB, "Static", CHILD | SS_NOTIFY | SS_LEFT, (74, 92, 76, 8), "https://quillmar.example/"),
        ]),
}


def expected(style, size, caption, controls, exstyle=0, menu=None):
    """A table entry as the template would read. The dialog manager looks a
    class up by name whatever its case; windres writes the class of a
    CONTROL statement as an upper-case name, of LTEXT and the like as an
    ordinal: classes are compared in upper case."""
    return Dialog(style, exstyle, (0, 0) + size, menu, caption, FONT,
                  [Control(id_, cls.upper(), control_style, 0, rect, text)
                   for id_, cls, control_style, rect, text in controls])


@pytest.fixture(scope="module")
def built():
    return dialogs(QUILLMAR_EXE)


def test_every_dialog_is_in_the_table(built):
    assert sorted(built) == sorted(getattr(R, name) for name in TEMPLATES)


def differences(have, want):
    """One line per control that differs from the table's, and one when the
    counts differ."""
    def shown(field, value):
        return f"{value:#010x}" if field in ("style", "exstyle") else repr(value)

    lines = []
    for index, (control, wanted) in enumerate(zip(have, want)):
        fields = [f"{field} {shown(field, mine)}, want {shown(field, theirs)}"
                  for field, mine, theirs in zip(Control._fields, control, wanted) if mine != theirs]
        if fields:
            lines.append(f"control {index} (id {control.id}): " + ", ".join(fields))
    if len(have) != len(want):
        lines.append(f"{len(have)} controls, want {len(want)}")
    return lines


@pytest.mark.parametrize("name", TEMPLATES)
def test_template(built, name):
    template = built[getattr(R, name)]
    want = expected(**TEMPLATES[name])
    assert template._replace(controls=None) == want._replace(controls=None)
    wrong = differences([control._replace(cls=control.cls.upper()) for control in template.controls], want.controls)
    assert not wrong, f"{name}:\n" + "\n".join(wrong)


@pytest.mark.parametrize("name", TEMPLATES)
def test_controls_lie_in_the_dialog_and_overlap_none(name):
    """Every control within the dialog, and no two of them on the same spot:
    a group box holds others, and a drop-down list's height is that of its
    open list, so neither counts."""
    template = TEMPLATES[name]
    width, height = template["size"]
    placed = []
    for id_, cls, style, (x, y, w, h), text in template["controls"]:
        assert 0 <= x and 0 <= y and x + w <= width and y + h <= height, f"{name}: {text or id_} lies outside"
        if cls == "ComboBox" or (cls == "Button" and style & 0xF == BS_GROUPBOX):
            continue
        for other, (ox, oy, ow, oh) in placed:
            assert not (x < ox + ow and ox < x + w and y < oy + oh and oy < y + h), \
                f"{name}: {text or id_} overlaps {other}"
        placed.append((text or id_, (x, y, w, h)))
