"""The About box on the real program: its texts, only OK closing it, the
links painted as underlined blue text with the hand cursor over them alone,
and a click on a link handing its address to the shell. Also the help
command, which opens Quillmar.hlp from the current folder in WinHelp, and
where there is no WinHelp, Quillmar.html from the program's folder in the
browser."""
import os
import shutil
import subprocess
import time

import pytest

from harness import (DEFAULT_TIMEOUT, HELP_FILE, IDOK, QMSHELL_EXE, SC_CLOSE, STATUS_TEXT, VK_ESCAPE, WINEPREFIX, R,
                     read_png_rgb, shell, wait_for, wine_path)

ABOUT, HELP = R.IDM_ABOUT, R.IDM_HELP
CAPTION = "Quillmar： About"
MAIL_LINK, WEB_LINK = R.IDC_ABOUT_MAIL, R.IDC_ABOUT_WEB
MAIL_ADDRESS = "support@quillmar.example"
HOME_PAGE = "https://quillmar.example/"
WS_SYSMENU = 0x00080000
WINHELP_CLASS = "MS_WINHELP"
IDNO = 7
# How long a box that should stay open is watched.
STAYS_OPEN_SECONDS = 1.0


def open_about(quillmar):
    return quillmar.open_dialog(ABOUT, CAPTION)


def close_about(automation, dialog):
    automation.click(dialog, IDOK)
    wait_for("the About box to close", lambda: not automation.alive(dialog))


def centre(rect):
    left, top, right, bottom = rect
    return (left + right) // 2, (top + bottom) // 2


def label_rect(automation, dialog, title):
    return next(child["rect"] for child in automation.children(dialog) if child["title"] == title)


def test_texts_and_links(quillmar, automation):
    quillmar.start()
    dialog = open_about(quillmar)
    info = automation.info(dialog)
    assert info["style"] & WS_SYSMENU == 0, "no system menu, so no close box"
    titles = {child["title"] for child in automation.children(dialog)}
    assert {"Quillmar Ver 1.10", "Mail：", "Home：", "OK"} <= titles
    assert automation.text(dialog, MAIL_LINK) == MAIL_ADDRESS
    assert automation.text(dialog, WEB_LINK) == HOME_PAGE
    close_about(automation, dialog)


def test_escape_does_not_close_the_box_and_ok_does(quillmar, automation):
    quillmar.start()
    dialog = open_about(quillmar)
    automation.key(dialog, VK_ESCAPE)
    automation.syscommand(dialog, SC_CLOSE)
    time.sleep(STAYS_OPEN_SECONDS)
    assert automation.alive(dialog) and automation.info(dialog)["visible"]
    assert automation.alive(quillmar.window), "and the program goes on"
    close_about(automation, dialog)
    assert quillmar.text(STATUS_TEXT) == "Idle"


def test_the_hand_cursor_shows_over_the_links_only(quillmar, automation):
    quillmar.start()
    dialog = open_about(quillmar)
    places = [
        ("the mail link", automation.info(dialog, MAIL_LINK)["rect"], "hand"),
        ("the Mail label", label_rect(automation, dialog, "Mail："), "arrow"),
        ("the web link", automation.info(dialog, WEB_LINK)["rect"], "hand"),
        ("the version line", label_rect(automation, dialog, "Quillmar Ver 1.10"), "arrow"),
        ("the OK button", automation.info(dialog, IDOK)["rect"], "arrow"),
    ]
    for what, rect, cursor in places:
        automation.move_mouse(*centre(rect))
        wait_for(f"the {cursor} cursor over {what}", lambda: automation.cursor(dialog) == cursor)
    close_about(automation, dialog)


def blue(pixel):
    red, green, blue_ = pixel
    return blue_ >= 192 and red <= 96 and green <= 96


def test_links_are_painted_as_underlined_blue_text(quillmar, automation, tmp_path):
    quillmar.start()
    dialog = open_about(quillmar)
    time.sleep(0.5)     # the box paints once it is shown
    picture = tmp_path / "about.png"
    automation.screenshot(picture, dialog)
    pixels = read_png_rgb(picture)
    left, top = automation.info(dialog)["rect"][:2]

    def area(rect):
        return [row[rect[0] - left: rect[2] - left] for row in pixels[rect[1] - top: rect[3] - top]]

    for link in (MAIL_LINK, WEB_LINK):
        rows = area(automation.info(dialog, link)["rect"])
        width = len(rows[0])
        assert sum(blue(p) for row in rows for p in row) > width, f"link {link} is blue text"
        longest_blue_row = max(sum(blue(p) for p in row) for row in rows)
        assert longest_blue_row >= width * 0.9, f"link {link} is underlined across its text"
    for label in ("Quillmar Ver 1.10", "Mail："):
        assert not any(blue(p) for row in area(label_rect(automation, dialog, label)) for p in row)
    close_about(automation, dialog)


@pytest.fixture
def url_handlers(tmp_path):
    """Stand-in handlers for mailto: and https: URLs that write what the
    shell hands them to a file; the prefix's own handlers come back after."""
    saved = {}
    records = {}
    for scheme in ("mailto", "https"):
        status, command = shell("handler", scheme)
        saved[scheme] = command if status == 0 else None
        records[scheme] = tmp_path / f"{scheme}.txt"
        ours = f'"{wine_path(QMSHELL_EXE)}" record "{wine_path(records[scheme])}" "%1"'
        assert shell("sethandler", scheme, ours)[0] == 0
    try:
        yield records
    finally:
        for scheme, command in saved.items():
            if command is None:
                shell("removehandler", scheme)
            else:
                shell("sethandler", scheme, command)


@pytest.mark.parametrize("link, scheme, url", [(MAIL_LINK, "mailto", "mailto:" + MAIL_ADDRESS),
                                               (WEB_LINK, "https", HOME_PAGE)])
def test_a_click_on_a_link_asks_the_shell_to_open_its_address(quillmar, automation, url_handlers, link, scheme,
                                                              url):
    quillmar.start()
    dialog = open_about(quillmar)
    automation.left_click(*centre(automation.info(dialog, link)["rect"]))
    record = url_handlers[scheme]
    wait_for(f"the {scheme} handler to run", record.exists, timeout=30)
    assert record.read_text(encoding="utf-8") == url + "\n"
    assert automation.alive(dialog), "the About box stays open"
    close_about(automation, dialog)


def close_help_windows(automation):
    for window in automation.windows():
        if window["class"] == WINHELP_CLASS:
            automation.syscommand(window["hwnd"], SC_CLOSE)
    wait_for("WinHelp to close", lambda: not any(w["class"] == WINHELP_CLASS for w in automation.windows()))


def visible_help_window(automation):
    return next((w for w in automation.windows() if w["class"] == WINHELP_CLASS and w["visible"]), None)


def test_help_opens_quillmar_hlp_from_the_current_folder(quillmar, automation, tmp_path):
    # The current folder is not the program's: the help file is looked for
    # in the current one.
    current = tmp_path / "elsewhere"
    current.mkdir()
    shutil.copy2(HELP_FILE, current / "Quillmar.hlp")
    quillmar.start(cwd=current)
    try:
        quillmar.command(HELP)
        window = wait_for("WinHelp's window", lambda: visible_help_window(automation), timeout=60)
        picture = tmp_path / "help.png"
        time.sleep(1)
        automation.screenshot(picture, window["hwnd"])
        # The contents topic shows its jumps in green, underlined.
        pixels = read_png_rgb(picture)
        assert sum(1 for row in pixels for r, g, b in row if g >= 96 and r <= 48 and b <= 48) > 100
    finally:
        close_help_windows(automation)


def test_a_missing_help_file_is_reported_by_winhelp_and_the_program_goes_on(quillmar, automation):
    quillmar.start()
    try:
        quillmar.command(HELP)
        box, text = automation.wait_message_box(caption="ERROR", timeout=60)
        assert wine_path(quillmar.folder / "Quillmar.hlp").lower() in text.lower(), text
        automation.command(box, IDNO)
        wait_for("WinHelp's question to go", lambda: not automation.alive(box))
    finally:
        close_help_windows(automation)
    assert quillmar.text(STATUS_TEXT) == "Idle"
    assert automation.enabled(quillmar.window)


WINHELP_PROGRAM = WINEPREFIX / "drive_c" / "windows" / "system32" / "winhlp32.exe"     # where Wine keeps it
HTML_CLASS_KEY, BROWSER_KEY = r"HKCR\.html", r"HKCU\Software\Wine\WineBrowser"
PAGE_FAILED_TEXT = "ヘルプのページを開けませんでした。\n"


@pytest.fixture
def without_winhelp():
    """The prefix's winhlp32.exe moved aside, as on a Windows without WinHelp;
    back afterwards, and first, should an earlier run have been cut short."""
    aside = WINHELP_PROGRAM.with_name("winhlp32.exe.aside")
    if aside.exists():
        os.replace(aside, WINHELP_PROGRAM)
    os.replace(WINHELP_PROGRAM, aside)
    yield
    os.replace(aside, WINHELP_PROGRAM)


def reg(*arguments):
    return subprocess.run(["wine", "reg", *map(str, arguments)], capture_output=True,
                          timeout=DEFAULT_TIMEOUT).returncode


@pytest.fixture
def browser(tmp_path):
    """Wine's ShellExecute opens a page with the command of the class of
    .html, winebrowser, which runs the first program of the value Browsers
    that starts; here a script that writes its arguments to the file whose
    path this gives. (The rig's prefix has no class for .html: mshtml, turned
    off, registers it.) Both keys are put back as they were afterwards."""
    record, script = tmp_path / "browser.txt", tmp_path / "browser.sh"
    script.write_text(f'#!/bin/sh\nprintf \'%s\\n\' "$@" >"{record}.new" && mv "{record}.new" "{record}"\n')
    script.chmod(0o755)
    kept = {}      # each key, and a copy of it where there was one
    for number, key in enumerate((HTML_CLASS_KEY, BROWSER_KEY)):
        copy = tmp_path / f"key{number}.reg"
        kept[key] = copy if reg("export", key, wine_path(copy), "/y") == 0 else None
    try:
        assert reg("add", HTML_CLASS_KEY, "/ve", "/d", "htmlfile", "/f") == 0
        assert reg("add", BROWSER_KEY, "/v", "Browsers", "/d", script, "/f") == 0     # a list: no commas
        yield record
    finally:
        for key, copy in kept.items():
            reg("delete", key, "/f")
            assert copy is None or reg("import", wine_path(copy)) == 0, f"{key} not put back from {copy}"


def test_without_winhelp_help_shows_the_page_beside_the_program_in_the_browser(quillmar, automation, tmp_path,
                                                                              without_winhelp, browser):
    page = quillmar.folder / "Quillmar.html"
    page.write_text("<html><body>Quillmar</body></html>\n")
    current = tmp_path / "elsewhere"    # not the program's folder, where the page is
    current.mkdir()
    quillmar.start(cwd=current)
    quillmar.command(HELP)
    wait_for("the browser to be started", browser.exists, timeout=30)
    assert browser.read_text(encoding="utf-8") == page.as_uri() + "\n"
    shown = [w for w in automation.windows() if w["visible"] and w["hwnd"] != quillmar.window]
    assert not any(w["class"] in (WINHELP_CLASS, "#32770") for w in shown), shown


@pytest.mark.parametrize("missing", ["the page", "a browser"])
def test_without_winhelp_a_page_that_cannot_be_shown_is_named_in_an_error_box(quillmar, automation, without_winhelp,
                                                                              browser, missing):
    page = quillmar.folder / "Quillmar.html"
    if missing == "a browser":
        page.write_text("<html><body>Quillmar</body></html>\n")
        reg("delete", HTML_CLASS_KEY, "/f")
    quillmar.start()
    quillmar.command(HELP)
    box, text = automation.wait_message_box(timeout=30)
    assert text == PAGE_FAILED_TEXT + wine_path(page)
    automation.dismiss(box)
    assert not browser.exists(), "no browser was started"
    assert quillmar.text(STATUS_TEXT) == "Idle"
