"""Fixtures of the system tests: one UI helper for the session, and per test
a Quillmar of its own with its own folder and serial ports. A failing test
leaves a screenshot, the window list and the program's output under
BUILD/test-artifacts/<test>/.

Under pytest-xdist each worker is a session of its own with a rig of its own
(see harness.py). Tests marked `slow` are handed out first, so that the
workers end at about the same time; tests marked `soak` run only in
`make soak`. Tests marked `alone` change the host's network links; a program
under Wine that ends while a link changes may crash on its way out, so the
rig runs them after the others (--alone=without, then --alone=only). Tests
marked `timing` judge a delay, which a busy machine would make for them:
the rig runs them last, one at a time (--timing=only, without workers)."""
import inspect
import json
import os
import shutil

import pytest

from harness import (ACCEPT_WAITING, ARTIFACTS, PEER, STATUS_TEXT, WORKER, Automation, Ports, Quillmar,
                     VanishingHost, connect_peer, free_tcp_port)


def pytest_pycollect_makeitem(collector, name, obj):
    """A class of tests whose name pytest does not collect would be skipped
    without a word: it fails the collection instead."""
    if inspect.isclass(obj) and not name.startswith("Test") and \
            any(attribute.startswith("test_") for attribute in vars(obj)):
        raise pytest.UsageError(f"{collector.nodeid}: class {name} holds tests, but only classes named Test* "
                                "are collected")


def pytest_addoption(parser):
    parser.addoption("--alone", choices=("with", "without", "only"), default="with",
                     help="the tests marked alone: run with the others (the default), leave out, or run only them")
    parser.addoption("--timing", choices=("with", "without", "only"), default="with",
                     help="the tests marked timing: run with the others (the default), leave out, or run only them")


def pytest_collection_modifyitems(config, items):
    """Keeps or leaves out the tests marked alone and timing, as --alone and
    --timing say; then the slow tests first (in their order), then the rest."""
    for marker in ("alone", "timing"):
        choice = config.getoption(marker)
        if choice == "with":
            continue
        kept = [item for item in items if (item.get_closest_marker(marker) is not None) == (choice == "only")]
        if len(kept) < len(items):
            config.hook.pytest_deselected(items=[item for item in items if item not in kept])
            items[:] = kept
    items.sort(key=lambda item: item.get_closest_marker("slow") is None)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    setattr(item, "report_" + report.when, report)


@pytest.fixture(scope="session")
def automation():
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    helper = Automation(ARTIFACTS / (f"qmauto-{WORKER}.log" if WORKER else "qmauto.log"))
    yield helper
    helper.close()


@pytest.fixture
def ports(automation):
    """COM1 is a pty, the default settings' port, so that the program comes
    up without a notice; every other port cannot be opened. The system lists
    the ports that lead to a device as present."""
    rig_ports = Ports(automation)
    rig_ports.reset()
    rig_ports.com1 = rig_ports.pty(1)
    yield rig_ports
    rig_ports.close()


@pytest.fixture
def quillmar(request, tmp_path, automation, ports):
    program = Quillmar(tmp_path / "app", automation)
    yield program
    report = getattr(request.node, "report_call", None)
    if report is not None and report.failed:
        keep_evidence(request.node.name, program, automation)
    program.stop()


def keep_evidence(name, program, automation):
    folder = ARTIFACTS / name
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    try:
        automation.screenshot(folder / "screen.png")
        (folder / "windows.json").write_text(json.dumps(automation.windows(), indent=1, ensure_ascii=False))
    except Exception as error:  # the evidence is a help, never a second failure
        (folder / "evidence-error.txt").write_text(repr(error))
    for name in ("quillmar.stdout", "quillmar.stderr", "Quillmar.ini"):
        if (program.folder / name).exists():
            shutil.copy2(program.folder / name, folder / name)


@pytest.fixture
def bridge(quillmar, ports):
    """Starts the program as a server with the given settings (the defaults
    otherwise) and connects a peer from 127.0.0.1; gives (peer socket,
    device fd of COM1)."""
    peers = []

    def connect(**settings):
        port = free_tcp_port()
        quillmar.write_settings(**dict(dict(MODE=0, SPORT=port, CONNECT=1), **settings))
        quillmar.start()
        quillmar.wait_text(STATUS_TEXT, ACCEPT_WAITING)
        peer = connect_peer(port)
        peers.append(peer)
        quillmar.wait_text(STATUS_TEXT, PEER)
        return peer, ports.com1

    yield connect
    for peer in peers:
        peer.close()


@pytest.fixture
def portless_server(quillmar, automation, ports):
    """Starts the program as a server with COM1 absent: checks the notice,
    dismisses it and waits for the server to listen; gives its TCP port."""
    def start():
        ports.absent_port(1)
        port = free_tcp_port()
        quillmar.write_settings(MODE=0, SPORT=port, CONNECT=1)
        quillmar.start(wait=False)
        box, text = automation.wait_message_box(timeout=30)
        assert text == "Com1 Open Error"
        automation.dismiss(box)
        quillmar.wait_window()
        quillmar.wait_text(STATUS_TEXT, ACCEPT_WAITING)
        return port

    return start


@pytest.fixture
def vanishing_host():
    """A host whose link can be cut; see VanishingHost."""
    if os.geteuid() != 0:
        pytest.skip("a network namespace needs root")
    host = VanishingHost()
    yield host
    host.close()
