#!/usr/bin/python3
"""Quillmar's benchmark: figures for the real Quillmar.exe under Wine, beside
socat doing the same job on the same rig as the reference.

    make bench                                   (tools/rig.sh BUILD exec tools/bench.py)
    make bench BENCH_ARGS="--paced-seconds 10"   (a quicker check)

Each bridge sits between a pseudo-terminal, whose master this script holds
and plays the serial device on, and a TCP connection on 127.0.0.1, whose peer
this script is. Quillmar runs as a server (MODE=0, CONNECT=1, so it listens
by itself) with COM1 linked to the pty's slave; socat opens the same kind of
pty slave and listens on a TCP port. Every measurement gets a freshly
started bridge, so that a stuck transfer cannot spoil the next figure.

Measured, for each bridge, in this order:
  - polls: back-to-back ask and answer, as a master polls a device; this
    script, as the peer, sends an 8-byte ask, answers it as the device with
    25 bytes the moment the whole ask is in, and asks again the moment the
    whole answer is in (--poll-rounds, random bytes checked): polls per second
    and the round trip's median and 99th percentile;
  - one-way latency: timestamped messages, one in flight at a time, a random
    1-10 ms pause between them; this script writes one side and reads the
    other on one clock, so a message's latency is its first write to its last
    byte's arrival; and again for 1-byte messages 1-3 ms apart;
  - throughput serial->LAN, LAN->serial and both at once: random payload,
    from the first byte written to the last byte read, checked by SHA-256;
  - CPU per MiB over the one-way transfers, and idle CPU over a quiet,
    connected spell: utime+stime of the bridge's own process from
    /proc/<pid>/stat, and for Quillmar also the whole of the prefix's
    wineserver over the same spell (the prefix's other Wine processes sit
    idle meanwhile, so nearly all of it is Quillmar's);
  - paced runs at the 460800-baud line rate (46,080 bytes/s, 8N1), each way
    alone and then both ways at once, written in one piece each millisecond
    (what the line brought meanwhile, as an adapter hands it over): bytes
    lost or changed, the delay of a read's first byte after it was written
    (99th percentile, and the largest), and CPU in % of a core; one way alone also
    counts Wine's device hosts of the prefix (winedevice.exe) with the
    wineserver.
  - Quillmar only: the same from the device at the line rate to two peers
    at once (MAXPEER=2), the first peer's delay beside the one-peer row's,
    the second peer's bytes checked as the first's; and to one peer beside
    another that reads nothing, with when the bridge dropped that one.

Quillmar's polls per second and throughput are also judged against socat's
in the same run (their ratio), when socat ran.

With --rfc2217, Quillmar also runs in RFC 2217 mode (RFC2217=1), its peer
a minimal Telnet client (TelnetEnd: BINARY and the COM port option asked
for, 0xFF doubled and undoubled, the bridge's negotiation dropped), in a
column beside raw mode's, with their ratio and whether it is within 20 %.

The figures are printed as a table beside the targets; they are never a pass
or fail of their own. Every wait has a time-out, and a transfer that stops
moving ends its measurement with what was seen.

One thread does everything: a select loop over non-blocking descriptors.
Processes ended here are only the ones this script started, by their PID.
"""
import argparse
import bisect
import hashlib
import json
import math
import os
import pty
import random
import resource
import select
import shutil
import signal
import socket
import subprocess
import sys
import time
import tty
from pathlib import Path

for variable in ("QUILLMAR_BUILD", "QUILLMAR_RIG", "WINEPREFIX"):
    if variable not in os.environ:
        sys.exit(f"{variable} is not set: run the benchmark with `make bench`")

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "system"))

from harness import (BUILD, HISTORY, LOOPBACK, QUILLMAR_EXE, SC_CLOSE, STATUS_TEXT, WINEPREFIX,  # noqa: E402
                     Automation, AutomationError, Ports, Quillmar, free_tcp_port, read_history, wait_for)

MIB = 1 << 20
LINE_BAUD = 460800
LINE_RATE = LINE_BAUD // 10             # bytes/s at 8N1: start bit, 8 data bits, stop bit
CHUNK = 1 << 16                         # largest single write or read of this script
LATENCY_SIZES = (1, 64)
LATENCY_GAP = (0.001, 0.010)            # pause between latency messages, seconds
CLOSE_LATENCY_SIZES = (1,)
CLOSE_LATENCY_GAP = (0.001, 0.003)      # the same, for messages that follow each other closely
POLL_ASK, POLL_ANSWER = 8, 25           # bytes of a poll's ask (peer to device) and answer
LATENCY_WARMUP = 5                      # messages per direction before the measured ones
MESSAGE_TIMEOUT = 5.0                   # one latency message must arrive within this
START_TIMEOUT = 30.0                    # a bridge must be up and connected within this
IDLE_FLOOR_EXE = BUILD / "idle_floor.exe"
IDLE_FLOOR_TITLE = "Idle floor"
SETTLE_SECONDS = 1.0                    # a fresh connection's start-up work ends before idle is measured
# A paced flow writes what the line brought each millisecond, as an adapter
# hands it over, in one piece: writing whatever fell due on each turn of this
# script's loop wrote a few bytes every 0.1-0.2 ms, and made the script's own
# pace, not the line, the cost of both bridges.
PACING_SLOT = 0.001
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
SELF_BOUND_PERCENT = 90                 # this script this busy during a transfer: it, not the bridge, set the pace
PEER_NAME = "Connection - " + LOOPBACK

SERIAL_TO_LAN = "serial->LAN"
LAN_TO_SERIAL = "LAN->serial"
SECOND_PEER = "serial->LAN, second peer"
SILENT_RECEIVE_BUFFER = 4096

BENCH_DIR = BUILD / "bench"


class Stuck(Exception):
    """A measurement that could not finish; the text says what was seen."""


class OutOfTime(Exception):
    pass


# Bridges that did not end cleanly after a measurement; shown under the table.
CLEANUP_NOTES = []
# Other work on the machine moves the figures; the table says how busy it was.
LOAD_AT_START = os.getloadavg()


# ---------------------------------------------------------------------------
# CPU time from /proc

def cpu_seconds(pid):
    """utime+stime of a process (all its threads), or None once it is gone."""
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    fields = stat[stat.rindex(")") + 2:].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS    # fields 14 and 15 of stat


def precise_cpu_seconds(pid):
    """CPU time of a process's live threads in nanoseconds' resolution (the
    scheduler's figure), or None once it is gone: for spells so quiet that
    the clock ticks of stat would round them away."""
    total, found = 0, False
    for task in Path(f"/proc/{pid}/task").glob("*"):
        try:
            total += int((task / "schedstat").read_text().split()[0])
            found = True
        except (OSError, IndexError, ValueError):
            continue    # ended meanwhile
    return total / 1e9 if found else None


def thread_cpu_seconds(pid):
    """utime+stime of each thread of a process, by thread id."""
    seconds = {}
    for task in Path(f"/proc/{pid}/task").glob("*"):
        try:
            stat = (task / "stat").read_text()
        except OSError:
            continue    # ended meanwhile
        fields = stat[stat.rindex(")") + 2:].split()
        seconds[int(task.name)] = (int(fields[11]) + int(fields[12])) / CLOCK_TICKS
    return seconds


def processes(name, ours):
    """The PIDs of the processes whose name starts with `name` and for whose
    /proc folder ours(folder) is true."""
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            if (entry / "comm").read_text().startswith(name) and ours(entry):
                found.append(int(entry.name))
        except OSError:
            continue    # gone meanwhile, or not ours to look at
    return found


def prefix_wineserver():
    """The PID of the wineserver of our prefix: its working folder is
    server-<device>-<inode> of the prefix, named in hex."""
    info = os.stat(WINEPREFIX)
    folder = f"server-{info.st_dev:x}-{info.st_ino:x}"
    found = processes("wineserver", lambda entry: os.path.basename(os.readlink(entry / "cwd")) == folder)
    return found[0] if found else None


def prefix_device_hosts():
    """The PIDs of Wine's device hosts (winedevice.exe) of our prefix, told
    from other prefixes' by the WINEPREFIX they were started with."""
    ours = b"WINEPREFIX=" + os.fsencode(os.environ["WINEPREFIX"])
    return tuple(processes("winedevice", lambda entry: ours in (entry / "environ").read_bytes().split(b"\0")))


def own_cpu_seconds():
    """This script's CPU time, finer than the clock ticks of /proc."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


class CpuMeter:
    """CPU seconds spent by a set of processes between start() and stop();
    a name may stand for one PID or a tuple of them (summed)."""

    def __init__(self, pids, precise=False):
        self.pids = {name: pid for name, pid in pids.items() if pid}
        self.read_one = precise_cpu_seconds if precise else cpu_seconds

    def read(self, pids):
        seconds = [self.read_one(pid) for pid in (pids if isinstance(pids, tuple) else (pids,))]
        return None if None in seconds else sum(seconds)

    def start(self):
        self.wall = time.monotonic()
        self.first = {name: self.read(pid) for name, pid in self.pids.items()}
        self.first_threads = thread_cpu_seconds(self.pids["process"]) if "process" in self.pids else {}

    def stop(self):
        self.elapsed = time.monotonic() - self.wall
        self.used = {}
        for name, pid in self.pids.items():
            now = self.read(pid)
            if now is not None and self.first[name] is not None:
                self.used[name] = now - self.first[name]
        # Which of the bridge's threads spent it: the figures say where to look.
        last_threads = thread_cpu_seconds(self.pids["process"]) if "process" in self.pids else {}
        self.threads = {tid: round(seconds - self.first_threads.get(tid, 0.0), 2)
                        for tid, seconds in sorted(last_threads.items())
                        if seconds - self.first_threads.get(tid, 0.0) > 0}
        return self.used


# ---------------------------------------------------------------------------
# The two ends of a bridge, as this script sees them

class PtyEnd:
    """The device side: the master of the pty whose slave the bridge opened."""

    def __init__(self, master):
        self.fd = master
        os.set_blocking(master, False)

    def fileno(self):
        return self.fd

    def write(self, data):
        return os.write(self.fd, data)

    def read(self, size):
        try:
            return os.read(self.fd, size)
        except BlockingIOError:
            raise
        except OSError as error:
            raise Stuck(f"the pty failed: {error} (the bridge let go of the serial port)") from None


class TcpEnd:
    """The peer side: a TCP connection to the bridge, Nagle off so that this
    script's own small sends leave at once."""

    def __init__(self, sock):
        self.sock = sock
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        sock.setblocking(False)

    def fileno(self):
        return self.sock.fileno()

    def write(self, data):
        return self.sock.send(data)

    def read(self, size):
        try:
            return self.sock.recv(size)
        except ConnectionError as error:
            raise Stuck(f"the TCP connection failed: {error}") from None


IAC, SB, SE, WILL, WONT, DO, DONT = 255, 250, 240, 251, 252, 253, 254
TELNET_BINARY, TELNET_COM_PORT = 0, 44


class TelnetEnd(TcpEnd):
    """The peer side of a bridge in RFC 2217 mode: a client that asks for
    BINARY both ways and for the COM port option, doubles each 0xFF it sends
    and undoes the doubling of what it receives; everything else the bridge
    sends (its negotiation, subnegotiations) is read and dropped. As lean as
    TcpEnd, so that the figures are the bridge's, not a client library's."""

    def __init__(self, sock):
        sock.sendall(bytes([IAC, WILL, TELNET_BINARY, IAC, DO, TELNET_BINARY, IAC, WILL, TELNET_COM_PORT]))
        super().__init__(sock)
        self.state = "data"         # or "iac", "option", "sub", "sub-iac"

    def write(self, data):
        """Returns how many bytes of data went out. A doubled 0xFF cut in two
        by a short send is finished at once, so that no half of it waits."""
        escaped = bytes(data).replace(b"\xff", b"\xff\xff")
        sent = self.sock.send(escaped)
        doubled = escaped.count(IAC, 0, sent)
        if doubled % 2:
            self._finish(b"\xff")
        return sent - doubled + (doubled + 1) // 2

    def _finish(self, rest):
        deadline = time.monotonic() + MESSAGE_TIMEOUT
        while rest:
            if time.monotonic() > deadline:
                raise Stuck(f"could not send the second half of a doubled 0xFF in {MESSAGE_TIMEOUT:.0f} s")
            select.select([], [self.sock], [], 0.01)
            try:
                rest = rest[self.sock.send(rest):]
            except BlockingIOError:
                continue

    def read(self, size):
        """The data among what arrived; BlockingIOError when it was all Telnet."""
        raw = super().read(size)
        if not raw or (self.state == "data" and IAC not in raw):
            return raw
        data = bytearray()
        position = 0
        while position < len(raw):
            if self.state == "data":
                found = raw.find(IAC, position)
                if found < 0:
                    data += raw[position:]
                    break
                data += raw[position:found]
                self.state, position = "iac", found + 1
                continue
            byte = raw[position]
            position += 1
            if self.state == "iac":
                if byte == IAC:
                    data.append(IAC)
                    self.state = "data"
                else:
                    self.state = "sub" if byte == SB else "option" if byte in (WILL, WONT, DO, DONT) else "data"
            elif self.state == "option":
                self.state = "data"
            elif self.state == "sub":
                self.state = "sub-iac" if byte == IAC else "sub"
            elif self.state == "sub-iac":
                self.state = "data" if byte == SE else "sub"
        if not data:
            raise BlockingIOError
        return bytes(data)


def connect_with_retry(port, timeout):
    """Connects to the bridge's listener, which may take a moment to open."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            return socket.create_connection((LOOPBACK, port), timeout=timeout)
        except ConnectionRefusedError:
            if time.monotonic() >= deadline:
                raise Stuck(f"nothing listened on {LOOPBACK}:{port} within {timeout:.0f} s") from None
            time.sleep(0.05)


def raw_pty():
    master, slave = pty.openpty()
    tty.setraw(master)
    tty.setraw(slave)
    return master, slave


# ---------------------------------------------------------------------------
# The bridges

class TerminalHolder:
    """A process that holds a pty as the controlling terminal of a session of
    its own. The wineserver opens the port's device itself, and being a
    session leader without a terminal it would adopt the pty as its own
    controlling terminal; every close of the pty would then hang it up and
    send the wineserver SIGHUP, which makes it dump its whole object table
    onto the rig's output. A pty can be the terminal of one session only."""

    def __init__(self, slave):
        self.process = subprocess.Popen(["setsid", "--ctty", "sleep", "infinity"], stdin=slave,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        device = os.fstat(slave).st_rdev
        deadline = time.monotonic() + START_TIMEOUT
        while self.terminal() != device:
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise Stuck("could not give the pty a session of its own (setsid --ctty)")
            time.sleep(0.01)

    def terminal(self):
        try:
            stat = Path(f"/proc/{self.process.pid}/stat").read_text()
        except OSError:
            return None
        return int(stat[stat.rindex(")") + 2:].split()[4])     # field 7, tty_nr

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        self.process.wait(timeout=5)


class QuillmarBridge:
    name = "Quillmar"
    settings = {}
    lan_end = TcpEnd

    def __init__(self, automation):
        self.automation = automation
        self.ports = None
        self.holder = None
        self.program = None
        self.sock = None

    def start(self, folder):
        self.ports = Ports()
        self.ports.reset()
        master = self.ports.pty(1)
        self.holder = TerminalHolder(self.ports.devices[-1][1])
        self.program = Quillmar(folder, self.automation)
        if getattr(self, "exe", None):
            shutil.copy2(self.exe, self.program.exe)
        port = self.port = free_tcp_port()
        self.program.write_settings(MODE=0, SPORT=port, CONNECT=1, BPS=LINE_BAUD, **self.settings)
        try:
            self.program.start()
            self.sock = connect_with_retry(port, START_TIMEOUT)
            self.program.wait_text(STATUS_TEXT, PEER_NAME, timeout=START_TIMEOUT)
        except (AssertionError, AutomationError) as error:
            raise Stuck(f"Quillmar did not come up connected: {error}") from None
        return PtyEnd(master), self.lan_end(self.sock)

    def second_peer(self, receive_buffer=None):
        """Another peer beside the first, as MAXPEER lets the server have;
        receive_buffer makes it one that holds little."""
        sock = socket.socket()
        if receive_buffer:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        sock.settimeout(START_TIMEOUT)
        sock.connect((LOOPBACK, self.port))
        try:
            self.program.wait_text(STATUS_TEXT, PEER_NAME + " (+1)", timeout=START_TIMEOUT)
        except (AssertionError, AutomationError) as error:
            sock.close()
            raise Stuck(f"the second peer was not served: {error}") from None
        return sock

    def pids(self, device_host=False):
        """With device_host, also Wine's device hosts of the prefix: they
        serve the prefix, not the bridge alone, so only some figures add
        them."""
        pids = {"process": self.program.process.pid if self.program else None,
                "wineserver": prefix_wineserver()}
        if device_host:
            pids["device host"] = prefix_device_hosts()
        return pids

    def stop(self):
        problems = []
        if self.sock:
            self.sock.close()
        if self.program:
            try:
                self.program.stop()
            except (AssertionError, AutomationError) as error:
                problems.append(str(error))
        # The pty is closed only after the holder has let go of it (see TerminalHolder).
        if self.holder:
            self.holder.stop()
        if self.ports:
            self.ports.close()
        self.sock = self.program = self.holder = self.ports = None
        if problems:
            raise Stuck("Quillmar did not end cleanly: " + "; ".join(problems))


class EarlierBridge(QuillmarBridge):
    """Another build of Quillmar (--compare), measured in the same run so that
    a change shows against the same machine's mood."""
    name = "Quillmar before"

    def __init__(self, automation, exe):
        super().__init__(automation)
        self.exe = exe


class Rfc2217Bridge(QuillmarBridge):
    """Quillmar in RFC 2217 mode, its peer a minimal Telnet client."""
    name = "Quillmar RFC 2217"
    settings = {"RFC2217": 1}
    lan_end = TelnetEnd


class SocatBridge:
    name = "socat"

    def __init__(self):
        self.process = None
        self.sock = None
        self.pty = None

    def start(self, folder):
        self.pty = raw_pty()
        port = free_tcp_port()
        # The same work as Quillmar's: one pty as the port, one TCP peer on
        # loopback; Nagle off, as a bridge for small messages should have it.
        command = ["socat", f"OPEN:{os.ttyname(self.pty[1])},rawer",
                   f"TCP-LISTEN:{port},bind={LOOPBACK},reuseaddr,nodelay"]
        folder.mkdir(parents=True, exist_ok=True)
        with open(folder / "socat.stderr", "wb") as errors:
            self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                            stderr=errors)
        self.sock = connect_with_retry(port, START_TIMEOUT)
        return PtyEnd(self.pty[0]), TcpEnd(self.sock)

    def pids(self, device_host=False):
        return {"process": self.process.pid if self.process else None}

    def stop(self):
        if self.sock:
            self.sock.close()
        if self.process:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=5)
        if self.pty:
            for fd in self.pty:
                os.close(fd)
        self.sock = self.process = self.pty = None


# ---------------------------------------------------------------------------
# Moving bytes

class Flow:
    """One direction through the bridge: payload written to source, expected
    back at sink. Paced flows write each byte only once it is due at `rate`
    bytes per second; unpaced ones write as fast as the bridge takes them."""

    def __init__(self, name, source, sink, payload, rate=None):
        self.name = name
        self.source, self.sink = source, sink
        self.payload = payload
        self.view = memoryview(payload)
        self.rate = rate
        self.sent = 0
        self.received = bytearray()
        self.first_write = self.last_read = None
        self.largest_delay = 0.0
        self.delays = []            # of each read's first byte, paced flows only
        self.writes = []            # (bytes written so far, when), paced flows only

    @property
    def total(self):
        return len(self.payload)

    def done(self):
        return len(self.received) >= self.total

    def allowed(self, now):
        """How many bytes may have been written by now: all of a paced
        flow's bytes due by the start of the present slot."""
        if self.rate is None:
            return self.total
        slots = math.floor((now - self.started) / PACING_SLOT)
        return min(self.total, int(slots * PACING_SLOT * self.rate))

    def next_slot(self, now):
        """Seconds from now to the start of the next slot."""
        return PACING_SLOT - (now - self.started) % PACING_SLOT

    def stalled(self, now, seconds):
        """Bytes are owed, and none has arrived for that long."""
        return not self.done() and now - (self.last_read or self.started) > seconds

    def write(self, now):
        end = min(self.allowed(now), self.sent + CHUNK)
        try:
            count = self.source.write(self.view[self.sent:end])
        except BlockingIOError:
            return 0
        if self.first_write is None:
            self.first_write = now
        self.sent += count
        if self.rate is not None and count:
            self.writes.append((self.sent, now))
        return count

    def read(self, now):
        try:
            data = self.sink.read(CHUNK)
        except BlockingIOError:
            return
        if not data:
            raise Stuck(f"{self.name}: the bridge closed the connection after {len(self.received)} bytes")
        if self.rate is not None:
            # Byte k is complete on the line at started + (k + 1) / rate, and
            # handed over when this script wrote it, at the end of its slot.
            k = len(self.received)
            due = max(self.started + (k + 1) / self.rate,
                      self.writes[bisect.bisect_right(self.writes, (k, math.inf))][1])
            self.largest_delay = max(self.largest_delay, now - due)
            self.delays.append(now - due)
        self.received += data
        self.last_read = now

    def seconds(self):
        return self.last_read - self.first_write

    def state(self):
        return f"{self.name}: {self.sent} of {self.total} bytes written, {len(self.received)} arrived"

    def check(self):
        """Where the bytes that arrived differ from the ones sent, if they do."""
        if len(self.received) > self.total:
            return f"{self.name}: {len(self.received) - self.total} bytes more arrived than were sent"
        if hashlib.sha256(self.received).digest() == hashlib.sha256(self.payload[:len(self.received)]).digest():
            return None
        first = next(i for i, (a, b) in enumerate(zip(self.received, self.payload)) if a != b)
        changed = sum(a != b for a, b in zip(self.received, self.payload))
        return f"{self.name}: {changed} bytes changed, the first at offset {first}"


class MirrorFlow(Flow):
    """Another peer of a flow from the device: it writes nothing, and is owed
    what the first flow wrote, when that flow wrote it."""

    def __init__(self, name, first, sink):
        super().__init__(name, first.source, sink, first.payload, first.rate)
        self.writes = first.writes

    def allowed(self, now):
        return 0


def pump(flows, stall_seconds, time_limit):
    """Moves the flows' bytes until every one has arrived. Raises Stuck when
    a flow owes bytes and nothing of it arrives for stall_seconds, or when
    the whole transfer takes longer than time_limit. Returns the longest
    turn of this loop: while it paces, a long turn means that this script,
    not the bridge, was held up (the machine's other work)."""
    started = time.monotonic()
    for flow in flows:
        flow.started = started
    longest_turn, turn_started = 0.0, started
    while not all(flow.done() for flow in flows):
        now = time.monotonic()
        longest_turn, turn_started = max(longest_turn, now - turn_started), now
        writers = {flow.source.fileno(): flow for flow in flows if flow.sent < flow.allowed(now)}
        readers = {flow.sink.fileno(): flow for flow in flows if not flow.done()}
        paced = any(flow.rate is not None and flow.sent < flow.total for flow in flows)
        timeout = min(flow.next_slot(now) for flow in flows) if paced else 0.1
        readable, writable, _ = select.select(list(readers), list(writers), [], timeout)
        now = time.monotonic()
        for fd in writable:
            writers[fd].write(now)
        for fd in readable:
            readers[fd].read(now)
        stalled = [flow.name for flow in flows if flow.stalled(now, stall_seconds)]
        if stalled:
            raise Stuck(f"nothing of {' and '.join(stalled)} arrived for {stall_seconds:.0f} s; " +
                        "; ".join(f.state() for f in flows))
        if now - started > time_limit:
            raise Stuck(f"not done after {time_limit:.0f} s; " + "; ".join(f.state() for f in flows))
    return longest_turn


def send_message(source, sink, message, timeout=MESSAGE_TIMEOUT):
    """Writes one message and waits for all of it at the other side; returns
    the seconds from the first write to the arrival of the last byte."""
    deadline = time.monotonic() + timeout
    started = time.monotonic()
    written = 0
    while written < len(message):
        try:
            written += source.write(message[written:])
        except BlockingIOError:
            select.select([], [source.fileno()], [], 0.01)
        if time.monotonic() > deadline:
            raise Stuck(f"could not write {len(message)} bytes in {timeout:.0f} s")
    arrived = bytearray()
    while len(arrived) < len(message):
        left = deadline - time.monotonic()
        if left <= 0:
            raise Stuck(f"{len(arrived)} of {len(message)} bytes arrived within {timeout:.0f} s")
        readable, _, _ = select.select([sink.fileno()], [], [], left)
        if readable:
            try:
                data = sink.read(len(message) - len(arrived))
            except BlockingIOError:
                continue
            if not data:
                raise Stuck("the bridge closed the connection")
            arrived += data
    finished = time.monotonic()
    if arrived != message:
        raise Stuck(f"sent {message.hex()}, got {bytes(arrived).hex()}")
    return finished - started


def percentile(values, percent):
    """Nearest rank."""
    ordered = sorted(values)
    return ordered[max(0, math.ceil(percent / 100 * len(ordered)) - 1)]


# ---------------------------------------------------------------------------
# The measurements; each gets a fresh bridge

class Session:
    """A bridge started and connected, stopped again on leaving."""

    def __init__(self, bridge, label):
        self.bridge = bridge
        self.label = label

    def __enter__(self):
        folder = BENCH_DIR / "run" / f"{self.bridge.name}-{self.label}"
        shutil.rmtree(folder, ignore_errors=True)
        try:
            self.serial, self.lan = self.bridge.start(folder)
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, kind, value, trace):
        try:
            self.bridge.stop()
        except Stuck as error:
            print(f"    {error}", file=sys.stderr)
            CLEANUP_NOTES.append(f"{self.bridge.name}, after {self.label}: {error}")

    def ends(self, direction):
        """(source, sink) of a direction."""
        return (self.serial, self.lan) if direction == SERIAL_TO_LAN else (self.lan, self.serial)

    def warm_up(self, rng):
        """A few messages each way: the bridge moves data at all, and the
        first connection's one-off work is out of the way."""
        for direction in (SERIAL_TO_LAN, LAN_TO_SERIAL):
            for _ in range(LATENCY_WARMUP):
                try:
                    send_message(*self.ends(direction), rng.randbytes(8), timeout=2 * MESSAGE_TIMEOUT)
                except Stuck as error:
                    raise Stuck(f"connected, but {direction} moved no data: {error}") from None


def measure_throughput(bridge, args, rng, directions):
    label = "both" if len(directions) == 2 else directions[0]
    with Session(bridge, "throughput-" + label.replace(">", "")) as session:
        session.warm_up(rng)
        flows = [Flow(direction, *session.ends(direction), rng.randbytes(args.payload_mib * MIB))
                 for direction in directions]
        meter = CpuMeter(bridge.pids())
        meter.start()
        own = own_cpu_seconds()
        pump(flows, args.stall_seconds, args.transfer_limit)
        used = meter.stop()
        own_seconds = own_cpu_seconds() - own
        for flow in flows:
            problem = flow.check()
            if problem:
                raise Stuck(problem)
    moved = sum(flow.total for flow in flows) / MIB
    result = {flow.name: {"mib_per_s": flow.total / MIB / flow.seconds()} for flow in flows}
    result["cpu_ms_per_mib"] = {name: seconds * 1000 / moved for name, seconds in used.items()}
    result["bench_cpu_percent"] = own_seconds / meter.elapsed * 100
    return result


def spread(samples):
    """The median, 99th percentile and largest of samples in seconds, in ms."""
    return {"p50_ms": percentile(samples, 50) * 1000, "p99_ms": percentile(samples, 99) * 1000,
            "max_ms": max(samples) * 1000}


def measure_polls(bridge, args, rng):
    """Back-to-back ask and answer: the peer asks, the device answers the
    moment the whole ask is in, the peer asks again the moment the whole
    answer is in. No pause anywhere, so the rate is the bridge's turnaround."""
    with Session(bridge, "polls") as session:
        session.warm_up(rng)
        asks = [rng.randbytes(POLL_ASK) for _ in range(args.poll_rounds)]
        answers = [rng.randbytes(POLL_ANSWER) for _ in range(args.poll_rounds)]
        samples = []
        own = own_cpu_seconds()
        started = time.monotonic()
        for number, (ask, answer) in enumerate(zip(asks, answers)):
            try:
                asked = time.monotonic()
                send_message(session.lan, session.serial, ask)
                send_message(session.serial, session.lan, answer)
            except Stuck as error:
                raise Stuck(f"poll {number + 1} of {args.poll_rounds}: {error}") from None
            samples.append(time.monotonic() - asked)
        elapsed = time.monotonic() - started
        own_seconds = own_cpu_seconds() - own
    return dict(spread(samples), polls_per_s=args.poll_rounds / elapsed, bench_cpu_percent=own_seconds / elapsed * 100)


def measure_latency(bridge, args, rng, sizes=LATENCY_SIZES, gap=LATENCY_GAP, label="latency"):
    result = {}
    with Session(bridge, label) as session:
        session.warm_up(rng)
        for direction in (SERIAL_TO_LAN, LAN_TO_SERIAL):
            for size in sizes:
                samples = []
                for number in range(args.latency_messages):
                    try:
                        samples.append(send_message(*session.ends(direction), rng.randbytes(size)))
                    except Stuck as error:
                        raise Stuck(f"{direction} {size}-byte message {number + 1} of "
                                    f"{args.latency_messages}: {error}") from None
                    time.sleep(rng.uniform(*gap))
                result[f"{direction} {size}"] = spread(samples)
    return result


def measure_idle_floor(bridge, args, wineserver):
    """A window whose status text changes each second, and nothing else
    (tools/idlefloor.cpp): what it costs under this Wine is the least the
    bridge's clock can. Its process and its wineserver, in % of a core."""
    program = subprocess.Popen(["wine", str(IDLE_FLOOR_EXE)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        window = wait_for("the idle floor's window", lambda: bridge.automation.find(IDLE_FLOOR_TITLE),
                          START_TIMEOUT)
        time.sleep(SETTLE_SECONDS)
        meter = CpuMeter({"process": program.pid, "wineserver": wineserver}, precise=True)
        meter.start()
        time.sleep(args.idle_seconds)
        used = meter.stop()
        bridge.automation.syscommand(window, SC_CLOSE)
        program.wait(timeout=START_TIMEOUT)
    finally:
        if program.poll() is None:
            program.kill()
            program.wait()
    return {name: seconds / meter.elapsed * 100 for name, seconds in used.items()}


def measure_idle(bridge, args, rng):
    """Connected and still. The prefix's wineserver also serves Wine's own
    processes (the device host polls), so it is first measured with nothing
    of ours running: what it spends above that is the bridge's."""
    result = {}
    alone = CpuMeter({name: pid for name, pid in bridge.pids().items() if name == "wineserver"}, precise=True)
    if alone.pids:
        alone.start()
        time.sleep(args.idle_seconds)
        result["wineserver_alone"] = alone.stop().get("wineserver", 0.0) / alone.elapsed * 100
        result["floor"] = measure_idle_floor(bridge, args, alone.pids["wineserver"])
    with Session(bridge, "idle"):
        time.sleep(SETTLE_SECONDS)
        meter = CpuMeter(bridge.pids(), precise=True)
        meter.start()
        time.sleep(args.idle_seconds)
        used = meter.stop()
    result.update({name: seconds / meter.elapsed * 100 for name, seconds in used.items()})
    return result


def paced_result(flows, meter, used, longest_turn, note):
    result = {"script_pause_ms": longest_turn * 1000 if longest_turn is not None else None,
              "cpu_percent": {name: seconds / meter.elapsed * 100 for name, seconds in used.items()},
              "thread_cpu_seconds": meter.threads}
    for flow in flows:
        arrived = min(len(flow.received), flow.total)
        differences = [i for i, (a, b) in enumerate(zip(flow.received, flow.payload)) if a != b]
        result[flow.name] = {"sent": flow.total, "lost": flow.total - arrived, "changed": len(differences),
                             "first_difference": differences[0] if differences else None,
                             "extra": max(0, len(flow.received) - flow.total),
                             "largest_delay_ms": flow.largest_delay * 1000,
                             "delay_p99_ms": percentile(flow.delays, 99) * 1000 if flow.delays else None,
                             "delay_p999_ms": percentile(flow.delays, 99.9) * 1000 if flow.delays else None}
    if note:
        result["note"] = note
    return result


def pump_paced(bridge, args, flows):
    """(the CPU meter, what it measured, the longest turn, a note): bytes that
    have not arrived when the bridge stops moving them count as lost; that
    is a figure, not a failure, here."""
    note, longest_turn = None, None
    meter = CpuMeter(bridge.pids(device_host=True))
    meter.start()
    try:
        longest_turn = pump(flows, args.stall_seconds, args.paced_seconds + 2 * args.stall_seconds + 30)
    except Stuck as error:
        note = str(error)
    return meter, meter.stop(), longest_turn, note


def measure_paced(bridge, args, rng, directions):
    """At the line rate, one way or both at once."""
    label = "both" if len(directions) == 2 else directions[0]
    with Session(bridge, "paced-" + label.replace(">", "")) as session:
        session.warm_up(rng)
        total = int(LINE_RATE * args.paced_seconds)
        flows = [Flow(direction, *session.ends(direction), rng.randbytes(total), rate=LINE_RATE)
                 for direction in directions]
        outcome = pump_paced(bridge, args, flows)
    return paced_result(flows, *outcome)


def measure_paced_peers(bridge, args, rng, silent):
    """From the device at the line rate to two peers at once (MAXPEER=2):
    the first peer's delays beside those of a peer alone, and the second's
    bytes checked as the first's; or, silent, the second a peer that reads
    nothing (4 KiB of receive buffer), and when the bridge dropped it.
    This build of Quillmar, in raw mode, only."""
    if type(bridge) is not QuillmarBridge:
        return None
    bridge.settings = dict(type(bridge).settings, MAXPEER=2)
    try:
        with Session(bridge, "paced-silent-peer" if silent else "paced-two-peers") as session:
            session.warm_up(rng)
            second = bridge.second_peer(SILENT_RECEIVE_BUFFER if silent else None)
            try:
                first = Flow(SERIAL_TO_LAN, session.serial, session.lan,
                             rng.randbytes(int(LINE_RATE * args.paced_seconds)), rate=LINE_RATE)
                flows = [first] if silent else [first, MirrorFlow(SECOND_PEER, first, TcpEnd(second))]
                started_at = time.time()
                outcome = pump_paced(bridge, args, flows)
                history = read_history(bridge.program.folder / HISTORY)
            finally:
                second.close()
    finally:
        bridge.settings = type(bridge).settings
    result = paced_result(flows, *outcome)
    if silent:
        dropped = [at for at, text in history if " dropped: " in text]
        result["silent peer dropped after s"] = dropped[0].timestamp() - started_at if dropped else None
    return result


# A request and its reply first, then throughput, then CPU.
MEASUREMENTS = [
    ("polls", measure_polls),
    ("latency", measure_latency),
    ("latency close", lambda b, a, r: measure_latency(b, a, r, CLOSE_LATENCY_SIZES, CLOSE_LATENCY_GAP,
                                                      "latency-close")),
    ("throughput " + SERIAL_TO_LAN, lambda b, a, r: measure_throughput(b, a, r, [SERIAL_TO_LAN])),
    ("throughput " + LAN_TO_SERIAL, lambda b, a, r: measure_throughput(b, a, r, [LAN_TO_SERIAL])),
    ("throughput both", lambda b, a, r: measure_throughput(b, a, r, [SERIAL_TO_LAN, LAN_TO_SERIAL])),
    ("idle", measure_idle),
    ("paced " + SERIAL_TO_LAN, lambda b, a, r: measure_paced(b, a, r, [SERIAL_TO_LAN])),
    ("paced " + LAN_TO_SERIAL, lambda b, a, r: measure_paced(b, a, r, [LAN_TO_SERIAL])),
    ("paced both", lambda b, a, r: measure_paced(b, a, r, [SERIAL_TO_LAN, LAN_TO_SERIAL])),
    ("paced two peers", lambda b, a, r: measure_paced_peers(b, a, r, silent=False)),
    ("paced beside a silent peer", lambda b, a, r: measure_paced_peers(b, a, r, silent=True)),
]


def run_bridge(bridge, args, results, errors):
    """Fills results and errors as it goes, so that what was measured
    survives a run that ends early."""
    rng = random.Random(args.seed)
    for name, measure in MEASUREMENTS:
        if args.measure and not any(name.startswith(wanted) for wanted in args.measure):
            continue
        print(f"{bridge.name}: {name} ...", file=sys.stderr, flush=True)
        started = time.monotonic()
        try:
            result = measure(bridge, args, rng)
        except (Stuck, OSError) as error:
            errors[name] = str(error)
            print(f"    failed: {error}", file=sys.stderr, flush=True)
        else:
            if result is None:
                print("    not for this bridge", file=sys.stderr, flush=True)
                continue
            results[name] = result
            print(f"    {time.monotonic() - started:.1f} s: {json.dumps(results[name])}", file=sys.stderr,
                  flush=True)


# ---------------------------------------------------------------------------
# The table

def below(limit):
    return lambda value: value < limit


def at_least(limit):
    return lambda value: value >= limit


def at_most(limit):
    return lambda value: value <= limit


class OfSocat:
    """A target on Quillmar's figure over socat's in the same run, the
    table's Quillmar/socat column; judged only when socat ran."""

    def __init__(self, least):
        self.least = least

    def __call__(self, ratio):
        return ratio >= self.least


def rows():
    """(label, the measurement the figure comes from, how to pick it from one
    bridge's results, target text, target test (a tuple of them when there
    are several; see judge) or None)."""
    def get(*path):
        def pick(results):
            value = results
            for key in path:
                value = value[key]
            return value
        return pick

    table = [(f"Polls per second ({POLL_ASK} B ask, {POLL_ANSWER} B answer)", "polls", get("polls", "polls_per_s"),
              ">= 0.20 of socat", OfSocat(0.20)),
             ("Poll round trip, p50 ms", "polls", get("polls", "p50_ms"), "", None),
             ("Poll round trip, p99 ms", "polls", get("polls", "p99_ms"), "", None)]
    for direction in (SERIAL_TO_LAN, LAN_TO_SERIAL):
        for size in LATENCY_SIZES:
            key = f"{direction} {size}"
            p50_target = ("< 2", below(2)) if direction == LAN_TO_SERIAL else ("< 10", below(10))
            p99_target = ("< 20", below(20)) if direction == LAN_TO_SERIAL else ("", None)
            table.append((f"Latency {direction}, {size} B, p50 ms", "latency",
                          get("latency", key, "p50_ms"), *p50_target))
            table.append((f"Latency {direction}, {size} B, p99 ms", "latency",
                          get("latency", key, "p99_ms"), *p99_target))
    gap = f"{CLOSE_LATENCY_GAP[0] * 1000:.0f}-{CLOSE_LATENCY_GAP[1] * 1000:.0f} ms apart"
    for direction in (SERIAL_TO_LAN, LAN_TO_SERIAL):
        for size in CLOSE_LATENCY_SIZES:
            key = f"{direction} {size}"
            table.append((f"Latency {direction}, {size} B, {gap}, p50 ms", "latency close",
                          get("latency close", key, "p50_ms"), "<= 1.5", at_most(1.5)))
            table.append((f"Latency {direction}, {size} B, {gap}, p99 ms", "latency close",
                          get("latency close", key, "p99_ms"), "", None))
    # No further behind socat than the program has been.
    for direction, least in ((SERIAL_TO_LAN, 0.19), (LAN_TO_SERIAL, 0.28)):
        table.append((f"Throughput {direction}, MiB/s", "throughput " + direction,
                      get("throughput " + direction, direction, "mib_per_s"), f">= 5, >= {least:.2f} of socat",
                      (at_least(5), OfSocat(least))))
    for direction in (SERIAL_TO_LAN, LAN_TO_SERIAL):
        table.append((f"Throughput both at once, {direction}, MiB/s", "throughput both",
                      get("throughput both", direction, "mib_per_s"), "", None))
    for label, measurement in ((SERIAL_TO_LAN, "throughput " + SERIAL_TO_LAN),
                               (LAN_TO_SERIAL, "throughput " + LAN_TO_SERIAL),
                               ("both at once", "throughput both")):
        target = ("< 100", below(100)) if label != "both at once" else ("", None)
        table.append((f"CPU {label}, ms/MiB, process", measurement,
                      get(measurement, "cpu_ms_per_mib", "process"), "", None))
        table.append((f"CPU {label}, ms/MiB, with wineserver", measurement, total_cpu(measurement), *target))
    table.append(("Idle CPU, % of a core, process", "idle", get("idle", "process"), "", None))
    table.append(("Idle CPU, % of a core, with wineserver", "idle", total_idle, "", None))
    table.append(("Idle CPU, % of a core, wineserver with nothing of ours", "idle", get("idle", "wineserver_alone"),
                  "", None))
    table.append(("Idle CPU, % of a core, with wineserver above that", "idle", idle_above_wine, "< 0.15",
                  below(0.15)))
    table.append(("Idle CPU, the same, for a window whose text changes each second", "idle",
                  lambda results: idle_above_wine({"idle": dict(results["idle"]["floor"],
                                                               wineserver_alone=results["idle"]["wineserver_alone"])}),
                  "", None))
    # One way alone: 10 % of a core, Wine's share included.
    for direction in (SERIAL_TO_LAN, LAN_TO_SERIAL):
        measurement = "paced " + direction
        table.append((f"Line rate {direction} alone: bytes lost, added or changed", measurement,
                      paced_lost(measurement, direction), "0", lambda value: value == 0))
        table.append((f"Line rate {direction} alone: delay, 99th percentile, ms", measurement,
                      get(measurement, direction, "delay_p99_ms"), "<= 5", at_most(5)))
        table.append((f"Line rate {direction} alone: CPU, % of a core, process", measurement,
                      get(measurement, "cpu_percent", "process"), "", None))
        table.append((f"Line rate {direction} alone: CPU, % of a core, with wineserver and device host", measurement,
                      paced_cpu(measurement, device_host=True), "<= 10", at_most(10)))
    for direction in (SERIAL_TO_LAN, LAN_TO_SERIAL):
        table.append((f"Line rate {direction}: bytes lost, added or changed", "paced both",
                      paced_lost("paced both", direction), "0", lambda value: value == 0))
    for direction in (SERIAL_TO_LAN, LAN_TO_SERIAL):
        table.append((f"Line rate {direction}: largest delay, ms", "paced both",
                      get("paced both", direction, "largest_delay_ms"), "< 10", below(10)))
    # Beside the largest: one read in a thousand may meet a pause of the
    # machine itself, which holds this script up as much as the bridge.
    for direction in (SERIAL_TO_LAN, LAN_TO_SERIAL):
        table.append((f"Line rate {direction}: delay, 99.9th percentile, ms", "paced both",
                      get("paced both", direction, "delay_p999_ms"), "", None))
    # Both directions at once: 10 % of a core each.
    # Two peers share the port: the first as fast as a peer alone, the second as whole.
    two = "paced two peers"
    table.append((f"Line rate {SERIAL_TO_LAN} to two peers: bytes lost, added or changed, each", two,
                  lambda results: max(paced_lost(two, SERIAL_TO_LAN)(results), paced_lost(two, SECOND_PEER)(results)),
                  "0", lambda value: value == 0))
    table.append((f"Line rate {SERIAL_TO_LAN} to two peers: delay, 99th percentile, ms, first peer", two,
                  get(two, SERIAL_TO_LAN, "delay_p99_ms"), "<= 5", at_most(5)))
    table.append((f"Line rate {SERIAL_TO_LAN} to two peers: delay, 99th percentile, ms, second peer", two,
                  get(two, SECOND_PEER, "delay_p99_ms"), "", None))
    table.append((f"Line rate {SERIAL_TO_LAN} to two peers: CPU, % of a core, with wineserver and device host", two,
                  paced_cpu(two, device_host=True), "", None))
    # A peer that reads nothing costs the other nothing, and is dropped once
    # the 256 KiB ring and what its socket holds are behind it (about 7 s).
    silent = "paced beside a silent peer"
    table.append((f"Line rate {SERIAL_TO_LAN} beside a peer that reads nothing: bytes lost, added or changed", silent,
                  paced_lost(silent, SERIAL_TO_LAN), "0", lambda value: value == 0))
    table.append((f"Line rate {SERIAL_TO_LAN} beside a peer that reads nothing: delay, 99th percentile, ms", silent,
                  get(silent, SERIAL_TO_LAN, "delay_p99_ms"), "<= 5", at_most(5)))
    table.append(("The peer that reads nothing dropped after, s", silent, get(silent, "silent peer dropped after s"),
                  "", None))
    table.append(("Line rate both ways: CPU, % of a core, process", "paced both",
                  get("paced both", "cpu_percent", "process"), "", None))
    table.append(("Line rate both ways: CPU, % of a core, with wineserver", "paced both",
                  paced_cpu("paced both", device_host=False), "< 20", below(20)))
    table.append(("Line rate: longest pause of this script, ms", "paced both", get("paced both", "script_pause_ms"),
                  "", None))
    return table


def total_cpu(measurement):
    def pick(results):
        shares = results[measurement]["cpu_ms_per_mib"]
        return sum(shares.values())
    return pick


def total_idle(results):
    return results["idle"]["process"] + results["idle"].get("wineserver", 0.0)


def idle_above_wine(results):
    idle = results["idle"]
    return idle["process"] + max(0.0, idle.get("wineserver", 0.0) - idle.get("wineserver_alone", 0.0))


def paced_cpu(measurement, device_host):
    """% of a core of the bridge's process and the wineserver, and with
    device_host of Wine's device hosts too."""
    def pick(results):
        return sum(share for name, share in results[measurement]["cpu_percent"].items()
                   if device_host or name != "device host")
    return pick


def paced_lost(measurement, direction):
    """Bytes missing or added; when none is, bytes that arrived changed
    (after a missing byte every later one differs, which says nothing more)."""
    def pick(results):
        figures = results[measurement][direction]
        if figures["lost"] or figures["extra"]:
            return figures["lost"] + figures["extra"]
        return figures["changed"]
    return pick


RATIO_LABELS = {(Rfc2217Bridge.name, QuillmarBridge.name): "RFC 2217/raw"}
# RFC 2217 mode may cost this much against raw mode (a fraction).
RFC2217_MARGIN = 0.2


def rfc2217_verdict(label, rfc2217, raw):
    """Whether RFC 2217 mode's figure is within the margin of raw mode's, for
    the rows where more or less is plainly better; "" for the others."""
    if label.startswith(("Throughput", "Polls per second")):
        within = rfc2217 >= (1 - RFC2217_MARGIN) * raw if rfc2217 is not None and raw else None
    elif label.startswith(("Latency", "CPU", "Poll round trip")):
        within = rfc2217 <= (1 + RFC2217_MARGIN) * raw if rfc2217 is not None and raw else None
    else:
        return ""
    return "-" if within is None else "met" if within else "missed"


def judge(test, shown, shown_ratio):
    """'met', 'missed', or '' when nothing could be judged: test is one test
    or a tuple of tests, each on the figure as shown or, for an OfSocat,
    on the Quillmar/socat ratio as shown ('-' when socat did not run)."""
    verdicts = []
    for one in test if isinstance(test, tuple) else (test,):
        if not isinstance(one, OfSocat):
            verdicts.append(one(float(shown)))
        elif shown_ratio != "-":
            verdicts.append(one(float(shown_ratio)))
    return "" if not verdicts else "met" if all(verdicts) else "missed"


def figure(value):
    if isinstance(value, int):
        return str(value)
    if value >= 100:
        return f"{value:.0f}"
    if value >= 10:
        return f"{value:.1f}"
    return f"{value:.2f}"


def render(bridges, outcomes, args, stopped=None):
    """The table as text: one column per bridge, their ratio (first /
    second), the target and whether the first bridge (Quillmar) meets it.
    `stopped` says why the run ended early, if it did."""
    names = [bridge.name for bridge in bridges]
    # Ratios: Quillmar to the reference, and RFC 2217 mode to raw, each when both ran.
    ratios = [(first, second) for first, second in ((QuillmarBridge.name, SocatBridge.name),
                                                     (EarlierBridge.name, SocatBridge.name),
                                                     (Rfc2217Bridge.name, QuillmarBridge.name))
              if first in names and second in names]
    judge_rfc2217 = (Rfc2217Bridge.name, QuillmarBridge.name) in ratios
    header = (["Figure"] + names + [RATIO_LABELS.get(pair, "/".join(pair)) for pair in ratios] + ["Target", "Result"] +
              (["RFC 2217 within 20 %"] if judge_rfc2217 else []))
    lines, notes = [], []

    def cell(name, measurement, pick):
        results, errors = outcomes[name]
        if measurement in errors:
            note = f"{name}, {measurement}: {errors[measurement]}"
            if note not in notes:
                notes.append(note)
            return None, f"failed [{notes.index(note) + 1}]"
        if measurement not in results:
            if stopped:
                note = f"not run: {stopped}"
                if note not in notes:
                    notes.append(note)
                return None, f"not run [{notes.index(note) + 1}]"
            return None, "-"
        try:
            value = pick(results)
        except KeyError:
            return None, "-"
        if value is None:
            return None, "-"
        return value, figure(value)

    for label, measurement, pick, target_text, test in rows():
        cells = dict(zip(names, (cell(name, measurement, pick) for name in names)))
        row = [label] + [cells[name][1] for name in names]
        shown_ratios = {}
        for first, second in ratios:
            top, bottom = cells[first][0], cells[second][0]
            shown_ratios[first, second] = f"{top / bottom:.2f}" if top is not None and bottom else "-"
            row.append(shown_ratios[first, second])
        verdict = ""
        if test and names[0] == QuillmarBridge.name and cells[names[0]][0] is not None:
            # Judged on the figures as printed, so that a shown 1.00 never meets "< 1";
            # a measurement left out (--measure) is not judged, nor a ratio without socat.
            verdict = judge(test, cells[names[0]][1],
                            shown_ratios.get((QuillmarBridge.name, SocatBridge.name), "-"))
        row += [target_text, verdict]
        if judge_rfc2217:
            row.append(rfc2217_verdict(label, cells[Rfc2217Bridge.name][0], cells[QuillmarBridge.name][0]))
        lines.append(row)

    for name in names:
        for measurement, figures in outcomes[name][0].items():
            busy = figures.get("bench_cpu_percent", 0)
            if busy >= SELF_BOUND_PERCENT:
                notes.append(f"{name}, {measurement}: this script kept a core {busy:.0f}% busy, so the "
                             f"rate is a floor set by the script rather than by {name}")
            if "note" in figures:
                notes.append(f"{name}, {measurement}: {figures['note']}")

    widths = [max(len(row[i]) for row in [header] + lines) for i in range(len(header))]
    out = []
    out.append("  ".join(text.ljust(widths[i]) if i == 0 else text.rjust(widths[i])
                         for i, text in enumerate(header)).rstrip())
    out.append("-" * len(out[0]))
    for row in lines:
        out.append("  ".join(text.ljust(widths[i]) if i == 0 else text.rjust(widths[i])
                             for i, text in enumerate(row)).rstrip())
    out.append("")
    out.append(f"Polls: {args.poll_rounds} rounds back to back. Payload {args.payload_mib} MiB per direction; "
               f"latency over {args.latency_messages} messages per row, one in flight, "
               f"{LATENCY_GAP[0] * 1000:.0f}-{LATENCY_GAP[1] * 1000:.0f} ms apart unless the row says otherwise; "
               f"idle over {args.idle_seconds:g} s; line rate {LINE_RATE} bytes/s one way alone, then each way at "
               f"once, for {args.paced_seconds:g} s each.")
    out.append("CPU: utime+stime of the bridge's process; 'with wineserver' adds the prefix's whole "
               "wineserver over the same spell, 'and device host' also Wine's device hosts of the prefix "
               "(winedevice.exe); socat has neither.")
    out.append(f"Machine: {os.cpu_count()} cores; load average {LOAD_AT_START[0]:.2f} at the start, "
               f"{os.getloadavg()[0]:.2f} at the end.")
    if judge_rfc2217:
        out.append(f"RFC 2217 within 20 %: {Rfc2217Bridge.name} against {QuillmarBridge.name} (raw), throughput "
                   f"and polls per second at least {1 - RFC2217_MARGIN:.1f} times, latency, poll round trip and CPU "
                   f"at most {1 + RFC2217_MARGIN:.1f} times.")
    notes += CLEANUP_NOTES
    for number, note in enumerate(notes, 1):
        out.append(f"[{number}] {note}")
    return "\n".join(out)


# ---------------------------------------------------------------------------

def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--paced-seconds", type=float, default=60,
                        help="length of the line-rate run (default 60)")
    parser.add_argument("--payload-mib", type=int, default=16, help="throughput payload per direction (default 16)")
    parser.add_argument("--latency-messages", type=int, default=200,
                        help="messages per latency row (default 200)")
    parser.add_argument("--poll-rounds", type=int, default=500,
                        help="asks and answers of the polls measurement (default 500)")
    parser.add_argument("--idle-seconds", type=float, default=10, help="idle CPU spell (default 10)")
    parser.add_argument("--stall-seconds", type=float, default=10,
                        help="a transfer with nothing arriving for this long is stuck (default 10)")
    parser.add_argument("--transfer-limit", type=float, default=300,
                        help="longest a throughput transfer may take, seconds (default 300)")
    parser.add_argument("--time-limit", type=float, default=3600,
                        help="the whole benchmark ends after this many seconds (default 3600)")
    parser.add_argument("--only", choices=["quillmar", "socat"], help="measure one bridge only")
    parser.add_argument("--rfc2217", action="store_true",
                        help="also Quillmar in RFC 2217 mode (RFC2217=1), its peer a minimal Telnet client, beside "
                             "raw mode")
    parser.add_argument("--compare", type=Path, metavar="EXE",
                        help="also another build's Quillmar.exe, in a column of its own (\"Quillmar before\")")
    parser.add_argument("--measure", action="append", metavar="NAME",
                        help="only the measurements whose names start with NAME (polls, latency, "
                             "latency close, throughput, idle, paced; e.g. 'paced both', 'throughput LAN'); "
                             "may be given more than once")
    parser.add_argument("--seed", type=int, default=1, help="seed of the payloads and pauses")
    args = parser.parse_args()
    if args.compare and not args.compare.is_file():
        parser.error(f"{args.compare} is no file")
    if (args.paced_seconds <= 0 or args.payload_mib <= 0 or args.latency_messages <= 0 or args.idle_seconds <= 0
            or args.poll_rounds <= 0):
        parser.error("the lengths and counts must be above 0")
    args.paced_seconds = float(args.paced_seconds)
    return args


def main():
    args = parse_arguments()
    if not QUILLMAR_EXE.exists():
        sys.exit(f"{QUILLMAR_EXE} is missing: build it with `make build`")
    if shutil.which("socat") is None and args.only != "quillmar":
        sys.exit("socat is missing: `make bench` installs it (tools/deps.sh)")

    def out_of_time(signum, frame):
        raise OutOfTime(f"the benchmark ran longer than {args.time_limit:.0f} s")
    signal.signal(signal.SIGALRM, out_of_time)
    signal.alarm(int(args.time_limit))

    BENCH_DIR.mkdir(parents=True, exist_ok=True)
    automation = None
    bridges, outcomes = [], {}
    stopped = None
    try:
        if args.only != "socat":
            automation = Automation(BENCH_DIR / "qmauto.log")
            bridges.append(QuillmarBridge(automation))
            if args.rfc2217:
                bridges.append(Rfc2217Bridge(automation))
            if args.compare:
                bridges.append(EarlierBridge(automation, args.compare))
        if args.only != "quillmar":
            bridges.append(SocatBridge())
        for bridge in bridges:
            outcomes[bridge.name] = ({}, {})
            run_bridge(bridge, args, *outcomes[bridge.name])
    except OutOfTime as error:
        stopped = str(error)
        print(f"stopped: {stopped}", file=sys.stderr)
        bridges = [bridge for bridge in bridges if bridge.name in outcomes]
    finally:
        signal.alarm(0)
        if automation:
            automation.close()
    if not bridges:
        sys.exit(1)

    table = render(bridges, outcomes, args, stopped)
    print(table)
    (BENCH_DIR / "report.txt").write_text(table + "\n")
    (BENCH_DIR / "results.json").write_text(json.dumps(
        {name: {"results": results, "errors": errors} for name, (results, errors) in outcomes.items()},
        indent=1))
    print(f"\n(also in {BENCH_DIR / 'report.txt'}, figures in {BENCH_DIR / 'results.json'})")
    # Missed targets are figures; only a run that could not measure everything fails.
    if stopped or any(errors for _, errors in outcomes.values()):
        sys.exit(1)


if __name__ == "__main__":
    main()
