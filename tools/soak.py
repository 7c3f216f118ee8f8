#!/usr/bin/python3
"""Quillmar's soak run: the real Quillmar.exe kept busy the way a bridge in
the field is, checked for loss, hangs and growth.

    make soak        (tools/rig.sh BUILD soak: the system tests marked soak, then
                      this script; this script alone takes at most 10 minutes)

Quillmar runs as a server (MODE=0, CONNECT=1) with COM1 on a pty whose master
this script plays the device on, and this script is the TCP peer:
  1. 64 MiB each way at once, checked by SHA-256, while both transfer logs are
     opened and closed and SERIAL OK applies the serial settings again;
  2. 1000 connections while the device streams, half of them closed cleanly
     and half reset; each must be served and get the device's bytes;
  3. the process's handles and private memory at connection 100 and at
     connection 1000, which must not grow (under 50 handles, under 1 MiB);
  4. a last connection that carries 1 MiB each way intact.

It prints a table of what it saw, also written to BUILD/soak/report.txt, and
exits with 1 on any loss, hang or growth. Processes ended here are only the
ones this script started.
"""
import random
import select
import signal
import socket
import struct
import sys
import threading
import time
from pathlib import Path

import bench     # tools/: the transfer engine and the bridge of the benchmark
from harness import (BUILD, IDOK, LOG_CLOSE, LOG_LAN_TO_SERIAL, LOG_SERIAL_TO_LAN, LOOPBACK, SERIAL, SERIAL_CAPTION,
                     STATUS_TEXT, Automation, AutomationError, choose_file, log_window, wait_for)

MIB = 1 << 20
BULK_SIZE = 64 * MIB
LAST_SIZE = MIB
CONNECTIONS = 1000
FIRST_SAMPLE, LAST_SAMPLE = 100, CONNECTIONS
HANDLE_GROWTH_LIMIT = 50
MEMORY_GROWTH_LIMIT = MIB
STALL_SECONDS = 20
BULK_TIME_LIMIT = 240
CONNECTION_TIMEOUT = 10
TIME_LIMIT = 600                # the whole run
SOAK_DIR = BUILD / "soak"


class Failed(Exception):
    pass


def private_bytes(pid):
    """The process's private memory, as the kernel counts it."""
    total = 0
    for line in Path(f"/proc/{pid}/smaps_rollup").read_text().splitlines():
        if line.startswith(("Private_Clean:", "Private_Dirty:")):
            total += int(line.split()[1]) * 1024
    return total


class Housekeeping(threading.Thread):
    """What a user does beside a transfer: each log opened on a file and
    closed again, and the serial settings applied again, round after round
    until told to stop."""

    def __init__(self, program, automation, folder):
        super().__init__(daemon=True)
        self.program, self.automation, self.folder = program, automation, folder
        self.stop = threading.Event()
        self.rounds = 0
        self.error = None

    def run(self):
        try:
            while not self.stop.is_set():
                for command in (LOG_LAN_TO_SERIAL, LOG_SERIAL_TO_LAN):
                    self.cycle_log(command)
                dialog = self.program.open_dialog(SERIAL, SERIAL_CAPTION)
                self.automation.command(dialog, IDOK)
                wait_for("the serial dialog to close", lambda: not self.automation.alive(dialog))
                self.rounds += 1
        except (AssertionError, AutomationError) as error:
            self.error = error

    def cycle_log(self, command):
        path = self.folder / f"log-{command}.bin"
        path.write_bytes(b"")
        self.program.command(command)
        choose_file(self.automation, path)
        window = log_window(self.automation)
        self.automation.click(window, LOG_CLOSE)
        wait_for("the log window to close", lambda: not self.automation.alive(window))


def bulk(bridge, program, automation, ends, results):
    """Stage 1: both directions at once with everything else going on."""
    device, peer = ends
    rng = random.Random(1)
    flows = [bench.Flow("serial->LAN", device, peer, rng.randbytes(BULK_SIZE)),
             bench.Flow("LAN->serial", peer, device, rng.randbytes(BULK_SIZE))]
    chores = Housekeeping(program, automation, SOAK_DIR)
    chores.start()
    started = time.monotonic()
    try:
        bench.pump(flows, STALL_SECONDS, BULK_TIME_LIMIT)
    finally:
        chores.stop.set()
        chores.join(60)
    seconds = time.monotonic() - started
    for flow in flows:
        problem = flow.check()
        results.append((f"64 MiB {flow.name}", "intact" if problem is None else problem,
                        f"{BULK_SIZE / MIB / seconds:.1f} MiB/s"))
        if problem:
            raise Failed(problem)
    results.append(("housekeeping rounds during it", f"{chores.rounds} (2 logs + SERIAL OK each)", ""))
    if chores.error:
        raise Failed(f"housekeeping: {chores.error}")
    if chores.rounds == 0:
        raise Failed("not one round of logs and SERIAL OK ended during the transfer")


def serve(port):
    """A peer the server takes: it connects again while it is turned away
    (the previous peer's end not yet seen), and is served once the device's
    bytes reach it. Returns (peer, attempts)."""
    deadline = time.monotonic() + CONNECTION_TIMEOUT
    attempt = 0
    while time.monotonic() < deadline:
        attempt += 1
        peer = socket.create_connection((LOOPBACK, port), timeout=CONNECTION_TIMEOUT)
        try:
            if peer.recv(1):
                return peer, attempt
        except ConnectionResetError:
            pass
        except socket.timeout:
            raise Failed(f"a peer was taken but got nothing from the device in {CONNECTION_TIMEOUT} s") from None
        peer.close()
    raise Failed(f"no peer was served for {CONNECTION_TIMEOUT} s")


def leave(peer, cleanly):
    """A clean end: the peer's FIN, then what the bridge still sends until
    its own; otherwise a reset."""
    if cleanly:
        peer.shutdown(socket.SHUT_WR)
        try:
            while peer.recv(bench.CHUNK):
                pass
        except socket.timeout:
            raise Failed(f"the bridge did not end a cleanly closed connection in {CONNECTION_TIMEOUT} s") from None
    else:
        peer.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    peer.close()


def drain(source, quiet):
    """Reads and drops what arrives until nothing has come for `quiet` s."""
    while select.select([source], [], [], quiet)[0]:
        try:
            if not source.read(bench.CHUNK):
                return
        except BlockingIOError:
            pass


def usage(bridge, automation):
    counts = automation.process_usage(bridge.program.window)
    return counts["handles"], private_bytes(bridge.program.process.pid)


def connections(bridge, automation, port, device, results):
    """Stages 2 and 3: peers come and go while the device streams."""
    streaming = threading.Event()

    def talk():
        while not streaming.is_set():
            if select.select([], [device.fileno()], [], 0.1)[1]:
                try:
                    device.write(b"the device streams " * 16)
                except BlockingIOError:
                    pass
            # What queues while no peer reads is not this stage's business.
            try:
                while device.read(bench.CHUNK):
                    pass
            except BlockingIOError:
                pass

    talker = threading.Thread(target=talk, daemon=True)
    talker.start()
    samples, turned_away = {}, 0
    try:
        for number in range(1, CONNECTIONS + 1):
            peer, attempts = serve(port)
            turned_away += attempts - 1
            peer.sendall(b"peer %d" % number)
            leave(peer, cleanly=number % 2 == 1)
            if number in (FIRST_SAMPLE, LAST_SAMPLE):
                time.sleep(1)       # the bridge's end of it is done
                samples[number] = usage(bridge, automation)
    finally:
        streaming.set()
        talker.join(5)
    results.append((f"{CONNECTIONS} connections, half reset", "each served",
                    f"{turned_away} early attempts turned away"))
    (handles_first, memory_first), (handles_last, memory_last) = samples[FIRST_SAMPLE], samples[LAST_SAMPLE]
    handle_growth, memory_growth = handles_last - handles_first, memory_last - memory_first
    results.append((f"handles at {FIRST_SAMPLE} / {LAST_SAMPLE}", f"{handles_first} / {handles_last}",
                    f"growth {handle_growth} (limit < {HANDLE_GROWTH_LIMIT})"))
    results.append((f"private memory at {FIRST_SAMPLE} / {LAST_SAMPLE}",
                    f"{memory_first / MIB:.2f} / {memory_last / MIB:.2f} MiB",
                    f"growth {memory_growth / 1024:.0f} KiB (limit < {MEMORY_GROWTH_LIMIT // 1024} KiB)"))
    if handle_growth >= HANDLE_GROWTH_LIMIT or memory_growth >= MEMORY_GROWTH_LIMIT:
        raise Failed("the process grew with the connections")


def last_connection(bridge, port, device, results):
    """Stage 4: one more peer, 1 MiB each way, intact. What the device said
    before it is the first thing the peer gets; the payload follows it."""
    drain(device, 0.5)
    peer = bench.connect_with_retry(port, CONNECTION_TIMEOUT)
    bridge.program.wait_text(STATUS_TEXT, bench.PEER_NAME, timeout=CONNECTION_TIMEOUT)
    rng = random.Random(2)
    end = bench.TcpEnd(peer)
    drain(end, 1.0)
    flows = [bench.Flow("serial->LAN", device, end, rng.randbytes(LAST_SIZE)),
             bench.Flow("LAN->serial", end, device, rng.randbytes(LAST_SIZE))]
    bench.pump(flows, STALL_SECONDS, BULK_TIME_LIMIT)
    peer.close()
    for flow in flows:
        problem = flow.check()
        results.append((f"last connection, 1 MiB {flow.name}", "intact" if problem is None else problem, ""))
        if problem:
            raise Failed(problem)


def render(results, verdict):
    width = max(len(row[0]) for row in results) + 2
    lines = [f"{'What':<{width}}{'Seen':<34}Note", "-" * (width + 70)]
    lines += [f"{what:<{width}}{seen:<34}{note}" for what, seen, note in results]
    lines += ["", verdict]
    return "\n".join(lines)


def main():
    if "-h" in sys.argv or "--help" in sys.argv:
        print(__doc__)
        return
    SOAK_DIR.mkdir(parents=True, exist_ok=True)

    def out_of_time(*_):
        raise Failed(f"not done after {TIME_LIMIT} s: a hang")
    signal.signal(signal.SIGALRM, out_of_time)
    signal.alarm(TIME_LIMIT)

    automation = Automation(SOAK_DIR / "qmauto.log")
    bridge = bench.QuillmarBridge(automation)
    results, verdict = [], "no loss, no hang, no growth"
    started = time.monotonic()
    try:
        device, peer = bridge.start(SOAK_DIR / "app")
        port = int(dict(line.split("=", 1) for line in
                        bridge.program.ini.read_text().splitlines() if "=" in line)["SPORT"])
        bulk(bridge, bridge.program, automation, (device, peer), results)
        peer.sock.close()
        connections(bridge, automation, port, device, results)
        last_connection(bridge, port, device, results)
    except (Failed, bench.Stuck, AssertionError, AutomationError) as error:
        verdict = f"FAILED: {error}"
    finally:
        signal.alarm(0)
        results.append(("whole run", f"{time.monotonic() - started:.0f} s", f"limit {TIME_LIMIT} s"))
        try:
            bridge.stop()
        except bench.Stuck as error:
            verdict = f"FAILED: {error}"
        automation.close()
    table = render(results, verdict)
    print(table)
    (SOAK_DIR / "report.txt").write_text(table + "\n")
    if verdict.startswith("FAILED"):
        sys.exit(1)


if __name__ == "__main__":
    main()
