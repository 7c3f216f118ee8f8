"""The system tests' rig: Quillmar.exe started for real under Wine, the UI
helper qmauto.exe that reads and drives its windows, serial ports that are
pseudo-terminal pairs, and waits that always end.

The tests run inside `tools/rig.sh BUILD test`, which provides the Wine prefix,
the display and the wineserver; the environment tells where they are. Under
pytest-xdist each worker (gw0, gw1, ...) has a rig of its own, which the rig
describes in BUILD/test-workers/<worker>/env: its own prefix and wineserver,
port links and display, so that no worker sees another's program, windows or
ports. Its TCP ports for the program come from a range of its own too.
"""
import codecs
import contextlib
import fcntl
import itertools
import json
import os
import pty
import random
import re
import select
import shutil
import signal
import socket
import sys
import threading
import struct
import subprocess
import termios
import time
import tty
import zlib
from datetime import datetime
from pathlib import Path
from types import SimpleNamespace

from resources import read_defines

WORKER = os.environ.get("PYTEST_XDIST_WORKER", "")     # "" when the tests run in one process
WORKER_COUNT = int(os.environ.get("PYTEST_XDIST_WORKER_COUNT", "1"))
WORKER_INDEX = int(WORKER[2:]) if WORKER.startswith("gw") else 0


def _use_worker_rig():
    """Points this process (and the Wine programs it starts) at the worker's
    rig: the environment file the rig wrote for it."""
    settings = Path(os.environ["QUILLMAR_BUILD"]) / "test-workers" / WORKER / "env"
    try:
        lines = settings.read_text().splitlines()
    except OSError:
        raise SystemExit(f"no rig for the test worker {WORKER} ({settings}): run the system tests with "
                         "`make test`, whose rig makes one per worker") from None
    for line in lines:
        name, value = line.split("=", 1)
        os.environ[name] = value


try:
    if WORKER:
        _use_worker_rig()
    BUILD = Path(os.environ["QUILLMAR_BUILD"])
    RIG = Path(os.environ["QUILLMAR_RIG"])
    WINEPREFIX = Path(os.environ["WINEPREFIX"])
except KeyError as missing:
    raise SystemExit(f"{missing} is not set: run the system tests with `make test`") from None

QUILLMAR_EXE = BUILD / "Quillmar.exe"
QMAUTO_EXE = BUILD / "tests" / "system" / "qmauto.exe"
QMSHELL_EXE = BUILD / "tests" / "system" / "qmshell.exe"
HELP_FILE = BUILD / "Quillmar.hlp"
ARTIFACTS = BUILD / "test-artifacts"
PORT_COUNT = 256

DEFAULT_TIMEOUT = 15.0
POLL_INTERVAL = 0.05

CAPTION = "Quillmar"
MESSAGE_CAPTION = "Dovrelle"
MESSAGE_TEXT_ID = 65535         # the static that holds a message box's text
IDOK, IDCANCEL = 1, 2
SAVED_TEXT = "設定データを保存しました。"
VK_ESCAPE = 0x1B
VK_RETURN = 0x0D
SC_CLOSE = 0xF060


# The program's control and command ids, as res/resource.h defines them:
# R.IDC_STATUS_TEXT, R.IDM_SERIAL, ...
R = SimpleNamespace(**read_defines())

# The main window's controls and commands.
CONNECT, CLOSE, STATUS_TEXT = R.IDC_CONNECT, R.IDC_CLOSE, R.IDC_STATUS_TEXT
ARROWS_LAN_TO_SERIAL, ARROWS_SERIAL_TO_LAN = R.IDC_ARROWS_LAN_TO_SERIAL, R.IDC_ARROWS_SERIAL_TO_LAN
RATE_LAN_TO_SERIAL, RATE_SERIAL_TO_LAN = R.IDC_RATE_LAN_TO_SERIAL, R.IDC_RATE_SERIAL_TO_LAN
STATUS_BAR = R.IDC_STATUS_BAR
END, SAVE = R.IDM_END, R.IDM_SAVE
PORT_PART, TIME_PART = 0, 1
LOG_LAN_TO_SERIAL, LOG_SERIAL_TO_LAN = R.IDM_LOG_LAN_TO_SERIAL, R.IDM_LOG_SERIAL_TO_LAN
SERIAL, SERIAL_CAPTION = R.IDM_SERIAL, "Quillmar：  Serial"
LOG_CLOSE, LOG_COUNT, LOG_DIRECTION, LOG_FILE = R.IDC_LOG_CLOSE, R.IDC_LOG_COUNT, R.IDC_LOG_DIRECTION, R.IDC_LOG_FILE
LOG_CAPTION = "Quillmar： Log"
FILE_NAME_CONTROL = 1148       # the file name of the system's open-file dialog

# The built-in settings, in the file's order.
DEFAULT_SETTINGS = {
    "COM": 0, "BPS": 9600, "BIT": 8, "PARI": 0, "STOP": 0, "FLOW": 0, "RATE": 5,
    "SPORT": 9001, "PORT": 9001, "IP": "192.168.0.1", "MODE": 1,
    "PERMISSIP1": "0.0.0.0", "PERMISSIP2": "0.0.0.0", "PERMISSIP3": "0.0.0.0",
    "CONNECT": 0, "DT": 0, "DTRSLAN": 0, "DTLANRS": 0, "DTUPTIME": 5, "RFC2217": 0, "EVENTLOG": 1,
    "MAXPEER": 0, "KICKOLD": 0,
}
# QUILLMAR_TEST_MAXPEER=1 runs the suite again with MAXPEER=1 written, which
# must change nothing: one peer at a time, as with 0 or no key.
if os.environ.get("QUILLMAR_TEST_MAXPEER"):
    DEFAULT_SETTINGS["MAXPEER"] = int(os.environ["QUILLMAR_TEST_MAXPEER"])

# Status texts of the connection.
# The line of a settings file written by hand: without them the keys read 0,
# and the port refuses a line of 0 bit/s, which the program says at start-up.
LINE_KEYS = "BPS=9600\r\nBIT=8\r\n"
IDLE = "Idle"
ACCEPT_WAITING = "Accept Waiting ・・・"
PEER = "Connection - 127.0.0.1"
SOCKET_ERROR = re.compile(r"Socket Error: \d+")

LOOPBACK = "127.0.0.1"
SECOND_HOST = "127.0.0.2"       # loopback answers for any 127.x.y.z: a second source address


class AutomationError(Exception):
    pass


def wait_for(what, probe, timeout=DEFAULT_TIMEOUT):
    """Polls probe() until it returns something true and returns that; on
    time-out fails with what was expected and what probe last saw."""
    deadline = time.monotonic() + timeout
    last = None
    while True:
        try:
            last = probe()
        except AutomationError as error:
            last = error
        else:
            if last:
                return last
        if time.monotonic() >= deadline:
            raise AssertionError(f"timed out after {timeout:.1f} s waiting for {what}; last seen: {last!r}")
        time.sleep(POLL_INTERVAL)


def wine_path(path):
    """The Windows name of a Linux path (Wine maps / to Z:)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Automation:
    """qmauto.exe, one request per line, one JSON answer per line."""

    def __init__(self, log_path):
        self.log = open(log_path, "ab")
        self.process = subprocess.Popen(
            ["wine", str(QMAUTO_EXE)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=self.log, cwd=QMAUTO_EXE.parent)
        self.buffer = b""
        self.request("ping", timeout=60)

    def request(self, *fields, timeout=DEFAULT_TIMEOUT):
        line = "\t".join(str(field) for field in fields) + "\n"
        self.process.stdin.write(line.encode("utf-8"))
        self.process.stdin.flush()
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            ready, _, _ = select.select([self.process.stdout], [], [], max(left, 0))
            if not ready:
                raise AutomationError(f"qmauto gave no answer to {fields!r} in {timeout} s")
            chunk = os.read(self.process.stdout.fileno(), 65536)
            if not chunk:
                raise AutomationError(f"qmauto ended while answering {fields!r}")
            self.buffer += chunk
        answer, self.buffer = self.buffer.split(b"\n", 1)
        reply = json.loads(answer)
        if not reply["ok"]:
            raise AutomationError(f"{fields!r}: {reply['error']}")
        return reply["value"]

    def close(self):
        try:
            self.process.stdin.write(b"quit\n")
            self.process.stdin.flush()
            self.process.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()
        self.log.close()

    # Windows and controls. A control is (window, id); id -1 is the window itself.
    def find(self, title, class_name=""):
        return self.request("find", class_name, title)

    def dialog(self, caption):
        return self.request("dialog", caption)

    def windows(self):
        return self.request("windows")

    def children(self, window):
        return self.request("children", window)

    def info(self, window, control=-1):
        return self.request("info", window, control)

    def text(self, window, control=-1):
        return self.request("text", window, control)

    def enabled(self, window, control=-1):
        return self.info(window, control)["enabled"]

    def selection(self, window, control):
        """The selected position of a drop-down list, -1 for none."""
        return self.request("selection", window, control)

    def select(self, window, control, position):
        return self.request("select", window, control, position)

    def items(self, window, control):
        """The texts of a drop-down list's items, in its order."""
        return self.request("items", window, control)

    def set_serial_port_list(self, entries):
        """Makes the system's list of present serial ports (HKLM\\HARDWARE\\
        DEVICEMAP\\SERIALCOMM, volatile, of this prefix's wineserver) hold
        exactly these values: {value name: data}."""
        return self.request("serialcomm", *itertools.chain.from_iterable(entries.items()))

    def alive(self, window):
        return self.request("alive", window)

    def click(self, window, control):
        return self.request("click", window, control)

    def command(self, window, command):
        """Posts WM_COMMAND, as a menu item or an accelerator would."""
        return self.request("command", window, command)

    def syscommand(self, window, command):
        return self.request("syscommand", window, command)

    def device_change(self, window, event, port_name):
        """Tells the window that a serial port was plugged in or out."""
        return self.request("devicechange", window, event, port_name)

    def key(self, window, virtual_key):
        return self.request("key", window, virtual_key)

    def menu(self, window):
        """The menu bar as (depth, id, flags, text) rows; id -1 for a popup."""
        rows = []
        for line in self.request("menu", window).splitlines():
            depth, item_id, flags, text = line.split("\t", 3)
            rows.append((int(depth), int(item_id), flags, text))
        return rows

    def set_text(self, window, control, text):
        """Sets a control's text, as typing over it would leave it."""
        return self.request("settext", window, control, text)

    def checked(self, window, control):
        """A check box's or radio button's state: 0 clear, 1 ticked."""
        return self.request("checked", window, control)

    def set_ip(self, window, control, dotted):
        """Fills an IP-address control; "" empties every field."""
        return self.request("setip", window, control, dotted)

    def ip_address(self, window, control):
        """An IP-address control as the program sees it: (filled fields, address, text)."""
        filled, address, text = self.request("ipaddress", window, control).split("\t", 2)
        return int(filled), address, text

    def cursor(self, window):
        """The cursor of the window's thread: "hand", "arrow" or "other"."""
        return self.request("cursor", window)

    def move_mouse(self, x, y):
        return self.request("move", x, y)

    def left_click(self, x, y):
        return self.request("leftclick", x, y)

    def status(self, window, part):
        return self.request("status", window, part)

    def open_error(self, device):
        """0 when the device can be opened for exclusive use now, else the
        error (32: another program holds it)."""
        return self.request("open", device)

    def process_usage(self, window):
        """The handle and thread counts of the window's process."""
        return self.request("process", window)

    def status_parts(self, window):
        return [int(edge) for edge in self.request("parts", window).split()]

    def screenshot(self, path, window=None):
        """Saves the screen, or one window of it, as a PNG file."""
        bmp = Path(path).with_suffix(".bmp")
        fields = ["screenshot", wine_path(bmp)] + ([window] if window else [])
        self.request(*fields)
        bmp_to_png(bmp, path)
        bmp.unlink()

    # Message boxes and dialogs.
    def wait_message_box(self, caption=MESSAGE_CAPTION, timeout=DEFAULT_TIMEOUT):
        box = wait_for(f"a message box captioned {caption!r}", lambda: self.dialog(caption), timeout)
        return box, self.text(box, MESSAGE_TEXT_ID)

    def dismiss(self, box, button=IDOK):
        self.command(box, button)
        wait_for("the message box to close", lambda: not self.alive(box))


def shell(*arguments, timeout=DEFAULT_TIMEOUT):
    """Runs qmshell.exe; returns (exit status, stdout as text)."""
    try:
        done = subprocess.run(["wine", str(QMSHELL_EXE), *map(str, arguments)], capture_output=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        raise AssertionError(f"qmshell {arguments!r} gave no answer in {timeout} s") from None
    return done.returncode, done.stdout.decode("utf-8")


def linux_path(windows_path):
    """The Linux name of a path in the prefix."""
    done = subprocess.run(["winepath", "-u", windows_path], capture_output=True, timeout=DEFAULT_TIMEOUT)
    assert done.returncode == 0, f"winepath cannot map {windows_path!r}: {done.stderr!r}"
    return Path(done.stdout.decode("utf-8").strip())


# Where Wine 8 finds the display's DPI: this value first, then LogPixels of
# HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts.
DPI_KEY, DPI_VALUE = r"HKCU\Control Panel\Desktop", "LogPixels"
DESIGN_DPI = 96


def _reg(*arguments):
    try:
        return subprocess.run(["wine", "reg", *arguments], capture_output=True, timeout=DEFAULT_TIMEOUT)
    except subprocess.TimeoutExpired:
        raise AssertionError(f"wine reg {arguments!r} gave no answer in {DEFAULT_TIMEOUT} s") from None


@contextlib.contextmanager
def display_dpi(dpi):
    """The display's DPI for the programs started meanwhile in this rig's
    prefix. Each Wine process reads it once as it starts, so neither the
    wineserver nor the desktop needs restarting; programs already running
    (qmauto) keep theirs. The prefix's value, or its absence, comes back
    afterwards."""
    query = _reg("query", DPI_KEY, "/v", DPI_VALUE)
    previous = re.search(rb"REG_DWORD\s+0x([0-9a-fA-F]+)", query.stdout) if query.returncode == 0 else None

    def put(value):
        done = _reg("add", DPI_KEY, "/v", DPI_VALUE, "/t", "REG_DWORD", "/d", str(value), "/f")
        assert done.returncode == 0, f"cannot set {DPI_KEY}\\{DPI_VALUE}: {done.stderr!r}"

    put(dpi)
    try:
        yield
    finally:
        if previous is not None:
            put(int(previous.group(1), 16))
        else:
            _reg("delete", DPI_KEY, "/v", DPI_VALUE, "/f")


def read_png_rgb(png_path):
    """The pixels of a PNG written by bmp_to_png, as rows of (r, g, b)."""
    data = Path(png_path).read_bytes()
    width, height = struct.unpack_from(">II", data, 16)
    position, compressed = 8, b""
    while position < len(data):
        length, kind = struct.unpack_from(">I4s", data, position)
        if kind == b"IDAT":
            compressed += data[position + 8: position + 8 + length]
        position += 12 + length
    raw = zlib.decompress(compressed)
    stride = 1 + width * 3
    return [[tuple(raw[y * stride + 1 + x * 3: y * stride + 4 + x * 3]) for x in range(width)]
            for y in range(height)]


def bmp_to_png(bmp_path, png_path):
    """A 24-bit bottom-up BMP as written by qmauto, saved as PNG."""
    data = Path(bmp_path).read_bytes()
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height = struct.unpack_from("<ii", data, 18)
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height - 1, -1, -1):
        row = data[offset + y * stride: offset + y * stride + width * 3]
        rgb = bytearray(row)
        rgb[0::3], rgb[2::3] = row[2::3], row[0::3]
        rows.append(b"\x00" + bytes(rgb))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))
    Path(png_path).write_bytes(png)


class TerminalHolder:
    """A process that holds a pty as the controlling terminal of a session of
    its own. The wineserver opens a port's device itself and, a session
    leader without a terminal, would adopt the pty as its terminal; closing
    the pty would then hang it up, and the wineserver answers SIGHUP by
    printing its whole object table. A pty is the terminal of one session
    only."""

    def __init__(self, slave):
        self.process = subprocess.Popen(["setsid", "--ctty", "sleep", "infinity"], stdin=slave,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        device = os.fstat(slave).st_rdev
        try:
            wait_for("the pty to have a session of its own", lambda: self._terminal() == device, timeout=5)
        except AssertionError:
            self.stop()
            raise

    def _terminal(self):
        try:
            stat = Path(f"/proc/{self.process.pid}/stat").read_text()
        except OSError:
            return None
        return int(stat[stat.rindex(")") + 2:].split()[4])     # tty_nr

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        self.process.wait(timeout=5)


class Ports:
    """The prefix's COMn: each is a link of the rig's, pointed here at a
    pseudo-terminal, or at a folder for a port that cannot be opened. Given
    the UI helper, it keeps the system's list of present serial ports
    (SERIALCOMM, which the serial dialog offers) to exactly the ports that
    lead somewhere, as Windows lists the adapters plugged in; the rig starts
    each prefix so (tools/rig.sh), and reset() leaves it so."""

    def __init__(self, automation=None):
        self.ports = RIG / "ports"
        self.absent = RIG / "absent"
        self.automation = automation
        self.present = set()
        self.devices = []
        self.masters = {}

    def reset(self):
        for n in range(1, PORT_COUNT + 1):
            self._point(n, self.absent)
        self._list_present()

    def link(self, number, target):
        self._point(number, target)
        self._list_present()

    def _point(self, number, target):
        link = self.ports / f"com{number}"
        temporary = link.with_name(link.name + ".new")
        if temporary.is_symlink():
            temporary.unlink()
        temporary.symlink_to(target)
        temporary.replace(link)
        if os.path.realpath(target) == os.path.realpath(self.absent):
            self.present.discard(number)
        else:
            self.present.add(number)

    def serial_port_list(self):
        """The system's list of present ports as Wine's mount manager writes
        it: {"\\Device\\Serial<n-1>": "COM<n>"}."""
        return {f"\\Device\\Serial{n - 1}": f"COM{n}" for n in sorted(self.present)}

    def _list_present(self):
        if self.automation is not None:
            self.automation.set_serial_port_list(self.serial_port_list())

    def absent_port(self, number):
        self.link(number, self.absent)

    def pty(self, number):
        """Makes COMn one end of a fresh pty pair; returns the master, the
        device's side, for the test to play."""
        master, slave = pty.openpty()
        tty.setraw(master)
        tty.setraw(slave)
        name = os.ttyname(slave)
        # The slave stays open here too, so that the pty keeps its settings
        # between the program's opens; a session of its own holds it as its
        # terminal (see TerminalHolder).
        holder = TerminalHolder(slave)
        self.devices.append((master, slave, holder))
        self.masters[number] = master
        self.link(number, name)
        self.check(number, name)
        return master

    def unplug(self, number):
        """COMn goes away as an unplugged adapter does: its device side
        closes and the port's name leads nowhere."""
        self.absent_port(number)
        master = self.masters.pop(number)
        os.close(master)
        self.devices = [(None if each == master else each, slave, holder) for each, slave, holder in self.devices]

    def check(self, number, expected):
        resolved = os.path.realpath(WINEPREFIX / "dosdevices" / f"com{number}")
        assert resolved == os.path.realpath(expected), \
            f"COM{number} resolves to {resolved}, not {expected}: the rig's port links are not in place"

    def close(self):
        self.reset()
        for master, slave, holder in self.devices:
            holder.stop()
            if master is not None:
                os.close(master)
            os.close(slave)
        self.devices.clear()
        self.masters.clear()


HISTORY = "Quillmar-events.log"
OLDER_HISTORY = "Quillmar-events.1.log"
HISTORY_LINE = re.compile(r"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3}) (.+)")


def read_history(path):
    """An event history's lines as (time, text); fails unless it is UTF-8
    with a byte order mark, every line ended by CRLF and stamped to the
    millisecond."""
    raw = path.read_bytes()
    assert raw.startswith(codecs.BOM_UTF8), f"{path.name} starts {raw[:16]!r}, not with a byte order mark"
    body = raw[len(codecs.BOM_UTF8):].decode("utf-8")
    assert body == "" or body.endswith("\r\n"), f"{path.name} ends {body[-40:]!r}, not with CRLF"
    events = []
    for line in body.split("\r\n")[:-1]:
        stamped = HISTORY_LINE.fullmatch(line)
        assert stamped, f"{path.name} has a line not stamped with the time: {line!r}"
        events.append((datetime.strptime(stamped[1], "%Y/%m/%d %H:%M:%S.%f"), stamped[2]))
    return events


class Quillmar:
    """One run of the real Quillmar.exe, from a folder of its own (its
    settings file lives beside it)."""

    def __init__(self, folder, automation):
        self.folder = Path(folder)
        self.automation = automation
        self.exe = self.folder / "Quillmar.exe"
        self.ini = self.folder / "Quillmar.ini"
        self.process = None
        self.window = 0
        self.folder.mkdir(parents=True, exist_ok=True)
        shutil.copy2(QUILLMAR_EXE, self.exe)

    def write_settings(self, **values):
        """A whole settings file: the defaults, with the given keys changed
        (a key missing from the file would read as 0)."""
        settings = dict(DEFAULT_SETTINGS, **values)
        lines = ["[DATA]"] + [f"{key}={value}" for key, value in settings.items()]
        self.write_ini("\r\n".join(lines) + "\r\n")

    def write_ini(self, content):
        self.ini.write_bytes(content.encode("utf-8") if isinstance(content, str) else content)

    def start(self, wait=True, cwd=None):
        """Starts the program, by default with its own folder as the current one."""
        assert not self.automation.find(CAPTION), "another Quillmar window is still open"
        self.stdout = open(self.folder / "quillmar.stdout", "wb")
        self.stderr = open(self.folder / "quillmar.stderr", "wb")
        self.process = subprocess.Popen(["wine", str(self.exe)], cwd=cwd or self.folder,
                                        stdout=self.stdout, stderr=self.stderr)
        if wait:
            self.wait_window()
        return self

    def wait_window(self, timeout=30):
        self.window = wait_for("the main window", lambda: self._visible_main_window(), timeout)
        return self.window

    def _visible_main_window(self):
        if self.process.poll() is not None:
            raise AssertionError(f"Quillmar ended with code {self.process.returncode} before its window came up")
        window = self.automation.find(CAPTION)
        return window if window and self.automation.info(window)["visible"] else 0

    def text(self, control=-1):
        return self.automation.text(self.window, control)

    def enabled(self, control):
        return self.automation.enabled(self.window, control)

    def command(self, command):
        return self.automation.command(self.window, command)

    def wait_text(self, control, expected, timeout=DEFAULT_TIMEOUT):
        wait_for(f"control {control} to read {expected!r}", lambda: self.text(control) == expected, timeout)

    def usage(self):
        """The program's handles, as Wine counts them, and its resident memory."""
        counts = self.automation.process_usage(self.window)
        status = Path(f"/proc/{self.process.pid}/status").read_text()
        rss_kib = int(next(line for line in status.splitlines() if line.startswith("VmRSS:")).split()[1])
        return {"handles": counts["handles"], "rss": rss_kib * 1024}

    def status_part(self, part):
        return self.automation.status(self.window, part)

    def open_dialog(self, command, caption):
        """Chooses a menu command and returns the dialog it opens."""
        self.command(command)
        return wait_for(f"the dialog {caption!r}", lambda: self.automation.dialog(caption))

    def saved_settings(self):
        """SAVE(&O), then the keys of Quillmar.ini's [DATA] as a dict."""
        self.command(SAVE)
        box, text = self.automation.wait_message_box()
        self.automation.dismiss(box)
        assert text == SAVED_TEXT, f"SAVE said {text!r}"
        settings, section = {}, None
        for line in self.ini.read_bytes().decode("utf-8").splitlines():
            if line.startswith("["):
                section = line.strip("[]").upper()
            elif section == "DATA" and "=" in line:
                key, value = line.split("=", 1)
                settings[key.upper()] = value
        return settings

    def wait_events(self, *patterns, timeout=DEFAULT_TIMEOUT):
        """Waits until the event history holds lines that match the patterns
        (regular expressions, each the whole text) in this order, others
        between them allowed; gives the whole history as (time, text) and
        the indexes of the matches. Fails with the lines it saw."""
        path = self.folder / HISTORY
        found = []

        def matched():
            try:
                events = read_history(path)
            except (OSError, AssertionError):   # not there yet, or a line half written
                return None
            found.clear()
            for index, (_, text) in enumerate(events):
                if len(found) < len(patterns) and re.fullmatch(patterns[len(found)], text):
                    found.append(index)
            return events if len(found) == len(patterns) else None

        try:
            return wait_for(f"the history to tell {patterns}", matched, timeout), list(found)
        except AssertionError:
            seen = "\n".join(text for _, text in read_history(path)) if path.exists() else "no history file"
            raise AssertionError(f"the history told only {len(found)} of {patterns}:\n{seen}") from None

    def wait_exit(self, timeout=DEFAULT_TIMEOUT):
        try:
            code = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"Quillmar did not end within {timeout} s") from None
        self._close_output()
        wait_for("the main window to go", lambda: not self.automation.find(CAPTION), timeout=10)
        return code

    def _close_output(self):
        self.stdout.close()
        self.stderr.close()

    def stop(self):
        """Ends the run: END first, then by its PID if it does not go."""
        if self.process is None:
            return
        if self.process.poll() is None:
            try:
                for box in self._message_boxes():
                    self.automation.command(box, IDOK)
                if self.window:
                    self.automation.command(self.window, END)
                self.process.wait(timeout=10)
            except (AutomationError, subprocess.TimeoutExpired):
                self.process.send_signal(signal.SIGKILL)
                self.process.wait(timeout=10)
        self._close_output()
        wait_for("the main window to go", lambda: not self.automation.find(CAPTION), timeout=10)

    def _message_boxes(self):
        return [w["hwnd"] for w in self.automation.windows()
                if w["class"] == "#32770" and w["title"] == MESSAGE_CAPTION and w["visible"]]


# The ports free_tcp_port() hands out: below the kernel's ephemeral ports
# (32768 and up), so that no socket bound to port 0 and no outgoing
# connection takes one between the test choosing it and the program binding
# it; each test worker has a slice of its own.
TEST_PORTS = range(20000, 32000)


def free_tcp_port():
    """A loopback port that nothing uses at the moment, from this worker's
    slice of TEST_PORTS."""
    size = len(TEST_PORTS) // WORKER_COUNT
    first = TEST_PORTS.start + WORKER_INDEX * size
    offset = random.randrange(size)
    for step in range(size):
        port = first + (offset + step) % size
        with socket.socket() as probe:
            try:
                probe.bind((LOOPBACK, port))
            except OSError:
                continue
            return port
    raise AssertionError(f"no free TCP port in {first}..{first + size - 1}")


def connect_peer(port, source=LOOPBACK, timeout=DEFAULT_TIMEOUT):
    """A TCP peer of the program's server, from the given source address."""
    peer = socket.socket()
    peer.settimeout(timeout)
    peer.bind((source, 0))
    peer.connect((LOOPBACK, port))
    return peer


def closed_by_other_side(peer, timeout=DEFAULT_TIMEOUT):
    """True when the other side closes the connection within the time-out;
    fails on data or on time-out."""
    peer.settimeout(timeout)
    try:
        data = peer.recv(1)
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False
    assert data == b"", f"expected the connection to be closed, got {data!r}"
    return True


class PeerServer:
    """A TCP server on loopback for the program's client: accepts every
    connection and counts them; keeps them, or resets each at once."""

    def __init__(self, port=0, reset_at_once=False):
        self.reset_at_once = reset_at_once
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((LOOPBACK, port))
        self.listener.listen(64)
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.connections = []
        self.running = True
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while self.running:
            try:
                connection, _ = self.listener.accept()
            except (socket.timeout, OSError):
                continue
            if self.reset_at_once:
                connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                connection.close()
            self.connections.append(connection)

    def wait_connection(self, count=1, timeout=DEFAULT_TIMEOUT):
        wait_for(f"{count} connection(s) to the test server", lambda: len(self.connections) >= count, timeout)
        return self.connections[count - 1]

    def close(self):
        self.running = False
        self.thread.join(timeout=5)
        for connection in self.connections:
            connection.close()
        self.listener.close()



def _read_some(source, size, timeout):
    """Up to size bytes from a pty master (an int) or a socket, or b"" when
    none came within the time-out; None once the source is closed."""
    if isinstance(source, int):
        ready, _, _ = select.select([source], [], [], timeout)
        if not ready:
            return b""
        try:
            return os.read(source, size)
        except OSError:
            return None
    source.settimeout(timeout)
    try:
        data = source.recv(size)
    except socket.timeout:
        return b""
    return data if data else None


def receive(source, count, timeout=DEFAULT_TIMEOUT):
    """Exactly count bytes from a pty master or a socket; fails with how many
    came, and the last of them, when they do not within the time-out."""
    data = bytearray()
    deadline = time.monotonic() + timeout
    while len(data) < count:
        left = deadline - time.monotonic()
        chunk = _read_some(source, min(count - len(data), 65536), max(left, 0)) if left > 0 else b""
        if chunk is None or (not chunk and time.monotonic() >= deadline):
            raise AssertionError(f"expected {count} bytes, got {len(data)} in {timeout} s"
                                 f"{' (closed)' if chunk is None else ''}; last bytes: {bytes(data[-32:])!r}")
        data += chunk
    return bytes(data)


def dismiss_line_refusal(automation, line):
    """The box that says COM1 refused the line (as "115200 8N1"), dismissed."""
    box, text = automation.wait_message_box(timeout=30)
    assert text.startswith(f"Com1 Line Setting Error: {line} ("), text
    automation.dismiss(box)


def assert_flows(peer, device, other_device=None):
    """Bytes go both ways between the peer and the device, each arriving
    whole, and none through other_device."""
    peer.sendall(b"to the port")
    at_port = receive(device, 11)
    assert at_port == b"to the port", f"the device got {at_port!r}"
    os.write(device, b"to the peer")
    at_peer = receive(peer, 11)
    assert at_peer == b"to the peer", f"the peer got {at_peer!r}"
    if other_device is not None:
        elsewhere = receive_quiet(other_device, quiet=0.3)
        assert elsewhere == b"", f"the other device got {elsewhere!r}"


def reset_while_sending(peer, quillmar):
    """The peer, no longer reading while the device talks, leaves with a
    reset once the buffers on the way are full and a send waits for room:
    the failed send is shown and stays."""
    # Full means the peer's receive queue has stopped growing: on a busy
    # machine the device may take longer than any fixed pause to fill it.
    queued = []

    def still_full():
        queued.append(struct.unpack("i", fcntl.ioctl(peer.fileno(), termios.FIONREAD, b"\0" * 4))[0])
        time.sleep(0.25)
        return len(queued) > 2 and queued[-1] > 0 and queued[-1] == queued[-2] == queued[-3]
    wait_for("the peer's receive queue to fill", still_full)
    time.sleep(0.5)     # and the bridge's send queue behind it
    peer.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    peer.close()
    try:
        shown = wait_for("the send error shown", lambda: SOCKET_ERROR.fullmatch(quillmar.text(STATUS_TEXT)))[0]
    except AssertionError as error:
        raise AssertionError(f"{error}; the status text: {quillmar.text(STATUS_TEXT)!r}") from None
    time.sleep(1)
    assert quillmar.text(STATUS_TEXT) == shown


def receive_quiet(source, quiet=0.5, timeout=DEFAULT_TIMEOUT):
    """Everything that arrives until nothing more comes for `quiet` seconds."""
    data = bytearray()
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        chunk = _read_some(source, 65536, quiet)
        if not chunk:
            break
        data += chunk
    return bytes(data)


def send_in_background(target, data, chunk_size=65536):
    """Writes data to a pty master or a socket from a thread of its own (a
    pty or socket takes only so much before its reader reads); join() the
    thread returned, which holds any error in .error."""
    def write():
        try:
            for offset in range(0, len(data), chunk_size):
                piece = data[offset:offset + chunk_size]
                if isinstance(target, int):
                    view = memoryview(piece)
                    while view:
                        written = os.write(target, view)
                        view = view[written:]
                else:
                    target.sendall(piece)
        except OSError as error:
            thread.error = error

    thread = threading.Thread(target=write, daemon=True)
    thread.error = None
    thread.start()
    return thread


def choose_file(automation, path, title="Quillmar: Log", timeout=DEFAULT_TIMEOUT):
    """Types a path into the open-file dialog and presses Open."""
    dialog = wait_for(f"the file dialog {title!r}", lambda: automation.dialog(title), timeout)
    automation.set_text(dialog, FILE_NAME_CONTROL, wine_path(path))
    automation.command(dialog, IDOK)
    return dialog


def log_window(automation):
    """The log window once it is shown (it exists, hidden and without its
    controls, while it is being made)."""
    def shown():
        window = automation.find(LOG_CAPTION)
        return window if window and automation.info(window)["visible"] else 0
    return wait_for("the log window", shown)


def process_cpu_seconds(pid):
    """User and system CPU time of a Linux process so far."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class LinkChurn:
    """Network namespaces and veth links added and deleted over and over in
    the background, as on a machine whose links come and go (VPNs, docking,
    containers), until stopped. Needs root; each pass says what it did, so
    that a test shows that the churn ran."""

    def __init__(self):
        self.passes = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exception):
        self._stop.set()
        self._thread.join(DEFAULT_TIMEOUT)

    def _run(self):
        while not self._stop.is_set():
            self.passes += 1
            name, link = f"qmc{os.getpid()}x{self.passes}", f"qc{os.getpid() % 10000}x{self.passes % 1000}"
            for command in (["netns", "add", name],
                            ["link", "add", link, "type", "veth", "peer", "name", "eth0", "netns", name],
                            ["link", "set", link, "up"], ["link", "del", link], ["netns", "del", name]):
                subprocess.run(["ip", *command], capture_output=True, timeout=DEFAULT_TIMEOUT)


class VanishingHost:
    """A second host in a network namespace of its own, joined to this one by
    a veth pair: ADDRESS there, LOCAL_ADDRESS here. cut() takes its link
    down, so that packets to it vanish without a FIN or a RST, as when a
    cable is pulled or a host dies; restore() brings it back. Needs root."""

    _names = itertools.count(1)

    def __init__(self):
        number = next(self._names)
        subnet = self._free_subnet()
        self.name = f"qm{os.getpid()}x{number}"
        self.here, self.there = f"qmh{os.getpid()}x{number}"[:15], "eth0"
        self.ADDRESS = f"10.77.{subnet}.2"
        self.LOCAL_ADDRESS = f"10.77.{subnet}.1"
        self._ip("netns", "add", self.name)
        try:
            self._ip("link", "add", self.here, "type", "veth", "peer", "name", self.there, "netns", self.name)
            self._ip("addr", "add", f"{self.LOCAL_ADDRESS}/24", "dev", self.here)
            self._ip("link", "set", self.here, "up")
            self._inside("addr", "add", f"{self.ADDRESS}/24", "dev", self.there)
            self._inside("link", "set", self.there, "up")
            self._inside("link", "set", "lo", "up")
        except AssertionError:
            self.close()
            raise

    @staticmethod
    def _free_subnet():
        """A 10.77.N.0/24 that no link here uses: a namespace of an earlier
        run may outlive it while its sockets still retransmit. Each test
        worker takes its N from a share of its own."""
        shown = subprocess.run(["ip", "-o", "-4", "addr", "show"], capture_output=True, text=True,
                               timeout=DEFAULT_TIMEOUT).stdout
        used = {int(part.split(".")[2]) for part in shown.split() if part.startswith("10.77.")}
        return next(n for n in range(1, 255) if n not in used and n % WORKER_COUNT == WORKER_INDEX)

    @staticmethod
    def _ip(*arguments, namespace=None):
        command = (["ip", "netns", "exec", namespace, "ip"] if namespace else ["ip"]) + list(arguments)
        done = subprocess.run(command, capture_output=True, timeout=DEFAULT_TIMEOUT)
        assert done.returncode == 0, f"{' '.join(command)}: {done.stderr.decode().strip()}"

    def _inside(self, *arguments):
        self._ip(*arguments, namespace=self.name)

    def socket(self):
        """A TCP socket that lives in the namespace: made there by a helper
        process and handed over, so that the test uses it like any other."""
        here, there = socket.socketpair()
        with here, there:
            code = (f"import socket; channel = socket.socket(fileno={there.fileno()}); "
                    "made = socket.socket(); socket.send_fds(channel, [b'.'], [made.fileno()])")
            done = subprocess.run(["ip", "netns", "exec", self.name, sys.executable, "-c", code],
                                  pass_fds=[there.fileno()], capture_output=True, timeout=DEFAULT_TIMEOUT)
            assert done.returncode == 0, f"no socket in {self.name}: {done.stderr.decode().strip()}"
            _, descriptors, _, _ = socket.recv_fds(here, 1, 1)
        made = socket.socket(fileno=descriptors[0])
        made.settimeout(DEFAULT_TIMEOUT)
        return made

    def cut(self):
        self._inside("link", "set", self.there, "down")

    def restore(self):
        self._inside("link", "set", self.there, "up")

    def close(self):
        # Deleting our end deletes the pair at once; the namespace itself
        # lives on while sockets of it retransmit into the cut link.
        for command in (["ip", "link", "del", self.here], ["ip", "netns", "del", self.name]):
            subprocess.run(command, capture_output=True, timeout=DEFAULT_TIMEOUT)
