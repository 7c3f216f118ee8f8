#!/usr/bin/python3
"""Takes the README's screenshots from the running program under the rig:

    make screenshots        (tools/rig.sh BUILD exec tools/screenshots.py docs/screenshots)

Each picture is cut from the screen at the window's own rectangle. The main
window is taken once more at 96 and at 144 DPI (main-96dpi.png,
main-144dpi.png), the prefix's DPI set for each run and put back after.
"""
import contextlib
import os
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "system"))

from harness import (ARROWS_LAN_TO_SERIAL, ARROWS_SERIAL_TO_LAN, ARTIFACTS, IDCANCEL, IDOK,  # noqa: E402
                     LOG_CAPTION, LOG_SERIAL_TO_LAN, RATE_LAN_TO_SERIAL, STATUS_TEXT, Automation, Ports, Quillmar,
                     choose_file, connect_peer, display_dpi, free_tcp_port, receive_quiet, wait_for)

ABOUT = 500
DIALOGS = [
    (600, "Quillmar：  Serial", "serial-dialog.png"),
    (40006, "Quillmar： Socket", "socket-dialog.png"),
    (40008, "Quillmar： Option", "option-dialog.png"),
    (ABOUT, "Quillmar： About", "about-box.png"),
]
# A dialog paints once it is shown.
PAINT_SECONDS = 0.5
DPI_PICTURES = (96, 144)


class Traffic:
    """Bytes both ways, a few hundred a second, so that the arrows move."""

    def __init__(self, device):
        self.device = device
        self.peer = None
        self.running = False
        self.thread = threading.Thread(target=self._run, daemon=True)

    def start(self, peer):
        self.peer = peer
        self.running = True
        self.thread.start()

    def _run(self):
        while self.running:
            self.peer.sendall(b"reading 12.345 kg\r\n")
            os.write(self.device, b"ACK\r\n")
            receive_quiet(self.device, quiet=0.05, timeout=0.2)
            receive_quiet(self.peer, quiet=0.05, timeout=0.2)

    def stop(self):
        self.running = False
        if self.thread.is_alive():
            self.thread.join(timeout=5)
        if self.peer is not None:
            self.peer.close()


@contextlib.contextmanager
def connected(automation, ports, folder):
    """The program as a server with a peer, bytes moving both ways, and both
    rows of arrows and the rates showing."""
    program = Quillmar(Path(folder) / "app", automation)
    device = ports.pty(1)
    port = free_tcp_port()
    program.write_settings(MODE=0, SPORT=port, CONNECT=1, RATE=1)
    traffic = Traffic(device)
    try:
        program.start()
        program.wait_text(STATUS_TEXT, "Accept Waiting ・・・")
        traffic.start(connect_peer(port))
        wait_for("both rows of arrows and the rates", lambda: all(
            program.text(control) for control in (ARROWS_LAN_TO_SERIAL, ARROWS_SERIAL_TO_LAN,
                                                  RATE_LAN_TO_SERIAL)))
        yield program
    finally:
        traffic.stop()
        program.stop()


def main(output):
    output = Path(output)
    output.mkdir(parents=True, exist_ok=True)
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    automation = Automation(ARTIFACTS / "screenshots-qmauto.log")
    ports = Ports(automation)
    ports.reset()
    try:
        with tempfile.TemporaryDirectory() as folder, connected(automation, ports, folder) as program:
            automation.screenshot(output / "main-window.png", program.window)

            log_file = Path(folder) / "rs232c-to-lan.txt"
            log_file.write_bytes(b"")
            program.command(LOG_SERIAL_TO_LAN)
            choose_file(automation, log_file)
            log = wait_for("the log window", lambda: automation.find(LOG_CAPTION))
            wait_for("bytes counted in the log", lambda: automation.text(log, 1063) not in ("", "0"))
            time.sleep(PAINT_SECONDS)
            automation.screenshot(output / "log-window.png", log)
            automation.command(log, IDCANCEL)
            wait_for("the log window to close", lambda: not automation.alive(log))
            for command, caption, name in DIALOGS:
                dialog = program.open_dialog(command, caption)
                time.sleep(PAINT_SECONDS)
                automation.screenshot(output / name, dialog)
                automation.command(dialog, IDOK if command == ABOUT else IDCANCEL)
                wait_for(f"{caption} to close", lambda: not automation.alive(dialog))
        # The main window on a display of 100 % and of 150 %.
        for dpi in DPI_PICTURES:
            with display_dpi(dpi), tempfile.TemporaryDirectory() as folder, \
                    connected(automation, ports, folder) as program:
                automation.screenshot(output / f"main-{dpi}dpi.png", program.window)
    finally:
        ports.close()
        automation.close()
    print(f"screenshots written to {output}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "docs/screenshots")
