"""The start-up shortcut on the real program: the option dialog's button
places Quillmar.lnk in the prefix's Startup folder, pointing to the running
program; a second press replaces it; a Startup folder that cannot be used is
reported, and a later attempt works once the folder is back."""
import os

import pytest

from harness import IDCANCEL, R, linux_path, shell, wait_for, wine_path

OPTION = R.IDM_OPTION
CAPTION = "Quillmar： Option"
STARTUP = R.IDC_OPTION_STARTUP
REGISTERED = "スタートアップへ登録しました。"
NOT_REGISTERED = "スタートアップへ登録できません。"


@pytest.fixture
def startup_folder():
    """The Startup folder of the prefix, left as it was found: without our link."""
    status, folder = shell("startup")
    assert status == 0, "qmshell cannot name the Startup folder"
    path = linux_path(folder)
    link = path / "Quillmar.lnk"
    assert not link.exists(), f"{link} is left over from an earlier run"
    yield folder, path
    if link.exists():
        link.unlink()


def press_register(automation, dialog):
    automation.click(dialog, STARTUP)
    box, text = automation.wait_message_box()
    automation.dismiss(box)
    wait_for("the option dialog to take input again", lambda: automation.enabled(dialog))
    return text


def link_target(link):
    status, target = shell("resolve", wine_path(link))
    assert status == 0, f"qmshell cannot read {link}"
    return target


def test_the_shortcut_points_to_the_running_program_and_a_second_press_replaces_it(
        quillmar, automation, startup_folder):
    _, folder = startup_folder
    link = folder / "Quillmar.lnk"
    quillmar.start()
    dialog = quillmar.open_dialog(OPTION, CAPTION)
    assert press_register(automation, dialog) == REGISTERED
    assert link_target(link).lower() == wine_path(quillmar.exe).lower()
    assert automation.alive(dialog), "the dialog stays open"

    os.utime(link, (0, 0))
    assert press_register(automation, dialog) == REGISTERED
    assert link.stat().st_mtime > 0, "the second press wrote the link again"
    assert link_target(link).lower() == wine_path(quillmar.exe).lower()
    assert sorted(p.name for p in folder.iterdir()) == ["Quillmar.lnk"]
    automation.command(dialog, IDCANCEL)
    wait_for("the option dialog to close", lambda: not automation.alive(dialog))


def test_a_startup_folder_that_cannot_be_used_is_reported_and_a_later_attempt_works(
        quillmar, automation, startup_folder):
    _, folder = startup_folder
    aside = folder.with_name(folder.name + ".aside")
    quillmar.start()
    dialog = quillmar.open_dialog(OPTION, CAPTION)
    folder.rename(aside)
    try:
        # Root is not stopped by permissions: a plain file where the folder
        # should be makes the folder unusable.
        folder.write_bytes(b"not a folder")
        assert press_register(automation, dialog) == NOT_REGISTERED
        assert press_register(automation, dialog) == NOT_REGISTERED, "the same answer every time"
    finally:
        if folder.is_file():
            folder.unlink()
        aside.rename(folder)
    assert press_register(automation, dialog) == REGISTERED
    assert link_target(folder / "Quillmar.lnk").lower() == wine_path(quillmar.exe).lower()
    automation.command(dialog, IDCANCEL)
    wait_for("the option dialog to close", lambda: not automation.alive(dialog))
