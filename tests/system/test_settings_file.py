"""Quillmar.ini on the real program: SAVE, the defaults, files of junk, a
file that cannot be written and a path too long for the settings file."""
import os
import random

from harness import Quillmar, R

SAVE = R.IDM_SAVE
STATUS_TEXT = R.IDC_STATUS_TEXT

DEFAULT_FILE = (
    "[DATA]\r\n"
    "COM=0\r\nBPS=9600\r\nBIT=8\r\nPARI=0\r\nSTOP=0\r\nFLOW=0\r\nRATE=5\r\n"
    "SPORT=9001\r\nPORT=9001\r\nIP=192.168.0.1\r\nMODE=1\r\n"
    "PERMISSIP1=0.0.0.0\r\nPERMISSIP2=0.0.0.0\r\nPERMISSIP3=0.0.0.0\r\n"
    "CONNECT=0\r\nDT=0\r\nDTRSLAN=0\r\nDTLANRS=0\r\nDTUPTIME=5\r\nRFC2217=0\r\nEVENTLOG=1\r\n"
    "MAXPEER=0\r\nKICKOLD=0\r\n"
)
SAVED = "設定データを保存しました。"
SAVE_FAILED = "設定データを保存できませんでした。"


def save(quillmar, automation):
    quillmar.command(SAVE)
    box, text = automation.wait_message_box()
    automation.dismiss(box)
    return text


def test_start_without_file_creates_none_and_save_writes_the_defaults(quillmar, automation):
    quillmar.start()
    assert not quillmar.ini.exists()
    assert save(quillmar, automation) == SAVED
    assert quillmar.ini.read_bytes().decode() == DEFAULT_FILE


def test_save_writes_what_was_loaded_and_keeps_the_rest(quillmar, automation):
    quillmar.write_ini("; notes\r\n[Mine]\r\nx=1\r\n[DATA]\r\nBPS=19200\r\nPERMISSIP2=10.0.0.7\r\n"
                       "EXTRA=kept\r\nbit=7\r\n")
    quillmar.start()
    assert save(quillmar, automation) == SAVED
    text = quillmar.ini.read_bytes().decode()
    assert text.startswith("; notes\r\n[Mine]\r\nx=1\r\n[DATA]\r\nBPS=19200\r\nPERMISSIP2=10.0.0.7\r\n"
                           "EXTRA=kept\r\nbit=7\r\nCOM=0\r\n")
    assert "\r\nRATE=0\r\n" in text, "a key missing from an existing file loads as 0"
    assert "\r\nIP=0\r\n" in text
    assert "\r\nMODE=0\r\n" in text
    assert text.endswith("\r\nDTUPTIME=0\r\nRFC2217=0\r\nEVENTLOG=1\r\nMAXPEER=0\r\nKICKOLD=0\r\n"), \
        "the newer keys are missing too: raw, the history kept, one peer, nobody replaced, added last"


def test_a_file_that_cannot_be_written_is_reported(quillmar, automation):
    quillmar.ini.mkdir()
    quillmar.start()
    assert save(quillmar, automation) == SAVE_FAILED
    assert quillmar.text(STATUS_TEXT) == "Idle"


def junk_files():
    generator = random.Random(7)
    binary = bytes(generator.randrange(256) for _ in range(64 * 1024))
    long_line = b"A" * (100 * 1024)
    return {
        "binary": binary,
        "long lines": b"[DATA]\r\nIP=" + long_line + b"\r\nCOM=" + long_line + b"\r\n" + long_line + b"\r\n",
        "no section": b"COM=3\r\nBPS=1200\r\n",
        "duplicate keys": b"[DATA]\r\nCOM=0\r\nCOM=4\r\n[DATA]\r\nBPS=1\r\nBPS=2\r\n",
        "nul bytes": b"[DATA]\x00\r\nBPS=\x00\x00\r\n" + b"\x00" * 1000,
    }


def test_junk_files_load_and_the_program_comes_up(quillmar, automation):
    for what, content in junk_files().items():
        quillmar.write_ini(content)
        quillmar.start(wait=False)
        # Keys that junk leaves out read 0, and the port refuses a line of
        # 0 bit/s: the box says so, and the program comes up.
        box, text = automation.wait_message_box(timeout=30)
        assert text.startswith("Com1 Line Setting Error: "), (what, text)
        automation.dismiss(box)
        quillmar.wait_window()
        assert quillmar.text(STATUS_TEXT) == "Idle", what
        quillmar.command(R.IDM_END)
        assert quillmar.wait_exit() == 0, what


def test_an_executable_path_too_long_for_the_settings_file_is_refused(tmp_path, automation, ports):
    deep = tmp_path / "long"
    # Deep enough that the folder alone leaves no room for \Quillmar.ini in 255 characters.
    while len(str(deep)) < 250:
        deep = deep / ("d" * 40)
    program = Quillmar(deep, automation)
    try:
        program.start(wait=False)
        box, text = automation.wait_message_box(timeout=30)
        assert "Quillmar.ini" in text and "255" in text
        automation.dismiss(box)
        program.wait_window()
        program.command(SAVE)
        box, text = automation.wait_message_box()
        assert "保存できません" in text
        automation.dismiss(box)
        assert not any(name.endswith(".ini") for name in os.listdir(deep))
    finally:
        program.stop()
