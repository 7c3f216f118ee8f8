#!/usr/bin/python3
"""Takes the README's screenshots from the running program under the rig:

    make screenshots        (tools/rig.sh BUILD exec tools/screenshots.py docs/screenshots)

Each picture is cut from the screen at the window's own rectangle.
"""
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "system"))

from harness import ARTIFACTS, IDCANCEL, IDOK, Automation, Ports, Quillmar, wait_for  # noqa: E402

ABOUT = 500
DIALOGS = [
    (40006, "Quillmar： Socket", "socket-dialog.png"),
    (40008, "Quillmar： Option", "option-dialog.png"),
    (ABOUT, "Quillmar： About", "about-box.png"),
]
# A dialog paints once it is shown.
PAINT_SECONDS = 0.5


def main(output):
    output = Path(output)
    output.mkdir(parents=True, exist_ok=True)
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    automation = Automation(ARTIFACTS / "screenshots-qmauto.log")
    ports = Ports()
    ports.reset()
    try:
        with tempfile.TemporaryDirectory() as folder:
            program = Quillmar(Path(folder) / "app", automation)
            try:
                program.start()
                automation.screenshot(output / "main-window.png", program.window)
                for command, caption, name in DIALOGS:
                    dialog = program.open_dialog(command, caption)
                    time.sleep(PAINT_SECONDS)
                    automation.screenshot(output / name, dialog)
                    automation.command(dialog, IDOK if command == ABOUT else IDCANCEL)
                    wait_for(f"{caption} to close", lambda: not automation.alive(dialog))
            finally:
                program.stop()
    finally:
        ports.close()
        automation.close()
    print(f"screenshots written to {output}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "docs/screenshots")
